// PixelFormats: how the runtime's graphics-world pixel formats and its
// uncompressed codec types map onto pixel layouts, and the geometry of
// a world's memory (row bytes, the 'y420' block and its header). Pure
// functions over values; nothing here owns memory.
#pragma once

#include <cstdint>
#include <optional>

namespace tp::qt {

// The pixel layouts of graphics worlds and of the built-in uncompressed
// formats. Byte order as in FFmpeg's names of the same layouts: kARGB is
// A,R,G,B bytes, kRGB555LE little-endian 16-bit words, kYUYV422 Y0,U,Y1,V,
// kUYVY422 U,Y0,V,Y1, kYUV420P three planes, kNV12 a Y plane and one plane
// of Cb,Cr pairs at half size (a decoder's output layout; never a world's).
enum class PixelLayout {
  kNone,
  kARGB,
  kBGRA,
  kRGB24,
  kBGR24,
  kRGB555LE,
  kRGB565LE,
  kRGB555BE,
  kYUYV422,
  kUYVY422,
  kYUV420P,
  kNV12,
};

// Largest pixel block a graphics world or an uncompressed picture may have.
constexpr int64_t kMaxPictureBytes = int64_t(1) << 30;

// Pixel layout of a world made by QTNewGWorld with `format`, or nullopt for a
// format this runtime does not make.
std::optional<PixelLayout> WorldPixelFormat(uint32_t format);

// Bytes per pixel of a packed layout used by worlds (0 for planar).
int PackedBytesPerPixel(PixelLayout f);

// Row bytes of a packed world: width x bytes per pixel, padded to 4 bytes.
int64_t PackedRowBytes(PixelLayout f, int64_t width);

// Geometry of a 'y420' world: header, Y, Cb, Cr, contiguous.
struct Planar420Layout {
  int64_t yOffset = 0, yRowBytes = 0;
  int64_t cbOffset = 0, crOffset = 0, chromaRowBytes = 0, chromaRows = 0;
  int64_t rowBytes = 0;    // what QTGetPixMapHandleRowBytes answers
  int64_t blockBytes = 0;  // rowBytes x height, >= header + planes
};
Planar420Layout ComputePlanar420(int64_t width, int64_t height);

// Writes the big-endian PlanarPixmapInfoYUV420 header for `layout` at `out`.
void WritePlanar420Header(const Planar420Layout &layout, uint8_t *out);

// An uncompressed codec type decoded without libavcodec.
struct RawFormat {
  PixelLayout format = PixelLayout::kNone;
  int bitsPerPixel = 0;       // 0 for the planar 'y420'
  bool signedChroma = false;  // 'yuv2': Cb and Cr are two's complement
};
// `depth` is the description's depth (for 'raw '). nullopt when the type is
// not one of the built-in uncompressed formats.
std::optional<RawFormat> BuiltInRawFormat(uint32_t codecType, int depth);

}  // namespace tp::qt
