#include "codecs/RawIndexedDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/AnimationDecoder.h"
#include "container/MovieModel.h"

namespace tp::qt {

bool RawIndexedDecoder::Open(const VideoCodecSetup &setup) {
  bits_ = IndexedDepthBits(setup.depth);
  if (!bits_ || setup.width <= 0 || setup.height <= 0 || setup.width > 0x7FFF || setup.height > 0x7FFF) return false;
  width_ = setup.width;
  height_ = setup.height;
  minRow_ = (int64_t(width_) * bits_ + 7) / 8;
  if (int64_t(width_) * height_ > kMaxPictureBytes) return false;
  colors_ = AnimationColorTable(setup.depth, setup.colorTable);
  indexes_.assign(size_t(width_) * size_t(height_), 0);
  return true;
}

OSErr RawIndexedDecoder::Decode(const uint8_t *data, int64_t size, bool *gotPicture) {
  *gotPicture = false;
  if (!data || size <= 0) return codecBadDataErr;
  // Rows may be padded; the sample's size over the height tells by how
  // much (bytes left over after the last row are ignored).
  const int64_t row = std::max(size / height_, minRow_);
  if (size < row * height_) return codecBadDataErr;
  const int perByte = 8 / bits_;
  const int mask = (1 << bits_) - 1;
  for (int y = 0; y < height_; ++y) {
    const uint8_t *in = data + row * y;
    uint8_t *out = indexes_.data() + size_t(width_) * size_t(y);
    if (bits_ == 8) {
      std::memcpy(out, in, size_t(width_));
      continue;
    }
    for (int x = 0; x < width_; ++x) {
      const int shift = 8 - bits_ * (x % perByte + 1);
      out[x] = uint8_t((in[x / perByte] >> shift) & mask);
    }
  }
  *gotPicture = decoded_ = true;
  return noErr;
}

OSErr RawIndexedDecoder::Draw(const DrawTarget &target, int *width, int *height) {
  *width = *height = 0;
  if (!decoded_) return codecErr;
  return DrawIndexedPicture(indexes_.data(), width_, width_, height_, colors_, &argb_, target, width, height);
}

bool IsBuiltInRawIndexed(const VideoCodecSetup &setup) {
  return setup.codecType == FourCC("raw ") && !setup.raw && IndexedDepthBits(setup.depth) != 0;
}

OSErr CreateRawIndexedDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  std::unique_ptr<RawIndexedDecoder> d(new (std::nothrow) RawIndexedDecoder);
  if (!d) return memFullErr;
  if (!d->Open(setup)) return codecErr;
  *out = std::move(d);
  return noErr;
}

}  // namespace tp::qt
