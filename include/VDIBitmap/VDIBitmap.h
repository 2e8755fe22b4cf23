// The VDIBitmap library: device-independent bitmaps read from and written to BMP streams
// (uncompressed, RLE8, RLE4, bit fields), compressed and decompressed, resized, drawn onto a
// canvas and exchanged with the clipboard as packed DIBs.
//
//   TDIBitmap          the graphic class: load, save, share, compress, draw, clipboard
//   TDIBitmapImage     the shared image record it holds (header, colours, pixel block)
//   TDIBFormat         the pixel format record of an image
//   TMemoryScanStream  a stream over a fixed memory block owned by its caller
//   TLibraryScope      starts the library (TDIBitmap's registration) in a program of its own
//   ReduceColours      any picture made into a 4- or 8-bit one with a palette of its own
//
// The runtime's streams, exceptions, global memory blocks and software device context come
// with it. Everything lives in namespace vdib.
#pragma once

#include <VDIBitmap/ColourReduction.h>
#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/GlobalMemory.h>
#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/MemoryScanStream.h>
#include <VDIBitmap/Messages.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>
#include <VDIBitmap/SysUtils.h>
