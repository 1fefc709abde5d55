// PixelConvert: our own drawing of pictures held in one of the runtime's
// PixelLayouts into a graphics world's layout. It draws the built-in
// uncompressed formats on every system, so that an uncompressed movie gives
// the same bytes wherever the runtime runs; a decoding back end whose
// pictures come out in one of these layouts may use it too.
//
// Arithmetic (exact integers, the same bytes on every system and processor;
// PixelKernels.h gives the formulas): RGB and Y'CbCr are related by the
// BT.601 matrix at video range (Y' 16..235, Cb/Cr 16..240). Chroma of a
// sample pair (4:2:2) is the mean of its two pixels' chroma (an odd last
// pixel stands alone). Chroma rows of a 4:2:0 world are spread evenly over
// the picture's height and each is the mean of the picture half a row above
// and below its centre (linear between rows, in 1/32 of a row): for an even
// height that is the mean of a 2x2 block. 4:2:0 into 4:2:0 keeps the
// chroma rows; 4:2:0 into 'yuvs' filters each row's chroma from the four
// chroma rows around it, exactly as the Linux build's libswscale does
// (ChromaUpsampleTaps in PixelKernels.h); other chroma going to more samples
// is repeated (each Y' takes its pair's or block's chroma). Bit depths go down by dropping low bits and up
// by repeating the high bits (5 -> 8: v << 3 | v >> 2). Same-layout
// pictures are copied.
//
// The rows are converted by the fastest kernels the processor has (SSE2,
// AVX2, chosen at run time), which give exactly the scalar kernels' bytes.
//
// Pure functions over caller memory; thread-safe.
#pragma once

#include <cstdint>

#include <QuickTime/MacErrors.h>

#include "pixels/GWorld.h"
#include "pixels/PixelFormats.h"

namespace tp::qt {

struct PixelKernels;

// A picture in caller memory: kYUV420P uses three planes, kNV12 two (Y,
// then Cb,Cr pairs), the packed layouts plane 0.
struct Picture {
  PixelLayout layout = PixelLayout::kNone;
  int width = 0, height = 0;
  const uint8_t *data[3] = {};
  int linesize[3] = {};
  // An R'G'B' picture whose colour was 4:2:0 with chroma in pairs of rows
  // before it was made R'G'B' (a JPEG the system decoded to RGB): going to
  // 4:2:0, each chroma row is the mean of rows 2j and 2j + 1 again, as a
  // Y'CbCr decoder of the same picture gives it, rather than spread evenly
  // over the height.
  bool chromaInRowPairs = false;
  // A Y'CbCr picture in full range (Y' and Cb/Cr over 0..255, as JPEG and
  // streams that say so code them): drawn as the same picture at video
  // range, into every layout.
  bool fullRange = false;
};

// Draws `src` at its own size into the top-left of `t` (clipped to it).
// *width, *height: the area drawn. codecErr when there is nothing to draw
// into, or a layout is not one of ours.
OSErr DrawPicture(const Picture &src, const DrawTarget &t, int *width, int *height);

// DrawPicture with the given row kernels (PixelKernels.h), for comparing
// the kernel sets.
OSErr DrawPictureWith(const PixelKernels &kernels, const Picture &src, const DrawTarget &t, int *width, int *height);

}  // namespace tp::qt
