// Decompressor: the decoding behind one decompression sequence. It reads
// the sequence's image description once (VideoCodecs) and, for every sample
// handed to DecodeFrame in decode order, draws that sample's own picture
// into the sequence's graphics world. The built-in uncompressed formats are
// drawn here by our own conversions (PixelConvert), the same on every
// system; everything else goes to the system's decoding back end
// (VideoDecoder), one decoder for the whole sequence.
//
// A sample that codes no picture leaves the world showing the last one: when
// the pixel map has moved since that picture was drawn, it is drawn again at
// the new address.
//
// Ownership: the decompressor owns its decoder and holds a reference to its
// world. Not thread-safe; the sequence table serialises calls on one
// sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "GWorld.h"
#include "VideoCodecs.h"
#include "VideoDecoder.h"

namespace tp::qt {

class Decompressor {
 public:
  Decompressor(const Decompressor &) = delete;
  Decompressor &operator=(const Decompressor &) = delete;

  // `description`: a host-form image description with its extensions.
  // badImageDescription / noCodecErr as ReadVideoCodecSetup; noCodecErr or
  // codecErr from the back end (nothing decodes it / it does not open);
  // memFullErr.
  static OSErr Create(std::span<const uint8_t> description, std::shared_ptr<GWorld> world,
                      std::unique_ptr<Decompressor> *out);

  // Decodes one sample and, when `draw`, draws its picture where the
  // world's pixel map points. codecBadDataErr when the sample is corrupt
  // (nothing is drawn; the decoder keeps its state, so later samples
  // decode). A sample that codes no picture of its own draws the last
  // picture again if the pixel map has moved since it was drawn (the world
  // keeps showing it), and succeeds. codecErr when the pixel map points
  // nowhere.
  OSErr DecodeFrame(const uint8_t *data, int64_t size, bool draw = true);

  const VideoCodecSetup &setup() const { return setup_; }

 private:
  Decompressor() = default;
  OSErr DecodeRaw(const uint8_t *data, int64_t size, bool draw);
  OSErr DecodeCompressed(const uint8_t *data, int64_t size, bool draw);
  OSErr DrawCurrent();

  VideoCodecSetup setup_;
  std::shared_ptr<GWorld> world_;
  std::unique_ptr<VideoDecoder> decoder_;  // null for the built-in formats
  uint8_t *shownAt_ = nullptr;             // where the decoder's picture was last drawn, or null
  std::vector<uint8_t> scratch_;           // signed-chroma pictures made unsigned
};

// Copies the last column and row of the drawn area (width x height, top
// left) over the rest of the target: the even rounding of odd pictures.
void ReplicateEdges(const DrawTarget &t, int width, int height);
// Zeroes the bytes past each row's pixels in a packed layout (rows are
// padded to 4 bytes), so that memory the world's owner lent keeps nothing
// of what was there before.
void ClearRowPadding(const DrawTarget &t);

}  // namespace tp::qt
