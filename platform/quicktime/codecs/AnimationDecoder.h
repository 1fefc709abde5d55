// AnimationDecoder: the built-in decoder of the runtime's own Animation
// codec ('rle '), the same on every system, at every depth: 1, 2, 4 and 8
// bits of colour-table indexes (33, 34, 36 and 40: the same as grey
// levels), 16 (5-5-5 big-endian), 24 (R,G,B) and 32 (A,R,G,B).
//
// A sample updates the previous picture: a 4-byte size, a 2-byte header
// (flag 0x0008: a first line and a line count follow, each with two bytes
// after it), then line after line a skip and codes: a positive code copies
// that many units, a negative one repeats one unit, 0 brings a new skip, -1
// ends the line. A unit is one pixel at 16 bits and more, four bytes of
// indexes at 2, 4 and 8 bits; at 1 bit the lines are pairs of a skip (0x80:
// the next line) and a code, 2-byte units, code 0 ending the sample. A
// sample shorter than 8 bytes, or naming lines past the picture, leaves the
// picture as it was (and is refused, codecBadDataErr, while there is none
// yet); one cut to less than a twentieth of the size it states is refused. Decoding stops where the bytes run out or a
// unit would land outside the picture; what was decoded up to there stays.
//
// The colour table is the description's own when it carries one (colour
// table id 0), else the standard table of the depth.
//
// Pictures are drawn by DrawPicture (PixelConvert.h), as the uncompressed
// formats are.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pixels/PixelConvert.h"
#include "codecs/VideoDecoder.h"

namespace tp::qt {

// The picture an Animation stream builds, sample by sample. Indexes at 8
// bits and less (one byte per pixel, rows padded to a whole unit), else
// pixels as the stream stores them.
class AnimationCanvas {
 public:
  // False for a depth the codec does not have or a size over the limits.
  bool Init(int width, int height, int depth);
  // Applies one sample; false (the picture untouched) for a sample cut to
  // less than a twentieth of the size it states, and for a sample that
  // changes nothing while there is no picture yet.
  bool Apply(std::span<const uint8_t> sample);

  int width() const { return width_; }
  int height() const { return height_; }
  int depth() const { return depth_; }  // 1, 2, 4, 8, 16, 24 or 32
  bool indexed() const { return depth_ <= 8; }
  int64_t stride() const { return stride_; }
  const uint8_t *pixels() const { return pixels_.data(); }
  // The layout of pixels() when not indexed.
  PixelLayout layout() const;

 private:
  void DecodeOneBit(std::span<const uint8_t> in, int64_t firstLine, int64_t lines);
  void DecodeUnits(std::span<const uint8_t> in, int64_t firstLine, int64_t lines);

  int width_ = 0, height_ = 0, depth_ = 0;
  int64_t stride_ = 0;
  std::vector<uint8_t> pixels_;
  bool hasPicture_ = false;
};

// The bits of one index at an indexed description depth (1, 2, 4, 8, and
// grey levels 33, 34, 36, 40), else 0.
int IndexedDepthBits(int depth);

// The colour table (0xAARRGGBB, opaque) for a description's depth (1, 2, 4,
// 8, or 33..40 for grey), from its own table `ctab` (the bytes after the
// fixed description, or empty), else the standard one.
std::vector<uint32_t> AnimationColorTable(int depth, std::span<const uint8_t> ctab);

// Draws a picture of indexes (one byte per pixel, rows `stride` apart)
// through `colors` (an index past the table takes entry 0) into the target,
// as DrawPicture draws A,R,G,B; `argb` is the caller's scratch memory.
OSErr DrawIndexedPicture(const uint8_t *indexes, int64_t stride, int width, int height,
                         std::span<const uint32_t> colors, std::vector<uint8_t> *argb, const DrawTarget &target,
                         int *drawnWidth, int *drawnHeight);

// Whether `setup` is Animation ('rle ').
bool IsBuiltInAnimation(const VideoCodecSetup &setup);

// codecErr for a depth or size Animation does not have (the decoder will
// not open); memFullErr.
OSErr CreateAnimationDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
