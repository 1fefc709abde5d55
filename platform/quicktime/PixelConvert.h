// PixelConvert: our own drawing of pictures held in one of the runtime's
// PixelLayouts into a graphics world's layout. It draws the built-in
// uncompressed formats on every system, so that an uncompressed movie gives
// the same bytes wherever the runtime runs; a decoding back end whose
// pictures come out in one of these layouts may use it too.
//
// Arithmetic: RGB and Y'CbCr are related by the BT.601 matrix at video
// range (Y' 16..235, Cb/Cr 16..240), in 16-bit fixed point rounded to
// nearest. Chroma of a sample pair (4:2:2) or a 2x2 block (4:2:0) is the
// rounded mean of its pixels' chroma; chroma going to more samples is
// repeated (each Y' takes its pair's or block's chroma). Bit depths go down by
// dropping low bits and up by repeating the high bits (5 -> 8: v << 3 | v >> 2).
// Same-layout pictures are copied.
//
// Pure functions over caller memory; thread-safe.
#pragma once

#include <cstdint>

#include <QuickTime/MacErrors.h>

#include "GWorld.h"
#include "PixelFormats.h"

namespace tp::qt {

// A picture in caller memory: kYUV420P uses three planes, kNV12 two (Y,
// then Cb,Cr pairs), the packed layouts plane 0.
struct Picture {
  PixelLayout layout = PixelLayout::kNone;
  int width = 0, height = 0;
  const uint8_t *data[3] = {};
  int linesize[3] = {};
};

// Draws `src` at its own size into the top-left of `t` (clipped to it).
// *width, *height: the area drawn. codecErr when there is nothing to draw
// into, or a layout is not one of ours.
OSErr DrawPicture(const Picture &src, const DrawTarget &t, int *width, int *height);

}  // namespace tp::qt
