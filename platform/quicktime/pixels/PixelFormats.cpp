#include "pixels/PixelFormats.h"

#include <QuickTime/ImageCompression.h>

#include "container/MovieModel.h"

namespace tp::qt {

std::optional<PixelLayout> WorldPixelFormat(uint32_t format) {
  switch (format) {
    case k32ARGBPixelFormat:
      return PixelLayout::kARGB;
    case k32BGRAPixelFormat:
      return PixelLayout::kBGRA;
    case k24RGBPixelFormat:
      return PixelLayout::kRGB24;
    case k24BGRPixelFormat:
      return PixelLayout::kBGR24;
    case k16LE555PixelFormat:
      return PixelLayout::kRGB555LE;
    case k16LE565PixelFormat:
      return PixelLayout::kRGB565LE;
    case kYUVSPixelFormat:
      return PixelLayout::kYUYV422;
    case kYUV420CodecType:
      return PixelLayout::kYUV420P;
    default:
      return std::nullopt;
  }
}

int PackedBytesPerPixel(PixelLayout f) {
  switch (f) {
    case PixelLayout::kARGB:
    case PixelLayout::kBGRA:
      return 4;
    case PixelLayout::kRGB24:
    case PixelLayout::kBGR24:
      return 3;
    case PixelLayout::kRGB555LE:
    case PixelLayout::kRGB565LE:
    case PixelLayout::kYUYV422:
      return 2;
    default:
      return 0;
  }
}

int64_t PackedRowBytes(PixelLayout f, int64_t width) {
  int64_t bytes = int64_t(PackedBytesPerPixel(f)) * width;
  if (f == PixelLayout::kYUYV422) bytes = ((width + 1) / 2) * 4;  // whole Y0,U,Y1,V pairs
  return (bytes + 3) / 4 * 4;
}

Planar420Layout ComputePlanar420(int64_t width, int64_t height) {
  Planar420Layout l;
  l.yOffset = int64_t(sizeof(PlanarPixmapInfoYUV420));
  l.yRowBytes = width;
  l.chromaRowBytes = (width + 1) / 2;
  l.chromaRows = (height + 1) / 2;
  l.cbOffset = l.yOffset + l.yRowBytes * height;
  l.crOffset = l.cbOffset + l.chromaRowBytes * l.chromaRows;
  int64_t end = l.crOffset + l.chromaRowBytes * l.chromaRows;
  l.rowBytes = height > 0 ? (end + height - 1) / height : 0;
  l.blockBytes = l.rowBytes * height;
  return l;
}

namespace {
void StoreBE32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
}  // namespace

void WritePlanar420Header(const Planar420Layout &l, uint8_t *out) {
  StoreBE32(out + 0, uint32_t(l.yOffset));
  StoreBE32(out + 4, uint32_t(l.yRowBytes));
  StoreBE32(out + 8, uint32_t(l.cbOffset));
  StoreBE32(out + 12, uint32_t(l.chromaRowBytes));
  StoreBE32(out + 16, uint32_t(l.crOffset));
  StoreBE32(out + 20, uint32_t(l.chromaRowBytes));
}

std::optional<RawFormat> BuiltInRawFormat(uint32_t codecType, int depth) {
  switch (codecType) {
    case FourCC("raw "):
      switch (depth) {
        case 16:
          return RawFormat{PixelLayout::kRGB555BE, 16, false};
        case 24:
          return RawFormat{PixelLayout::kRGB24, 24, false};
        case 32:
          return RawFormat{PixelLayout::kARGB, 32, false};
        default:
          return std::nullopt;  // palettes and grey levels go to libavcodec
      }
    case FourCC("2vuy"):
      return RawFormat{PixelLayout::kUYVY422, 16, false};
    case FourCC("yuvs"):
      return RawFormat{PixelLayout::kYUYV422, 16, false};
    case FourCC("yuv2"):
      return RawFormat{PixelLayout::kYUYV422, 16, true};
    case FourCC("y420"):
      return RawFormat{PixelLayout::kYUV420P, 0, false};
    case FourCC("BGRA"):
      return RawFormat{PixelLayout::kBGRA, 32, false};
    case FourCC("24BG"):
      return RawFormat{PixelLayout::kBGR24, 24, false};
    case FourCC("L555"):
      return RawFormat{PixelLayout::kRGB555LE, 16, false};
    case FourCC("L565"):
      return RawFormat{PixelLayout::kRGB565LE, 16, false};
    default:
      return std::nullopt;
  }
}

}  // namespace tp::qt
