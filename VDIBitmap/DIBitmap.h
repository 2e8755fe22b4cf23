// TDIBitmap: the library's graphic class. It holds one counted reference to a shared
// TDIBitmapImage; graphics assigned from one another share the image, and every change first
// gives the graphic a private image (copy-on-write) or builds a new one and swaps it in.
// Changing operations run inside an update bracket, which sends one change notification when
// the outermost bracket closes, also when the operation fails.
#pragma once

#include <cstdint>

#include "DIBImage.h"
#include "Graphics.h"
#include "Streams.h"

namespace vdib {

class TDIBitmap : public TGraphic {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }

    // A blank 0 x 0, 24-bit, bottom-up, uncompressed picture. No notification.
    TDIBitmap();
    ~TDIBitmap() override;
    TDIBitmap(const TDIBitmap&) = delete;
    TDIBitmap& operator=(const TDIBitmap&) = delete;

    // Always refuses with EConvertError (this class, the destination's class).
    void GiveContentTo(TPersistent* dest) override;
    // A TDIBitmap source (or descendant): share its image, no notification. Otherwise the
    // base behaviour.
    void TakeContentFrom(TPersistent* source) override;

    bool QueryEmpty() override;
    int32_t QueryHeight() override;
    int32_t QueryWidth() override;
    // The image's palette, made from its colour table on first use; the image owns it.
    HPALETTE QueryPalette() override;
    // Resize to the new width / height when it differs from the current one.
    void ChangeWidth(int32_t value) override;
    void ChangeHeight(int32_t value) override;
    // The private image takes the palette's colours (up to 256) and owns the palette.
    void ChangePalette(HPALETTE value) override;
    // Reads a BMP file from the stream's position; on failure the old picture stays.
    void LoadStream(TStream& stream) override;
    // Writes a BMP file (RLE pixel data when Compressed).
    void SaveStream(TStream& stream) override;

    void EnterUpdate() noexcept { ++FUpdateCount; }
    // EAssertionFailed "Assertion failure (VDIBitmap, line 1241)" without a matching
    // EnterUpdate; otherwise notifies when the count returns to 0.
    void LeaveUpdate();
    // Gives this graphic a private copy of a shared image.
    void MakeUnique();
    // Replaces the image by one of the new size holding the overlap of the old picture at the
    // bottom-left corner; the rest is 0. Colours and header fields are carried over.
    void Resize(int32_t newWidth, int32_t newHeight);
    // Switching on is refused for bit counts other than 4 and 8 and for top-down images
    // (EInvalidOperation); switching off is never refused.
    void SetCompressed(bool value);
    bool Compressed() const noexcept { return FImageRef->Format.Compressed; }

    const TDIBitmapImage& ImageRef() const noexcept { return *FImageRef; }
    int32_t UpdateCount() const noexcept { return FUpdateCount; }

protected:
    // Runs `operation` inside the update bracket.
    template <class F>
    void InUpdate(F&& operation);
    // Drops the held image and holds `image` instead.
    void HoldImage(TDIBitmapImage* image);

    TDIBitmapImage* FImageRef = nullptr;
    int32_t FUpdateCount = 0;
};

// The library's module of the initialisation table: registers TDIBitmap for clipboard format 8
// and the extension "dib" at start-up and removes it at shut-down.
extern const TModule VDIBitmapModule;

}  // namespace vdib
