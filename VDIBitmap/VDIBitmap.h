// The VDIBitmap library: device-independent bitmaps read from and written to BMP streams
// (uncompressed, RLE8, RLE4, bit fields), compressed and decompressed, resized, drawn onto a
// canvas and exchanged with the clipboard as packed DIBs.
//
//   TDIBitmap          the graphic class: load, save, share, compress, draw, clipboard
//   TDIBitmapImage     the shared image record it holds (header, colours, pixel block)
//   TDIBFormat         the pixel format record of an image
//   TMemoryScanStream  a stream over a fixed memory block owned by its caller
//
// The runtime's streams, exceptions, global memory blocks and software device context come
// with it. Everything lives in namespace vdib.
#pragma once

#include "DIBImage.h"
#include "DIBitmap.h"
#include "DeviceContext.h"
#include "GlobalMemory.h"
#include "Graphics.h"
#include "MemoryScanStream.h"
#include "Platform.h"
#include "Streams.h"
#include "SysUtils.h"
