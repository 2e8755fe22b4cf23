// TDIBitmap: the library's graphic class. It holds one counted reference to a shared
// TDIBitmapImage; graphics assigned from one another share the image, and every change first
// gives the graphic a private image (copy-on-write) or builds a new one and swaps it in.
// Changing operations run inside an update bracket, which sends one change notification when
// the outermost bracket closes, also when the operation fails.
#pragma once

#include <cstdint>
#include <memory>

#include <VDIBitmap/Clipboard.h>
#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/Streams.h>

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
    // Writes a BMP file (RLE pixel data when Compressed) and flushes the stream.
    void SaveStream(TStream& stream) override;

    // Draws the whole picture stretched into `rect` (a negative extent mirrors it) with the
    // canvas's CopyMode, the picture's palette selected as background palette. An empty picture
    // draws nothing and does not even ask the canvas for its device context.
    void PaintOn(TCanvas& canvas, const TRect& rect) override;
    // Takes the picture from a packed DIB (clipboard format 8: header, colours or masks,
    // pixels). EInvalidGraphic "Invalid Clipboard Format or No Data" for another format or a
    // null block, before anything changes. The block stays the caller's (locked and unlocked,
    // never freed); `palette` is not used. On a reader failure the old picture stays.
    void LoadClipboardBlock(uint16_t format, HGLOBAL data, HPALETTE palette) override;
    // Hands out a new packed DIB of the picture, always with plain pixels, with format 8 and a
    // copy of the palette (0 without colours); the caller owns both. The three values are set
    // only on success; on failure no block or palette is left behind.
    void SaveClipboardBlock(uint16_t& format, HGLOBAL& data, HPALETTE& palette) override;

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
    // Holds `image`, a new image that no graphic holds yet, in place of the current picture,
    // inside the update bracket (one notification). Nothing before the notification can fail, so
    // a caller that builds the whole image first changes the picture whole or not at all.
    void ReplaceImage(std::unique_ptr<TDIBitmapImage> image);
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

// Writes the surface of a software device context as a 24-bit BMP file with the library's
// writer, so that a drawing can be looked at. EOSError for a null device context.
void SaveSurfaceAsBMP(HDC dc, TStream& stream);

template <class F>
void TDIBitmap::InUpdate(F&& operation) {
    EnterUpdate();
    try {
        operation();
    } catch (...) {
        LeaveUpdate();
        throw;
    }
    LeaveUpdate();
}

// The library's module of the initialisation table: registers TDIBitmap for clipboard format 8
// and the extension "dib" at start-up and removes it at shut-down.
extern const TModule VDIBitmapModule;

// What the library needs started, in start-up order: the runtime, stream, graphic framework and
// VDIBitmap modules. A program on the process frame puts its own modules after them.
extern const TModule* const LibraryModules[4];

// For a program without the converter's process frame (RunProgram): what the frame starts for the
// library. The outermost scope's constructor runs the start-up of the runtime, stream, graphic
// framework and VDIBitmap modules in that order, so that TDIBitmap is registered for clipboard
// format 8 and the extension "dib"; its destructor runs their shut-down in reverse (the
// registration is removed, the registries freed, pending console text written out). Only the
// outermost scope starts and stops anything, so scopes may nest, and a later scope starts the
// library afresh. A start-up that raises shuts down what it started, the failing module
// included, and passes the exception on. Not for use inside RunProgram, which starts the same
// modules itself.
class TLibraryScope {
public:
    TLibraryScope();
    ~TLibraryScope();
    TLibraryScope(const TLibraryScope&) = delete;
    TLibraryScope& operator=(const TLibraryScope&) = delete;
};

}  // namespace vdib
