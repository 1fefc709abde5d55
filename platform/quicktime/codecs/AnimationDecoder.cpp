#include "codecs/AnimationDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "container/MovieModel.h"

namespace tp::qt {
namespace {

// Pixels in one unit of indexes.
int UnitPixels(int depth) { return depth == 8 ? 4 : depth == 4 ? 8 : 16; }

// Reads the sample from front to back; past the end every byte reads 0 and
// `exhausted` says so.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  uint8_t Byte() {
    if (pos_ >= in_.size()) {
      exhausted_ = true;
      return 0;
    }
    return in_[pos_++];
  }
  int Signed() { return int8_t(Byte()); }
  uint32_t Be16() {
    const uint32_t hi = Byte();
    return hi << 8 | Byte();
  }
  size_t left() const { return in_.size() - pos_; }
  bool exhausted() const { return exhausted_; }
  void Skip(size_t n) { pos_ = std::min(in_.size(), pos_ + n); }
  // The next n bytes, or n zeros (and the end) when fewer are left.
  void Piece(uint8_t *dst, size_t n) {
    if (left() < n) {
      std::memset(dst, 0, n);
      pos_ = in_.size();
      exhausted_ = true;
      return;
    }
    Copy(dst, n);
  }
  // Copies the next n bytes (n <= left()).
  void Copy(uint8_t *dst, size_t n) {
    std::memcpy(dst, in_.data() + pos_, n);
    pos_ += n;
  }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  bool exhausted_ = false;
};

// Writes one unit's pixels at `at` (in canvas bytes) from `unit`.
void PutIndexes(uint8_t *dst, const uint8_t *unit, int depth, int bytes) {
  const int perByte = 8 / depth;
  const int mask = (1 << depth) - 1;
  for (int b = 0; b < bytes; ++b)
    for (int k = 0; k < perByte; ++k) *dst++ = uint8_t((unit[b] >> (8 - depth * (k + 1))) & mask);
}

uint32_t Be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

uint32_t Opaque(uint32_t rgb) { return 0xFF000000u | rgb; }

constexpr uint32_t kMac16[16] = {0xFFFFFF, 0xFCF305, 0xFF6402, 0xDD0806, 0xF20884, 0x4600A5, 0x0000D4, 0x02ABEA,
                                 0x1FB714, 0x006411, 0x562C05, 0x90713A, 0xC0C0C0, 0x808080, 0x404040, 0x000000};

// The standard 256 colours: a 6 x 6 x 6 cube from white down (black moved
// to the end), then ramps of red, green, blue and grey without the cube's
// levels, then black.
std::vector<uint32_t> Mac256() {
  std::vector<uint32_t> t;
  t.reserve(256);
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        if (r != 5 || g != 5 || b != 5)
          t.push_back(uint32_t((5 - r) * 0x33) << 16 | uint32_t((5 - g) * 0x33) << 8 | uint32_t((5 - b) * 0x33));
  constexpr uint32_t kRamp[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};
  for (int shift : {16, 8, 0})
    for (uint32_t v : kRamp) t.push_back(v << shift);
  for (uint32_t v : kRamp) t.push_back(v << 16 | v << 8 | v);
  t.push_back(0);
  return t;
}

}  // namespace

int IndexedDepthBits(int depth) {
  switch (depth) {
    case 1:
    case 2:
    case 4:
    case 8:
      return depth;
    case 33:
    case 34:
    case 36:
    case 40:
      return depth - 32;
    default:
      return 0;
  }
}

std::vector<uint32_t> AnimationColorTable(int depth, std::span<const uint8_t> ctab) {
  const bool grey = depth > 32;
  const int bits = grey ? depth - 32 : depth;
  const size_t count = size_t(1) << bits;
  std::vector<uint32_t> table(count, Opaque(0));
  if (grey) {
    for (size_t i = 0; i < count; ++i) {
      const uint32_t v = uint32_t(255 - i * 255 / (count - 1));
      table[i] = Opaque(v << 16 | v << 8 | v);
    }
    return table;
  }
  // Seed (4 bytes), flags (2), entries less one (2), then entries of an
  // index and 16-bit red, green and blue.
  if (ctab.size() >= 8) {
    const size_t entries = size_t(Be16(ctab.data() + 6)) + 1;
    if (entries <= 256 && ctab.size() >= 8 + entries * 8) {
      for (size_t i = 0; i < std::min(entries, count); ++i) {
        const uint8_t *e = ctab.data() + 8 + i * 8;
        table[i] = Opaque(uint32_t(e[2]) << 16 | uint32_t(e[4]) << 8 | e[6]);
      }
      return table;
    }
  }
  switch (bits) {
    case 1:
      return {Opaque(0xFFFFFF), Opaque(0)};
    case 2:
      return {Opaque(0xFFFFFF), Opaque(0xACACAC), Opaque(0x555555), Opaque(0)};
    case 4:
      for (size_t i = 0; i < 16; ++i) table[i] = Opaque(kMac16[i]);
      return table;
    default: {
      std::vector<uint32_t> mac = Mac256();
      for (size_t i = 0; i < count; ++i) table[i] = Opaque(mac[i]);
      return table;
    }
  }
}

OSErr DrawIndexedPicture(const uint8_t *indexes, int64_t stride, int width, int height,
                         std::span<const uint32_t> colors, std::vector<uint8_t> *argb, const DrawTarget &target,
                         int *drawnWidth, int *drawnHeight) {
  *drawnWidth = *drawnHeight = 0;
  if (colors.empty()) return codecErr;
  const size_t w = size_t(width);
  argb->resize(w * size_t(height) * 4);
  for (int y = 0; y < height; ++y) {
    const uint8_t *in = indexes + stride * y;
    uint8_t *out = argb->data() + w * 4 * size_t(y);
    for (size_t x = 0; x < w; ++x, out += 4) {
      const uint32_t c = colors[in[x] < colors.size() ? in[x] : 0];
      out[0] = uint8_t(c >> 24);
      out[1] = uint8_t(c >> 16);
      out[2] = uint8_t(c >> 8);
      out[3] = uint8_t(c);
    }
  }
  Picture p;
  p.layout = PixelLayout::kARGB;
  p.width = width;
  p.height = height;
  p.data[0] = argb->data();
  p.linesize[0] = int(w * 4);
  return DrawPicture(p, target, drawnWidth, drawnHeight);
}

bool AnimationCanvas::Init(int width, int height, int depth) {
  // Grey levels: 33, 34, 36, 40 for 1, 2, 4, 8 bits of indexes.
  if (depth > 32) {
    if (depth != 33 && depth != 34 && depth != 36 && depth != 40) return false;
    depth -= 32;
  }
  if (width <= 0 || height <= 0 || width > 0x7FFF || height > 0x7FFF) return false;
  switch (depth) {
    case 1:
    case 2:
    case 4:
    case 8: {
      const int unit = UnitPixels(depth);
      stride_ = (int64_t(width) + unit - 1) / unit * unit;
      break;
    }
    case 16:
    case 24:
    case 32:
      stride_ = int64_t(width) * (depth / 8);
      break;
    default:
      return false;
  }
  if (stride_ * height > kMaxPictureBytes) return false;
  width_ = width;
  height_ = height;
  depth_ = depth;
  pixels_.assign(size_t(stride_ * height), 0);
  return true;
}

PixelLayout AnimationCanvas::layout() const {
  switch (depth_) {
    case 16:
      return PixelLayout::kRGB555BE;
    case 24:
      return PixelLayout::kRGB24;
    case 32:
      return PixelLayout::kARGB;
    default:
      return PixelLayout::kNone;
  }
}

bool AnimationCanvas::Apply(std::span<const uint8_t> sample) {
  if (pixels_.empty()) return false;
  // A sample that changes nothing shows the picture there is, if any.
  if (sample.size() < 8) return hasPicture_;
  Reader r(sample);
  // The sample's own size (its top two bits are flags): a sample cut to
  // less than a twentieth of it is refused whole.
  const int64_t declared = int64_t((r.Be16() << 16 | r.Be16()) & 0x3FFFFFFF);
  if (declared - int64_t(sample.size()) > declared * 95 / 100) return false;
  const uint32_t header = r.Be16();
  int64_t firstLine = 0, lines = height_;
  if (header & 0x0008) {
    if (sample.size() < 14) return hasPicture_;
    firstLine = r.Be16();
    r.Skip(2);
    lines = r.Be16();
    r.Skip(2);
    if (firstLine + lines > height_) return hasPicture_;
  }
  hasPicture_ = true;
  if (depth_ == 1)
    DecodeOneBit(sample.subspan(sample.size() - r.left()), firstLine, lines);
  else
    DecodeUnits(sample.subspan(sample.size() - r.left()), firstLine, lines);
  return true;
}

void AnimationCanvas::DecodeOneBit(std::span<const uint8_t> in, int64_t firstLine, int64_t lines) {
  Reader r(in);
  const int64_t limit = stride_ * height_;
  // The first pair's "next line" mark moves to the first line.
  int64_t row = (firstLine - 1) * stride_;
  int64_t at = 0;
  for (int64_t left = lines + 1; left > 0;) {
    const uint8_t skip = r.Byte();
    int code = r.Signed();
    if (code == 0) return;
    if (skip & 0x80) {
      --left;
      row += stride_;
      at = row + 16 * int64_t(skip & 0x7F);
    } else {
      at += 16 * int64_t(skip);
    }
    if (at < 0 || at > limit) return;
    if (code == -1) continue;
    uint8_t unit[2];
    if (code < 0) {
      code = -code;
      unit[0] = r.Byte();
      unit[1] = r.Byte();
      if (at + 16 * int64_t(code) > limit) return;
      for (; code > 0; --code, at += 16) PutIndexes(&pixels_[size_t(at)], unit, 1, 2);
    } else {
      if (at + 16 * int64_t(code) > limit) return;
      for (; code > 0; --code, at += 16) {
        unit[0] = r.Byte();
        unit[1] = r.Byte();
        PutIndexes(&pixels_[size_t(at)], unit, 1, 2);
      }
    }
    if (r.exhausted()) return;
  }
}

void AnimationCanvas::DecodeUnits(std::span<const uint8_t> in, int64_t firstLine, int64_t lines) {
  Reader r(in);
  const int64_t limit = stride_ * height_;
  const bool indexes = depth_ <= 8;
  const int unitBytes = indexes ? 4 : depth_ / 8;
  const int64_t unitSpan = indexes ? UnitPixels(depth_) : unitBytes;  // canvas bytes per unit
  uint8_t unit[8];
  auto put = [&](int64_t at) { PutIndexes(&pixels_[size_t(at)], unit, depth_, 4); };
  // Pixels of 16 bits and more are read in pieces of 1, 2, 4 or 8 bytes, a
  // piece that the sample's end cuts reading as zeros: at 16 bits a pixel
  // is one piece; at 24 a repeated pixel is 2 + 1, copied ones go by pairs
  // of 4 + 2 (a last odd one 2 + 1); at 32 a repeated pixel is 4, copied
  // ones go by pairs of 8 (a last odd one 4).
  auto readPixels = [&](uint8_t *dst, int count) {
    if (depth_ == 16) {
      for (int i = 0; i < count; ++i) r.Piece(dst + 2 * i, 2);
      return;
    }
    const size_t bpp = size_t(unitBytes);
    for (; count >= 2; count -= 2, dst += 2 * bpp) {
      if (depth_ == 24) {
        r.Piece(dst, 4);
        r.Piece(dst + 4, 2);
      } else {
        r.Piece(dst, 8);
      }
    }
    if (count == 1) {
      if (depth_ == 24) {
        r.Piece(dst, 2);
        r.Piece(dst + 2, 1);
      } else {
        r.Piece(dst, 4);
      }
    }
  };
  for (int64_t line = firstLine; line < firstLine + lines; ++line) {
    int64_t at = line * stride_ + unitSpan * (int64_t(r.Byte()) - 1);
    if (at < 0 || at > limit) return;
    for (int code; (code = r.Signed()) != -1;) {
      if (r.left() < 1) return;
      if (code == 0) {
        at += unitSpan * (int64_t(r.Byte()) - 1);
        if (at < 0 || at > limit) return;
      } else if (code < 0) {
        if (indexes)
          for (int i = 0; i < 4; ++i) unit[i] = r.Byte();
        else
          readPixels(unit, 1);
        if (at + unitSpan * -code > limit) return;
        for (; code < 0; ++code, at += unitSpan) {
          if (indexes)
            put(at);
          else
            std::memcpy(&pixels_[size_t(at)], unit, size_t(unitBytes));
        }
      } else {
        if (at + unitSpan * code > limit) return;
        if (depth_ == 8) {
          // Bytes are pixels here: a literal cut short by the sample's end
          // leaves the pixels it does not reach as they were.
          const size_t n = std::min(r.left(), size_t(code) * 4);
          r.Copy(&pixels_[size_t(at)], n);
          at += int64_t(n);
          continue;
        }
        if (!indexes) {
          readPixels(&pixels_[size_t(at)], code);
          at += unitSpan * code;
          continue;
        }
        for (; code > 0; --code, at += unitSpan) {
          for (int i = 0; i < 4; ++i) unit[i] = r.Byte();
          put(at);
        }
      }
    }
  }
}

namespace {

class AnimationDecoder final : public VideoDecoder {
 public:
  bool Open(const VideoCodecSetup &setup) {
    if (!canvas_.Init(setup.width, setup.height, setup.depth)) return false;
    if (canvas_.indexed()) colors_ = AnimationColorTable(setup.depth, setup.colorTable);
    return true;
  }

  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override {
    *gotPicture = false;
    if (!data || size <= 0) return codecBadDataErr;
    if (!canvas_.Apply(std::span<const uint8_t>(data, size_t(size)))) return codecBadDataErr;
    *gotPicture = decoded_ = true;
    return noErr;
  }

  bool HasPicture() const override { return decoded_; }

  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    *width = *height = 0;
    if (!decoded_) return codecErr;
    Picture p;
    p.width = canvas_.width();
    p.height = canvas_.height();
    if (!canvas_.indexed()) {
      p.layout = canvas_.layout();
      p.data[0] = canvas_.pixels();
      p.linesize[0] = int(canvas_.stride());
      return DrawPicture(p, target, width, height);
    }
    return DrawIndexedPicture(canvas_.pixels(), canvas_.stride(), p.width, p.height, colors_, &argb_, target, width,
                              height);
  }

 private:
  AnimationCanvas canvas_;
  std::vector<uint32_t> colors_;
  std::vector<uint8_t> argb_;
  bool decoded_ = false;
};

}  // namespace

bool IsBuiltInAnimation(const VideoCodecSetup &setup) { return setup.codecType == FourCC("rle ") && !setup.raw; }

OSErr CreateAnimationDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  std::unique_ptr<AnimationDecoder> d(new (std::nothrow) AnimationDecoder);
  if (!d) return memFullErr;
  if (!d->Open(setup)) return codecErr;
  *out = std::move(d);
  return noErr;
}

}  // namespace tp::qt
