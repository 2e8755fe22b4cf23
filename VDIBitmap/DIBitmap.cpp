#include <VDIBitmap/DIBitmap.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>

namespace vdib {

namespace {
TGraphic* ConstructDIBitmap() { return new TDIBitmap(); }

// A new image made from the format and size alone has no colours and blank header fields;
// these carry the old image's over, so that a private or resized copy keeps its colours.
void CarryHeaderOver(const TDIBitmapImage& from, TDIBitmapImage& to) {
    const BITMAPINFOHEADER& source = from.Info();
    BITMAPINFOHEADER& target = to.Info();
    target.biPlanes = source.biPlanes;
    target.biXPelsPerMeter = source.biXPelsPerMeter;
    target.biYPelsPerMeter = source.biYPelsPerMeter;
    target.biClrImportant = source.biClrImportant;
    if (source.biClrUsed != 0) {
        target.biClrUsed = source.biClrUsed;
        const uint32_t first = from.FirstColorEntry();
        std::memcpy(to.ColorTable() + first, from.ColorTable() + first, sizeof(RGBQUAD) * std::min<uint32_t>(source.biClrUsed, 256 - first));
    }
}
}  // namespace

const TClass TDIBitmap::Class = {"TDIBitmap", &TGraphic::Class, &ConstructDIBitmap};

TDIBitmap::TDIBitmap() {
    TDIBFormat format;
    format.BitCount = 24;
    FImageRef = TDIBitmapImage::CreateBlank(format, 0, 0);
    FImageRef->AddHolder();
}

TDIBitmap::~TDIBitmap() { TSharedImage::DropHolder(FImageRef); }

void TDIBitmap::HoldImage(TDIBitmapImage* image) {
    // Take the new reference before giving up the old one: they may be the same image.
    image->AddHolder();
    TDIBitmapImage* old = FImageRef;
    FImageRef = image;
    TSharedImage::DropHolder(old);
}


void TDIBitmap::LeaveUpdate() {
    if (FUpdateCount <= 0) AssertFailed("Assertion failure", "VDIBitmap", 1241);
    if (--FUpdateCount == 0) NotifyChanged(this);
}

void TDIBitmap::GiveContentTo(TPersistent* dest) { TGraphic::GiveContentTo(dest); }

void TDIBitmap::TakeContentFrom(TPersistent* source) {
    if (source != nullptr && source->InheritsFrom(TDIBitmap::Class)) {
        HoldImage(static_cast<TDIBitmap*>(source)->FImageRef);
        return;
    }
    TGraphic::TakeContentFrom(source);
}

bool TDIBitmap::QueryEmpty() { return FImageRef->IsEmpty(); }
int32_t TDIBitmap::QueryHeight() { return FImageRef->Height; }
int32_t TDIBitmap::QueryWidth() { return FImageRef->Width; }
HPALETTE TDIBitmap::QueryPalette() { return FImageRef->GetPaletteHandle(); }

void TDIBitmap::MakeUnique() {
    if (FImageRef->HolderCount.load(std::memory_order_acquire) < 2) return;
    std::unique_ptr<TDIBitmapImage> copy(
        TDIBitmapImage::CreateBlank(FImageRef->Format, FImageRef->Width, FImageRef->Height));
    // The same geometry: the whole block at once, row padding included, so the copy writes the
    // very bytes the original does.
    if (FImageRef->Bits != nullptr) std::memcpy(copy->Bits, FImageRef->Bits, FImageRef->Info().biSizeImage);
    CarryHeaderOver(*FImageRef, *copy);
    HoldImage(copy.release());
}

void TDIBitmap::Resize(int32_t newWidth, int32_t newHeight) {
    InUpdate([&] {
        std::unique_ptr<TDIBitmapImage> resized(TDIBitmapImage::CreateBlank(FImageRef->Format, newWidth, newHeight));
        resized->CopyRowsFrom(*FImageRef);
        // The old rows' padding is no part of the picture: in a wider one it would become pixels.
        resized->ClearRowsPast(int64_t{FImageRef->Width} * FImageRef->Format.BitCount);
        CarryHeaderOver(*FImageRef, *resized);
        HoldImage(resized.release());
    });
}

void TDIBitmap::ChangeWidth(int32_t value) {
    if (value != QueryWidth()) Resize(value, QueryHeight());
}

void TDIBitmap::ChangeHeight(int32_t value) {
    if (value != QueryHeight()) Resize(QueryWidth(), value);
}

void TDIBitmap::SetCompressed(bool value) {
    if (value == FImageRef->Format.Compressed) return;
    if (value) CheckCompressible(FImageRef->Format);
    InUpdate([&] {
        MakeUnique();
        FImageRef->Format.Compressed = value;
    });
}

void TDIBitmap::ChangePalette(HPALETTE value) {
    InUpdate([&] {
        MakeUnique();
        FImageRef->SetPaletteHandle(value);
    });
}

void TDIBitmap::ReplaceImage(std::unique_ptr<TDIBitmapImage> image) {
    InUpdate([&] { HoldImage(image.release()); });
}

void TDIBitmap::LoadStream(TStream& stream) {
    InUpdate([&] { HoldImage(TDIBitmapImage::CreateFromStream(stream, true)); });
}

void TDIBitmap::SaveStream(TStream& stream) { FImageRef->WriteToStream(stream, true); }

// Registration runs on the first start-up request only and removal on the matching shut-down.
namespace {
int RegistrationCount = 0;

void RegisterDIBitmap() {
    if (RegistrationCount++ != 0) return;
    TPicture::AddClipboardFormat(CF_DIB, TDIBitmap::Class);
    TPicture::AddFileFormat("dib", "Device Independent Bitmap", TDIBitmap::Class);
}

void UnregisterDIBitmap() {
    if (RegistrationCount == 0 || --RegistrationCount != 0) return;
    TPicture::RemoveGraphicClass(TDIBitmap::Class);
}
}  // namespace

const TModule VDIBitmapModule = {"VDIBitmap", &RegisterDIBitmap, &UnregisterDIBitmap};

const TModule* const LibraryModules[4] = {&SystemModule, &ClassesModule, &GraphicsModule, &VDIBitmapModule};

namespace {
// Scopes of every thread count together; the lock keeps a start-up or shut-down whole.
std::mutex ScopeLock;
int OpenScopes = 0;

// The first `count` modules, last first.
void StopLibraryModules(std::size_t count) {
    while (count > 0)
        if (void (*finalize)() = LibraryModules[--count]->Finalize) finalize();
}
}  // namespace

TLibraryScope::TLibraryScope() {
    const std::lock_guard<std::mutex> lock(ScopeLock);
    if (OpenScopes != 0) {
        ++OpenScopes;
        return;
    }
    std::size_t started = 0;
    try {
        for (const TModule* module : LibraryModules) {
            ++started;
            if (module->Initialize != nullptr) module->Initialize();
        }
    } catch (...) {
        StopLibraryModules(started);
        throw;
    }
    OpenScopes = 1;
}

TLibraryScope::~TLibraryScope() {
    const std::lock_guard<std::mutex> lock(ScopeLock);
    if (--OpenScopes == 0) StopLibraryModules(std::size(LibraryModules));
}

}  // namespace vdib

