// Uses the VDIBitmap library: starts it, loads a BMP file, shares its picture with a second
// graphic, saves that one RLE-compressed, and draws the picture twice its size onto a surface,
// which is saved as a 24-bit BMP file.
//
//   vdib_example input.bmp [output-stem]   writes <stem>_rle.bmp and <stem>_drawing.bmp
//
// Without a stem the files go into the example's build folder (EXAMPLE_OUTPUT_DIR), never beside
// the sources or wherever the program happens to be started.
#include <VDIBitmap/VDIBitmap.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s input.bmp [output-stem]\n", argv[0]);
        return 2;
    }
    const std::string input = argv[1];
    const std::string stem = argc > 2 ? argv[2] : EXAMPLE_OUTPUT_DIR "/example";
    try {
        // Starts what the converter's process frame starts for the library, TDIBitmap's
        // registration as the picture format "dib" among it; stopped when `library` ends.
        const vdib::TLibraryScope library;
        for (const auto& format : vdib::TPicture::FileFormats())
            if (format.Extension == "dib") std::printf("\"dib\" is registered: %s\n", format.Description.c_str());

        vdib::TDIBitmap picture;
        picture.LoadFile(input);

        // Assigning shares the picture; the switch to compressed gives `compressed` its own
        // copy first, so `picture` stays as it was loaded. Only 4- and 8-bit pictures compress.
        vdib::TDIBitmap compressed;
        compressed.TakeContentFrom(&picture);
        compressed.SetCompressed(true);
        compressed.SaveFile(stem + "_rle.bmp");

        const int32_t width = 2 * picture.Width();
        const int32_t height = 2 * picture.Height();
        vdib::TSurfaceCanvas canvas(width, height);
        picture.PaintOn(canvas, {0, 0, width, height});
        // The library's writers flush the stream they are given: a file that cannot take the
        // bytes raises EWriteError from the save itself.
        vdib::TFileStream drawing(stem + "_drawing.bmp", vdib::ModeCreate);
        vdib::SaveSurfaceAsBMP(canvas.DeviceContext(), drawing);

        std::printf("%s: %d x %d, %d bits; wrote %s_rle.bmp and %s_drawing.bmp (%d x %d)\n", input.c_str(),
                    picture.Width(), picture.Height(), picture.ImageRef().Format.BitCount, stem.c_str(),
                    stem.c_str(), width, height);
        return 0;
    } catch (const vdib::Exception& e) {
        // The library's failures are exceptions with a class and a message text.
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
}
