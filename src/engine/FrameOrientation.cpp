#include "engine/FrameOrientation.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "engine/SampleData.h"

namespace {

constexpr int64_t kFixedOne = 0x10000;
// Matrix entries outside 1/16..16 are not taken for a turn.
constexpr int64_t kSmallest = kFixedOne / 16;
constexpr int64_t kLargest = kFixedOne * 16;
// Edge of the square tiles a quarter turn walks, so that the rows it reads
// across stay in the cache while a tile is written.
constexpr LONG kTile = 64;

bool Sane(int64_t v) {
  const int64_t magnitude = v < 0 ? -v : v;
  return magnitude >= kSmallest && magnitude <= kLargest;
}

LONG Min(LONG a, LONG b) { return a < b ? a : b; }

// Transposes 8 x 8 bytes held as eight words, byte j of word i at bits 8j
// (the byte order of the little-endian machines this runs on): byte j of
// word i trades places with byte i of word j, in three rounds of swapping
// 1-, 2- and 4-byte squares.
void Transpose8x8(uint64_t w[8]) {
  auto swap = [](uint64_t &a, uint64_t &b, int shift, uint64_t mask) {
    const uint64_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
  };
  for (int i = 0; i < 8; i += 2) swap(w[i], w[i + 1], 8, 0x00FF00FF00FF00FFull);
  for (int i : {0, 1, 4, 5}) swap(w[i], w[i + 2], 16, 0x0000FFFF0000FFFFull);
  for (int i = 0; i < 4; ++i) swap(w[i], w[i + 4], 32, 0x00000000FFFFFFFFull);
}

// Where output pixels come from: output (X, Y) of the turned picture (tw x th)
// shows picture pixel (SourceX, SourceY).
struct Mapping {
  FrameOrientation o;
  LONG tw, th;  // the turned picture's size
  LONG X0(LONG X) const { return o.flipX ? tw - 1 - X : X; }
  LONG Y0(LONG Y) const { return o.flipY ? th - 1 - Y : Y; }
  LONG SourceX(LONG X, LONG Y) const { return o.transpose ? Y0(Y) : X0(X); }
  LONG SourceY(LONG X, LONG Y) const { return o.transpose ? X0(X) : Y0(Y); }
};

// One plane of pixels of N bytes each. The turned picture (tw x th) fills the
// top-left of the target's columns x rows; columns and rows beyond it repeat
// its last column and row.
template <int N>
void TurnPlane(const BYTE *source, ptrdiff_t sourceStep, LONG width, LONG height, BYTE *target, ptrdiff_t targetStep,
               LONG columns, LONG rows, FrameOrientation o) {
  if (width <= 0 || height <= 0 || columns <= 0 || rows <= 0) return;
  const Mapping map{o, o.transpose ? height : width, o.transpose ? width : height};
  const LONG doneColumns = Min(map.tw, columns);
  const LONG doneRows = Min(map.th, rows);
  auto pixel = [&](LONG x, LONG y) { return source + static_cast<ptrdiff_t>(y) * sourceStep + ptrdiff_t{N} * x; };
  auto row = [&](LONG Y) { return target + static_cast<ptrdiff_t>(Y) * targetStep; };
  if (!o.transpose) {
    for (LONG Y = 0; Y < doneRows; ++Y) {
      const BYTE *from = pixel(0, map.Y0(Y));
      BYTE *to = row(Y);
      if (!o.flipX) {
        std::memcpy(to, from, static_cast<size_t>(doneColumns) * N);
      } else {
        for (LONG X = 0; X < doneColumns; ++X)
          std::memcpy(to + ptrdiff_t{N} * X, from + ptrdiff_t{N} * (map.tw - 1 - X), N);
      }
    }
  } else {
    // Output rows are picture columns: walk the output in tiles, so the
    // picture rows one tile reads are few and stay cached.
    for (LONG tileY = 0; tileY < doneRows; tileY += kTile) {
      const LONG endY = Min(tileY + kTile, doneRows);
      for (LONG tileX = 0; tileX < doneColumns; tileX += kTile) {
        const LONG endX = Min(tileX + kTile, doneColumns);
        // Along an output row the source moves one picture row per pixel.
        const ptrdiff_t along = o.flipX ? -sourceStep : sourceStep;
        auto pixels = [&](LONG Y, LONG fromX, LONG toX) {
          const BYTE *from = pixel(map.SourceX(fromX, Y), map.SourceY(fromX, Y));
          BYTE *to = row(Y) + ptrdiff_t{N} * fromX;
          for (LONG X = fromX; X < toX; ++X, from += along, to += N) std::memcpy(to, from, N);
        };
        LONG blockEndY = tileY;
        LONG blockEndX = tileX;
        if constexpr (N == 1) {
          // Bytes go over in 8 x 8 blocks: eight reads of eight bytes from
          // eight picture rows, eight output rows written.
          blockEndY = tileY + (endY - tileY) / 8 * 8;
          blockEndX = tileX + (endX - tileX) / 8 * 8;
          for (LONG Y = tileY; Y < blockEndY; Y += 8) {
            const LONG firstX = o.flipY ? map.Y0(Y + 7) : map.Y0(Y);
            for (LONG X = tileX; X < blockEndX; X += 8) {
              uint64_t block[8];
              for (int c = 0; c < 8; ++c) std::memcpy(&block[c], pixel(firstX, map.X0(X + c)), 8);
              Transpose8x8(block);
              for (int r = 0; r < 8; ++r) std::memcpy(row(Y + r) + X, &block[o.flipY ? 7 - r : r], 8);
            }
            for (LONG Y1 = Y; Y1 < Y + 8; ++Y1) pixels(Y1, blockEndX, endX);
          }
        }
        for (LONG Y = blockEndY; Y < endY; ++Y) pixels(Y, tileX, endX);
      }
    }
  }
  for (LONG Y = 0; Y < doneRows; ++Y) {
    BYTE *to = row(Y);
    for (LONG X = doneColumns; X < columns; ++X)
      std::memcpy(to + ptrdiff_t{N} * X, to + ptrdiff_t{N} * (doneColumns - 1), N);
  }
  for (LONG Y = doneRows; Y < rows; ++Y) std::memcpy(row(Y), row(doneRows - 1), static_cast<size_t>(columns) * N);
}

void TurnPlaneOf(int bytesPerPixel, const BYTE *source, ptrdiff_t sourceStep, LONG width, LONG height, BYTE *target,
                 ptrdiff_t targetStep, LONG columns, LONG rows, FrameOrientation o) {
  switch (bytesPerPixel) {
    case 1:
      return TurnPlane<1>(source, sourceStep, width, height, target, targetStep, columns, rows, o);
    case 2:
      return TurnPlane<2>(source, sourceStep, width, height, target, targetStep, columns, rows, o);
    case 3:
      return TurnPlane<3>(source, sourceStep, width, height, target, targetStep, columns, rows, o);
    case 4:
      return TurnPlane<4>(source, sourceStep, width, height, target, targetStep, columns, rows, o);
    default:
      return;
  }
}

// Packed 4:2:2: each output pair takes the luma of its two pixels and the
// rounded mean of their chroma (after a quarter turn the two come from
// neighbouring picture rows, whose chroma differs).
void TurnYuy2(const PictureView &p, BYTE *target, ptrdiff_t targetStep, LONG columns, LONG rows, FrameOrientation o) {
  if (p.width <= 0 || p.height <= 0 || columns <= 0 || rows <= 0) return;
  const Mapping map{o, o.transpose ? p.height : p.width, o.transpose ? p.width : p.height};
  const LONG doneRows = Min(map.th, rows);
  // Columns past the turned picture repeat its last one.
  auto at = [&](LONG X, LONG Y, LONG *x) {
    const LONG clamped = Min(X, map.tw - 1);
    *x = map.SourceX(clamped, Y);
    return p.planes[0] + static_cast<ptrdiff_t>(map.SourceY(clamped, Y)) * p.steps[0] + ptrdiff_t{4} * (*x / 2);
  };
  for (LONG Y = 0; Y < doneRows; ++Y) {
    BYTE *to = target + static_cast<ptrdiff_t>(Y) * targetStep;
    for (LONG X = 0; X + 1 < columns; X += 2, to += 4) {
      LONG xa = 0, xb = 0;
      const BYTE *a = at(X, Y, &xa);
      const BYTE *b = at(X + 1, Y, &xb);
      to[0] = a[(xa & 1) * 2];
      to[1] = static_cast<BYTE>((a[1] + b[1] + 1) / 2);
      to[2] = b[(xb & 1) * 2];
      to[3] = static_cast<BYTE>((a[3] + b[3] + 1) / 2);
    }
  }
  const size_t rowBytes = static_cast<size_t>(columns / 2) * 4;
  for (LONG Y = doneRows; Y < rows; ++Y) {
    std::memcpy(target + static_cast<ptrdiff_t>(Y) * targetStep,
                target + static_cast<ptrdiff_t>(doneRows - 1) * targetStep, rowBytes);
  }
}

// Planar 4:2:0 into YUY2: luma turned pixel by pixel; chroma turned as its
// own plane, then spread evenly over the output rows by linear interpolation
// between chroma row centres (3:1 weights when the rows are twice the chroma
// rows; an odd picture's ceil(h/2) chroma rows stretch over h rows), edges
// repeated.
void TurnPlanarToYuy2(const PictureView &p, BYTE *target, ptrdiff_t targetStep, LONG columns, LONG rows,
                      FrameOrientation o) {
  if (p.width <= 0 || p.height <= 0 || columns <= 0 || rows <= 0) return;
  const Mapping luma{o, o.transpose ? p.height : p.width, o.transpose ? p.width : p.height};
  const LONG chromaWidth = (p.width + 1) / 2, chromaHeight = (p.height + 1) / 2;
  const Mapping chroma{o, o.transpose ? chromaHeight : chromaWidth, o.transpose ? chromaWidth : chromaHeight};
  const LONG doneRows = Min(luma.th, rows);
  auto lumaAt = [&](LONG X, LONG Y) {
    const LONG clamped = Min(X, luma.tw - 1);
    return p.planes[0][static_cast<ptrdiff_t>(luma.SourceY(clamped, Y)) * p.steps[0] + luma.SourceX(clamped, Y)];
  };
  auto chromaAt = [&](int plane, LONG CX, LONG CY) {
    const LONG cx = Min(CX, chroma.tw - 1);
    return p.planes[plane][static_cast<ptrdiff_t>(chroma.SourceY(cx, CY)) * p.steps[plane] + chroma.SourceX(cx, CY)];
  };
  for (LONG Y = 0; Y < doneRows; ++Y) {
    // Chroma position of this row's centre, in 1/256 of a chroma row:
    // (Y + 1/2) x chroma rows / rows - 1/2.
    const int64_t position = ((2 * int64_t{Y} + 1) * chroma.th * 256) / (2 * int64_t{luma.th}) - 128;
    LONG upper = static_cast<LONG>(position >= 0 ? position / 256 : -1);
    const int weight = static_cast<int>(position - int64_t{upper} * 256);  // of the lower row, 0..255
    LONG lower = upper + 1;
    if (upper < 0) upper = 0;
    if (lower > chroma.th - 1) lower = chroma.th - 1;
    BYTE *to = target + static_cast<ptrdiff_t>(Y) * targetStep;
    for (LONG X = 0; X + 1 < columns; X += 2, to += 4) {
      const LONG CX = X / 2;
      to[0] = lumaAt(X, Y);
      to[1] = static_cast<BYTE>((chromaAt(1, CX, upper) * (256 - weight) + chromaAt(1, CX, lower) * weight + 128) >> 8);
      to[2] = lumaAt(X + 1, Y);
      to[3] = static_cast<BYTE>((chromaAt(2, CX, upper) * (256 - weight) + chromaAt(2, CX, lower) * weight + 128) >> 8);
    }
  }
  const size_t rowBytes = static_cast<size_t>(columns / 2) * 4;
  for (LONG Y = doneRows; Y < rows; ++Y) {
    std::memcpy(target + static_cast<ptrdiff_t>(Y) * targetStep,
                target + static_cast<ptrdiff_t>(doneRows - 1) * targetStep, rowBytes);
  }
}

}  // namespace

bool StoredOrientationAsked() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Tidepool"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD value = 0;
  DWORD type = 0;
  DWORD bytes = sizeof value;
  const bool asked = RegQueryValueExW(key, TEXT("StoredOrientation"), nullptr, &type, reinterpret_cast<BYTE *>(&value),
                                      &bytes) == ERROR_SUCCESS &&
                     type == REG_DWORD && bytes == sizeof value && value != 0;
  RegCloseKey(key);
  return asked;
}

int FrameOrientation::Degrees() const {
  if (!transpose) return flipY ? 180 : 0;
  return flipX ? 90 : 270;
}

FrameOrientation FrameOrientation::FromMatrix(const MatrixRecord &matrix) {
  const int64_t a = matrix.matrix[0][0], b = matrix.matrix[0][1], u = matrix.matrix[0][2];
  const int64_t c = matrix.matrix[1][0], d = matrix.matrix[1][1], v = matrix.matrix[1][2];
  FrameOrientation o;
  if (u != 0 || v != 0) return o;
  if (b == 0 && c == 0 && Sane(a) && Sane(d)) {
    o.flipX = a < 0;
    o.flipY = d < 0;
  } else if (a == 0 && d == 0 && Sane(b) && Sane(c)) {
    // x' = c y, y' = b x: output columns follow picture rows.
    o.transpose = true;
    o.flipX = c < 0;
    o.flipY = b < 0;
  }
  return o;
}

OutputPlanes PlanesOf(const OutputView &out) {
  OutputPlanes p;
  if (out.buffer == nullptr || out.size <= 0 || out.width <= 0 || out.height <= 0) return p;
  LONG steps[3] = {};
  LONGLONG offsets[3] = {};
  if (out.kind == PictureKind::Planar420) {
    const LONG pitch = out.pitch > 0 ? out.pitch : out.width;
    if (pitch < out.width) return p;
    const LONGLONG luma = static_cast<LONGLONG>(pitch) * out.height;
    const LONGLONG chroma = static_cast<LONGLONG>(pitch / 2) * (out.height / 2);
    // Buffer order: Cb then Cr (I420), or Cr then Cb (YV12).
    offsets[out.crFirst ? 2 : 1] = luma;
    offsets[out.crFirst ? 1 : 2] = luma + chroma;
    steps[0] = pitch;
    steps[1] = steps[2] = pitch / 2;
    p.length = luma + 2 * chroma;
  } else {
    const int bytesPerPixel = out.kind == PictureKind::Yuy2 ? 2 : out.bytesPerPixel;
    const LONG pitch = out.pitch > 0 ? out.pitch : out.size / out.height;
    if (bytesPerPixel <= 0 || pitch <= 0 || pitch < static_cast<LONGLONG>(out.width) * bytesPerPixel) return p;
    if (out.bottomUp) offsets[0] = static_cast<LONGLONG>(out.height - 1) * pitch;
    steps[0] = out.bottomUp ? -pitch : pitch;
    p.length = static_cast<LONGLONG>(pitch) * out.height;
  }
  if (p.length > out.size) return p;
  const int count = out.kind == PictureKind::Planar420 ? 3 : 1;
  for (int i = 0; i < count; ++i) {
    p.planes[i] = out.buffer + offsets[i];
    p.steps[i] = steps[i];
  }
  return p;
}

LONG TurnPicture(const PictureView &picture, const OutputView &out, FrameOrientation orientation,
                 PlaneLayout *delivered) {
  *delivered = PlaneLayout{};
  if (out.buffer == nullptr || out.size <= 0 || out.width <= 0 || out.height <= 0) return 0;
  const size_t capacity = static_cast<size_t>(out.size);
  if (out.kind == PictureKind::Planar420) {
    const LONG lumaPitch = out.pitch > 0 ? out.pitch : out.width;
    if (lumaPitch < out.width) return 0;
    const LONG chromaWidth = out.width / 2;
    const LONG chromaPitch = lumaPitch / 2;
    const LONG chromaRows = out.height / 2;
    const size_t lumaBytes = static_cast<size_t>(lumaPitch) * static_cast<size_t>(out.height);
    const size_t chromaBytes = static_cast<size_t>(chromaPitch) * static_cast<size_t>(chromaRows);
    // Rows that do not fit whole are left out.
    auto rowsThatFit = [](size_t room, LONG length, LONG pitch, LONG rows) {
      if (length <= 0 || room < static_cast<size_t>(length)) return LONG{0};
      const size_t more = (room - static_cast<size_t>(length)) / static_cast<size_t>(pitch);
      return static_cast<LONG>(Min(rows, static_cast<LONG>(Min(more + 1, static_cast<size_t>(rows)))));
    };
    TurnPlaneOf(1, picture.planes[0], picture.steps[0], picture.width, picture.height, out.buffer, lumaPitch, out.width,
                rowsThatFit(capacity, out.width, lumaPitch, out.height), orientation);
    delivered->planes[0] = out.buffer;
    delivered->strides[0] = lumaPitch;
    const LONG sourceChromaWidth = (picture.width + 1) / 2;
    const LONG sourceChromaRows = (picture.height + 1) / 2;
    // Buffer order: Cb then Cr (I420), or Cr then Cb (YV12).
    const int order[2] = {out.crFirst ? 2 : 1, out.crFirst ? 1 : 2};
    for (int i = 0; i < 2; ++i) {
      const size_t start = lumaBytes + chromaBytes * static_cast<size_t>(i);
      if (chromaWidth <= 0 || start >= capacity) break;
      const int plane = order[i];
      TurnPlaneOf(1, picture.planes[plane], picture.steps[plane], sourceChromaWidth, sourceChromaRows,
                  out.buffer + start, chromaPitch, chromaWidth,
                  rowsThatFit(capacity - start, chromaWidth, chromaPitch, chromaRows), orientation);
      delivered->planes[1 + i] = out.buffer + start;
      delivered->strides[1 + i] = chromaPitch;
    }
    const size_t total = lumaBytes + 2 * chromaBytes;
    return static_cast<LONG>(total < capacity ? total : capacity);
  }
  const LONG pitch = out.pitch > 0 ? out.pitch : out.size / out.height;
  const int bytesPerPixel = out.kind == PictureKind::Yuy2 ? 2 : out.bytesPerPixel;
  if (bytesPerPixel <= 0 || pitch <= 0) return 0;
  // A pitch narrower than the row keeps the columns that fit.
  const LONG columns = Min(out.width, pitch / bytesPerPixel);
  // A pitch given by the type must have every row inside the buffer.
  if (static_cast<LONGLONG>(out.height - 1) * pitch + static_cast<LONGLONG>(columns) * bytesPerPixel > out.size) {
    return 0;
  }
  BYTE *top = out.bottomUp ? out.buffer + static_cast<ptrdiff_t>(out.height - 1) * pitch : out.buffer;
  const ptrdiff_t step = out.bottomUp ? -static_cast<ptrdiff_t>(pitch) : pitch;
  if (out.kind == PictureKind::Yuy2 && picture.kind == PictureKind::Planar420) {
    TurnPlanarToYuy2(picture, top, step, columns, out.height, orientation);
  } else if (out.kind == PictureKind::Yuy2) {
    TurnYuy2(picture, top, step, columns, out.height, orientation);
  } else {
    TurnPlaneOf(bytesPerPixel, picture.planes[0], picture.steps[0], picture.width, picture.height, top, step, columns,
                out.height, orientation);
  }
  delivered->planes[0] = out.buffer;
  delivered->strides[0] = pitch;
  return pitch * out.height;
}
