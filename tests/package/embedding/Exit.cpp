// Library objects kept in globals, as a program may keep them: made before main, used inside it,
// destroyed after main returns, and so after whatever the library made for them on first use
// inside main. The program must end as any other does: exit code 0, no fault, no report.
//
//   Exit input.bmp output-stem   writes <stem>_drawing.bmp and <stem>_rle.bmp
#include <VDIBitmap/VDIBitmap.h>

#include <cstdio>
#include <string>

namespace {

// Handles the program keeps until it ends.
struct TKeptPalette {
    vdib::HPALETTE Handle = 0;
    ~TKeptPalette() { if (Handle != 0) vdib::DeleteObject(Handle); }
};
struct TKeptBlock {
    vdib::HGLOBAL Handle = 0;
    ~TKeptBlock() { vdib::GlobalFree(Handle); }
};

// None of these asks the library for a handle before main.
const vdib::TLibraryScope Library;
vdib::TDIBitmap Picture;
vdib::TMemoryStream Stream;
vdib::TSurfaceCanvas Canvas(254, 128);
TKeptPalette Palette;
TKeptBlock Block;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s input.bmp output-stem\n", argv[0]);
        return 2;
    }
    const std::string stem = argv[2];
    try {
        Picture.LoadFile(argv[1]);
        Picture.SaveStream(Stream);
        Picture.PaintOn(Canvas, {0, 0, 254, 128});
        vdib::TFileStream drawing(stem + "_drawing.bmp", vdib::ModeCreate);
        vdib::SaveSurfaceAsBMP(Canvas.DeviceContext(), drawing);
        uint16_t format = 0;
        Picture.SaveClipboardBlock(format, Block.Handle, Palette.Handle);
        Picture.SetCompressed(true);
        Picture.SaveFile(stem + "_rle.bmp");
        return 0;
    } catch (const vdib::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
}
