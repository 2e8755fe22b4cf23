// The graphic framework: class references, the graphic base class, shared images, the picture
// format registries and the canvas's device context.
#include <VDIBitmap/Graphics.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "SystemInternal.h"

namespace vdib {

// --- Class references ------------------------------------------------------------------------

bool TClass::InheritsFrom(const TClass& other) const noexcept {
    for (const TClass* c = this; c != nullptr; c = c->Parent)
        if (c == &other) return true;
    return false;
}

namespace {
TGraphic* ConstructGraphic() { return new TGraphic; }
}  // namespace

const TClass TPersistent::Class = {"TPersistent", nullptr, nullptr};
const TClass TInterfacedPersistent::Class = {"TInterfacedPersistent", &TPersistent::Class, nullptr};
const TClass TGraphic::Class = {"TGraphic", &TInterfacedPersistent::Class, &ConstructGraphic};

// --- Assignment ------------------------------------------------------------------------------

namespace {
[[noreturn]] void RaiseAssignError(const TPersistent* source, const TPersistent* dest) {
    Raise<EConvertError>(Format(msg::AssignError, source != nullptr ? source->ClassName() : "nil",
                                dest != nullptr ? dest->ClassName() : "nil"));
}
}  // namespace

void TPersistent::GiveContentTo(TPersistent* dest) { RaiseAssignError(this, dest); }

void TPersistent::TakeContentFrom(TPersistent* source) {
    if (source == nullptr) RaiseAssignError(nullptr, this);
    source->GiveContentTo(this);
}

// --- TGraphic --------------------------------------------------------------------------------

namespace {
[[noreturn]] void RaiseAbstract() { Raise<EAbstractError>(msg::AbstractError); }
}  // namespace

void TGraphic::NotifyChanged(TPersistent*) {
    IsModified = true;
    if (ChangeListener) ChangeListener(this);
}

void TGraphic::PaintOn(TCanvas&, const TRect&) { RaiseAbstract(); }
bool TGraphic::QueryEmpty() { RaiseAbstract(); }
int32_t TGraphic::QueryHeight() { RaiseAbstract(); }
HPALETTE TGraphic::QueryPalette() { return 0; }
bool TGraphic::QueryTransparent() { return IsTransparent; }
int32_t TGraphic::QueryWidth() { RaiseAbstract(); }
void TGraphic::ReadStoredData(TStream& stream) { LoadStream(stream); }
void TGraphic::ChangeHeight(int32_t) { RaiseAbstract(); }
void TGraphic::ChangePalette(HPALETTE) {}
void TGraphic::ChangeWidth(int32_t) { RaiseAbstract(); }
void TGraphic::WriteStoredData(TStream& stream) { SaveStream(stream); }
void TGraphic::LoadStream(TStream&) { RaiseAbstract(); }
void TGraphic::SaveStream(TStream&) { RaiseAbstract(); }
void TGraphic::LoadClipboardBlock(uint16_t, HGLOBAL, HPALETTE) { RaiseAbstract(); }
void TGraphic::SaveClipboardBlock(uint16_t&, HGLOBAL&, HPALETTE&) { RaiseAbstract(); }

void TGraphic::ChangeTransparent(bool value) {
    if (value == IsTransparent) return;
    IsTransparent = value;
    NotifyChanged(this);
}

void TGraphic::ReportProgress(TPersistent* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                              const TRect& rect, const std::string& message) {
    if (ProgressListener) ProgressListener(sender, stage, percentDone, redrawNow, rect, message);
}

// Two empty graphics are alike whatever their classes; otherwise only the same class with the
// same stored bytes.
bool TGraphic::SameContent(TGraphic* graphic) {
    if (graphic == nullptr) return false;
    const bool thisEmpty = QueryEmpty();
    const bool otherEmpty = graphic->QueryEmpty();
    if (thisEmpty || otherEmpty) return thisEmpty && otherEmpty;
    if (&ClassType() != &graphic->ClassType()) return false;
    TMemoryStream mine;
    TMemoryStream theirs;
    WriteStoredData(mine);
    graphic->WriteStoredData(theirs);
    return mine.BlockSize() == theirs.BlockSize() &&
           (mine.BlockSize() == 0 ||
            std::memcmp(mine.BlockAddress(), theirs.BlockAddress(), static_cast<size_t>(mine.BlockSize())) == 0);
}

void TGraphic::LoadFile(const std::string& fileName) {
    TFileStream stream(fileName, ModeOpenReadDenyWrite);
    LoadStream(stream);
}

// --- Saving a file ---------------------------------------------------------------------------
//
// Truncating the target first and then writing would destroy the only copy whenever writing
// fails, and the converter may be told to write over its own input. So a regular file is
// replaced in one step: the new contents go to a temporary file in the target's own directory
// (so the rename cannot cross file systems), are flushed and synced, and only then renamed over
// the target. Until that rename the target is untouched; on any failure the temporary file goes.
//
// Consequences worth knowing: a symbolic link is followed and the file it names is replaced
// (the link stays a link); the permission bits (and, where allowed, owner and group) of an
// existing target are carried over; a target with other hard links is replaced by a new file,
// so the other names keep the old contents. A file without any write permission bit is refused
// whoever asks, root included: replacing it needs only the directory's permission, but it is
// plainly meant to stay as it is.
//
// A target that exists but is no regular file (a device such as /dev/null, a pipe, a FIFO)
// cannot be replaced and is written directly, opened for writing only: opened for reading too,
// the program would be a reader of its own pipe and never see the real reader go away. A FIFO
// without a reader makes the open wait for one, as with any program that writes to it.
//
// While the temporary file exists its name is registered with the process frame, which removes
// it when an interrupting signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) ends the process; the signals
// wait while the file is created and registered, and while it is renamed and forgotten.

namespace {

[[noreturn]] void RaiseCannotCreate(const std::string& fileName) {
    Raise<EFCreateError>(Format(msg::FCreateError, fileName.c_str()));
}

// The directory part of a path with its final '/', or "" for a bare name.
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from a name that does not lead to an existing file, so that a dangling
// link gets its target made rather than being replaced by a file. False for a loop or an
// unreadable link.
bool FollowDanglingLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
        target.resize(static_cast<size_t>(n));
        path = target[0] == '/' ? target : DirectoryOf(path) + target;
    }
    return false;
}

mode_t CurrentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// The stream that SaveFile writes its temporary file through. The file is fsynced before it
// replaces the target; left alone, the kernel would hold nearly all of it in memory until then
// and the fsync would wait for the whole file to reach the disk. Asking for write-out every few
// MiB as the data comes lets the disk work while the picture is still being encoded, so the
// final fsync only waits for the tail. Only a hint: the bytes, and what the fsync guarantees,
// stay the same.
class TWriteBehindStream : public THandleStream {
public:
    explicit TWriteBehindStream(int handle) : THandleStream(handle) {}

    int32_t Write(const void* buffer, int32_t count) override {
        const int32_t written = THandleStream::Write(buffer, count);
#if defined(__linux__)
        FSinceWriteOut += written;
        if (FSinceWriteOut >= WriteOutStep) {
            ::sync_file_range(FFileHandle, 0, 0, SYNC_FILE_RANGE_WRITE);  // starts it, waits for nothing
            FSinceWriteOut = 0;
        }
#endif
        return written;
    }

private:
    static constexpr int64_t WriteOutStep = 4 * 1024 * 1024;
    int64_t FSinceWriteOut = 0;
};

// Makes the rename itself durable; the new file is already complete, so a failure here is not
// reported.
void SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes into a target that cannot be replaced (a device, a pipe, a FIFO).
void SaveDirectly(TGraphic& graphic, const std::string& fileName) {
    int fd;
    do {
        fd = ::open(fileName.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    // Became a regular file since it was looked at: writing into it without truncating would
    // leave its old tail behind.
    if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) RaiseCannotCreate(fileName);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    THandleStream stream(fd);
    graphic.SaveStream(stream);
    stream.Flush();
}

}  // namespace

void TGraphic::SaveFile(const std::string& fileName) {
    if (fileName.empty() || fileName.find('\0') != std::string::npos) RaiseCannotCreate(fileName);

    struct stat existing;
    const bool exists = ::stat(fileName.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        SaveDirectly(*this, fileName);
        return;
    }

    std::string target = fileName;
    if (exists) {
        if ((existing.st_mode & 0222) == 0) RaiseCannotCreate(fileName);
        char* real = ::realpath(fileName.c_str(), nullptr);
        if (real == nullptr) RaiseCannotCreate(fileName);
        target = real;
        std::free(real);
        // Renaming over the target needs only the directory's permission; a file that could not
        // be opened for writing (read-only, say) is one that cannot be created over.
        const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) RaiseCannotCreate(fileName);
        ::close(probe);
    } else if (!FollowDanglingLinks(target)) {
        RaiseCannotCreate(fileName);
    }
    const std::string directory = DirectoryOf(target);
    const std::string base = target.substr(directory.size());
    if (base.empty()) RaiseCannotCreate(fileName);  // "dir/" names no file

    // ".<name>.XXXXXX", with the name shortened so the whole stays within a file name's limit.
    std::string tempName = directory + "." + base.substr(0, 200) + ".XXXXXX";
    int fd;
    {
        detail::TInterruptionsHeld held;
        fd = ::mkostemp(tempName.data(), O_CLOEXEC);
        if (fd >= 0 && !detail::RemoveOnInterrupt(tempName.c_str())) {
            ::close(fd);
            ::unlink(tempName.c_str());
            fd = -1;
        }
    }
    if (fd < 0) RaiseCannotCreate(fileName);
    try {
        if (exists) {
            // Owner and group can be kept only with the right to give files away, so a refusal
            // is no failure; the permission bits can always be kept.
            [[maybe_unused]] const int owned = ::fchown(fd, existing.st_uid, existing.st_gid);
            ::fchmod(fd, existing.st_mode & 07777);
        } else {
            ::fchmod(fd, 0666 & ~CurrentUmask());
        }
        {
            TWriteBehindStream stream(fd);
            SaveStream(stream);
            stream.Flush();
        }
        if (::fsync(fd) != 0) Raise<EWriteError>(msg::WriteError);
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0) Raise<EWriteError>(msg::WriteError);
        detail::TInterruptionsHeld held;
        if (::rename(tempName.c_str(), target.c_str()) != 0) RaiseCannotCreate(fileName);
        detail::RemoveOnInterrupt(nullptr);
    } catch (...) {
        if (fd >= 0) ::close(fd);
        detail::TInterruptionsHeld held;
        ::unlink(tempName.c_str());
        detail::RemoveOnInterrupt(nullptr);
        throw;
    }
    SyncDirectory(directory);
}

// --- Shared images ---------------------------------------------------------------------------

void TSharedImage::DropHolder(TSharedImage* image) {
    if (image == nullptr) return;
    if (--image->HolderCount != 0) return;
    // The object goes even when releasing its handles fails.
    struct Owner {
        TSharedImage* image;
        ~Owner() { delete image; }
    } owner{image};
    image->ReleaseHandles();
}

void TSharedImage::ReleaseHandles() { RaiseAbstract(); }

// --- Registries ------------------------------------------------------------------------------
//
// They start empty: the platform picture classes that would fill their first rows do not exist
// here, and nothing in the program looks entries up.

namespace {

std::vector<TPicture::TFileFormat>* FileFormatList = nullptr;
TPicture::TClipboardFormats* ClipboardFormatList = nullptr;

std::vector<TPicture::TFileFormat>& FileFormatRegistry() {
    if (FileFormatList == nullptr) FileFormatList = new std::vector<TPicture::TFileFormat>;
    return *FileFormatList;
}

TPicture::TClipboardFormats& ClipboardFormatRegistry() {
    if (ClipboardFormatList == nullptr) ClipboardFormatList = new TPicture::TClipboardFormats;
    return *ClipboardFormatList;
}

void FinalizeGraphics() {
    delete FileFormatList;
    FileFormatList = nullptr;
    delete ClipboardFormatList;
    ClipboardFormatList = nullptr;
}

}  // namespace

const TModule GraphicsModule = {"Graphics", nullptr, &FinalizeGraphics};

void TPicture::AddFileFormat(const std::string& extension, const std::string& description,
                             const TGraphicClass& graphicClass) {
    std::string lower = extension;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    FileFormatRegistry().push_back({&graphicClass, std::move(lower), description, 0});
}

// The two lists stay of equal length: when the number cannot be added, the class goes again.
void TPicture::AddClipboardFormat(uint16_t format, const TGraphicClass& graphicClass) {
    TClipboardFormats& registry = ClipboardFormatRegistry();
    registry.Classes.push_back(&graphicClass);
    try {
        registry.Formats.push_back(format);
    } catch (...) {
        registry.Classes.pop_back();
        throw;
    }
}

void TPicture::RemoveGraphicClass(const TGraphicClass& graphicClass) {
    if (FileFormatList != nullptr) {
        auto& list = *FileFormatList;
        for (size_t i = list.size(); i-- > 0;)
            if (list[i].GraphicClass->InheritsFrom(graphicClass)) list.erase(list.begin() + static_cast<ptrdiff_t>(i));
    }
    if (ClipboardFormatList != nullptr) {
        auto& registry = *ClipboardFormatList;
        for (size_t i = registry.Classes.size(); i-- > 0;) {
            if (registry.Classes[i]->InheritsFrom(graphicClass)) {
                registry.Classes.erase(registry.Classes.begin() + static_cast<ptrdiff_t>(i));
                registry.Formats.erase(registry.Formats.begin() + static_cast<ptrdiff_t>(i));
            }
        }
    }
}

const std::vector<TPicture::TFileFormat>* TPicture::FileFormats() { return FileFormatList; }

const TPicture::TClipboardFormats* TPicture::ClipboardFormats() { return ClipboardFormatList; }

// --- Canvas ----------------------------------------------------------------------------------

HDC TCanvas::DeviceContext() {
    if (OnChanging) OnChanging();
    if (FHandle == 0) FHandle = CreateHandle();
    if (FHandle == 0) Raise<EInvalidOperation>(msg::NoCanvasHandle);
    return FHandle;
}

}  // namespace vdib
