// RawIndexedDecoder: the built-in decoder of uncompressed 'raw ' pictures of
// colour-table indexes, the same on every system: 1, 2, 4 and 8 bits per
// pixel (33, 34, 36 and 40: the same as grey levels). The wider 'raw '
// depths (16, 24, 32) are drawn by the Decompressor itself.
//
// A sample is one whole picture, rows top to bottom, pixels packed from the
// high bits of each byte. Each row is padded: the row bytes are the
// sample's size over the height when that divides evenly and covers a
// row, else the fewest bytes a row needs. A sample shorter than its rows
// is refused (codecBadDataErr) and leaves the picture as it was.
//
// The colour table is the description's own when it carries one (colour
// table id 0), else the standard table of the depth, as for Animation
// (AnimationColorTable); pictures are drawn through it by
// DrawIndexedPicture.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

class RawIndexedDecoder final : public VideoDecoder {
 public:
  // False for a depth that is not indexed or a picture over the limits.
  bool Open(const VideoCodecSetup &setup);

  // VideoDecoder
  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override;
  bool HasPicture() const override { return decoded_; }
  OSErr Draw(const DrawTarget &target, int *width, int *height) override;

 private:
  int width_ = 0, height_ = 0, bits_ = 0;
  int64_t minRow_ = 0;            // bytes of one row without padding
  std::vector<uint32_t> colors_;  // 0xAARRGGBB
  std::vector<uint8_t> indexes_;  // the current picture, one byte per pixel, width_ per row
  std::vector<uint8_t> argb_;     // drawing scratch
  bool decoded_ = false;
};

// Whether `setup` is 'raw ' at 1, 2, 4 or 8 bits, or grey at 33 to 40.
bool IsBuiltInRawIndexed(const VideoCodecSetup &setup);

// codecErr for a depth or size this decoder does not take; memFullErr.
OSErr CreateRawIndexedDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
