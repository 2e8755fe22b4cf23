// The graphic framework: class references, the graphic base class, shared images, the picture
// format registries and the canvas's device context.
#include <VDIBitmap/Graphics.h>

#include <cstring>
#include <mutex>

#include "os/Files.h"

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

namespace {

// The stream that SaveFile writes through. The file is made durable before it replaces the
// target; left alone, the system would hold nearly all of it in memory until then and that last
// step would wait for the whole file to reach the disk. Asking for write-out every few MiB as the
// data comes lets the disk work while the picture is still being encoded, so the end only waits
// for the tail. Only a hint: the bytes, and what the end guarantees, stay the same.
class TWriteBehindStream : public THandleStream {
public:
    explicit TWriteBehindStream(TFileHandle handle) : THandleStream(handle) {}

    int32_t Write(const void* buffer, int32_t count) override {
        const int32_t written = THandleStream::Write(buffer, count);
        FSinceWriteOut += written;
        if (FSinceWriteOut >= WriteOutStep) {
            os::StartWriteOut(FFileHandle);
            FSinceWriteOut = 0;
        }
        return written;
    }

private:
    static constexpr int64_t WriteOutStep = 4 * 1024 * 1024;
    int64_t FSinceWriteOut = 0;
};

}  // namespace

// The target is replaced only once the new contents are complete and durable; on any failure it
// stays as it was (os::WriteFileSafely says how, and what happens with links and devices).
void TGraphic::SaveFile(const std::string& fileName) {
    os::WriteFileSafely(fileName, [this](TFileHandle file) {
        TWriteBehindStream stream(file);
        SaveStream(stream);
        stream.Flush();
    });
}

// --- Shared images ---------------------------------------------------------------------------

void TSharedImage::DropHolder(TSharedImage* image) {
    if (image == nullptr) return;
    if (image->HolderCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
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
// here, and nothing in the program looks entries up. A scope's end in one thread frees them while
// others may read them, so every use takes the lock, and readers get copies.

namespace {

std::mutex RegistryLock;
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
    const std::lock_guard<std::mutex> lock(RegistryLock);
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
    const std::lock_guard<std::mutex> lock(RegistryLock);
    FileFormatRegistry().push_back({&graphicClass, std::move(lower), description, 0});
}

// The two lists stay of equal length: when the number cannot be added, the class goes again.
void TPicture::AddClipboardFormat(uint16_t format, const TGraphicClass& graphicClass) {
    const std::lock_guard<std::mutex> lock(RegistryLock);
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
    const std::lock_guard<std::mutex> lock(RegistryLock);
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

std::vector<TPicture::TFileFormat> TPicture::FileFormats() {
    const std::lock_guard<std::mutex> lock(RegistryLock);
    return FileFormatList != nullptr ? *FileFormatList : std::vector<TFileFormat>();
}

TPicture::TClipboardFormats TPicture::ClipboardFormats() {
    const std::lock_guard<std::mutex> lock(RegistryLock);
    return ClipboardFormatList != nullptr ? *ClipboardFormatList : TClipboardFormats();
}

// --- Canvas ----------------------------------------------------------------------------------

HDC TCanvas::DeviceContext() {
    if (OnChanging) OnChanging();
    if (FHandle == 0) FHandle = CreateHandle();
    if (FHandle == 0) Raise<EInvalidOperation>(msg::NoCanvasHandle);
    return FHandle;
}

// --- A canvas over a surface ----------------------------------------------------------------

TSurfaceCanvas::~TSurfaceCanvas() {
    if (FSurface != 0) DeleteSurfaceDC(FSurface);
}

HDC TSurfaceCanvas::CreateHandle() {
    if (FSurface == 0) FSurface = CreateSurfaceDC(FWidth, FHeight, FFill);
    return FSurface;
}

}  // namespace vdib
