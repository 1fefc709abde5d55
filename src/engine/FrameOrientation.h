// FrameOrientation: how a video track's pictures are turned for display, as
// its track header's matrix says, and the copy that turns a decoded picture
// into the output layout.
//
// Only the orientation part of the matrix is honoured: quarter turns (90,
// 180, 270 degrees clockwise) and mirroring (a matrix with a negative
// determinant), that is the eight ways a picture can lie on a grid. Scale,
// translation and perspective are not applied. A matrix that is not a
// signed permutation of its axes (other angles, zero, shear, entries beyond
// 1/16..16 in magnitude, perspective terms) is taken as "no turn".
//
// Geometry: the picture's own size may be odd. The turned picture sits in the
// output's top-left corner, and an output that is larger (the even rounding
// of odd sizes) repeats its last column and row, as the decoder's worlds do.
// Planar 4:2:0 chroma planes of ceil(w/2) x ceil(h/2) samples turn as planes
// of their own, so a turned odd picture keeps its chroma where the decoder put
// it (the same as turning the decoded planes one by one).
//
// Threads and ownership: plain values and functions on caller-owned memory;
// no state.
#pragma once

#include <windows.h>

#include <cstddef>

#include "QuickTime/ImageCompression.h"

struct PlaneLayout;

struct FrameOrientation {
  // Output pixel (X, Y) of the turned picture shows picture pixel (x, y):
  // with transpose, X runs along the picture's rows (X ~ y, Y ~ x); flipX and
  // flipY then count X and Y from the far edge of the turned picture.
  bool transpose = false;
  bool flipX = false;
  bool flipY = false;

  bool IsIdentity() const { return !transpose && !flipX && !flipY; }
  // A quarter turn swaps the displayed width and height.
  bool SwapsSize() const { return transpose; }
  // Clockwise turn in degrees (0, 90, 180, 270) applied after an optional
  // left-right mirror of the stored picture.
  int Degrees() const;
  bool Mirrored() const { return transpose == (flipX == flipY); }

  // The orientation a QuickTime matrix asks for (rows a b u / c d v / tx ty w,
  // a point maps as x' = a x + c y + tx, y' = b x + d y + ty).
  static FrameOrientation FromMatrix(const MatrixRecord &matrix);
};

// The shape of a decoded picture and of the output it is turned into.
enum class PictureKind {
  Planar420,  // three planes: Y, then Cb and Cr at half size each way
  Yuy2,       // packed 4:2:2: Y0 U Y1 V per pair of pixels
  Packed,     // one plane of bytesPerPixel-byte pixels (RGB 16, 24, 32)
};

// A decoded picture: planes[0] (planar: Y, Cb, Cr) start at the picture's top
// row; steps are the bytes from one row to the next row down, negative where
// the rows lie bottom-up in memory. width x height is the picture's own size
// (luma for planar; the chroma planes are (width + 1) / 2 by (height + 1) / 2).
// Its kind is the output's, except that planar 4:2:0 may also be turned into
// YUY2: the chroma planes are turned, then each chroma row serves two output
// rows, weighted 3:1 with its neighbour (chroma sited between the two rows),
// as a 4:2:0 picture turned first and then converted would have it.
struct PictureView {
  PictureKind kind = PictureKind::Packed;
  const BYTE *planes[3] = {};
  ptrdiff_t steps[3] = {};
  LONG width = 0;
  LONG height = 0;
};

// The downstream buffer, described as the output type lays it out: width x
// height (even) pixels. Packed rows lie `pitch` bytes apart (0: size / height),
// bottom-up when bottomUp; planar luma rows `pitch` bytes apart (0: the width)
// and chroma rows half that, luma then the two chroma planes, Cr first when
// crFirst (YV12).
struct OutputView {
  PictureKind kind = PictureKind::Packed;
  int bytesPerPixel = 0;  // Packed only: 2, 3 or 4
  BYTE *buffer = nullptr;
  LONG size = 0;
  LONG width = 0;
  LONG height = 0;
  LONG pitch = 0;
  bool bottomUp = false;
  bool crFirst = false;
};

// Where an unturned picture's planes lie in an OutputView's buffer: picture
// order (row 0 the top row; 4:2:0: Y, Cb, Cr), each with its signed row step
// in bytes (negative: bottom-up). length is the bytes the picture spans at
// the view's pitch, its last row's padding included. The planes are set
// only when every row lies inside out.size, and the pitch holds the row.
struct OutputPlanes {
  BYTE *planes[3] = {};
  LONG steps[3] = {};
  LONGLONG length = 0;
};
OutputPlanes PlanesOf(const OutputView &out);

// Whether the host asked for pictures as stored, without the matrix's turn:
// HKEY_CURRENT_USER\Software\Tidepool "StoredOrientation", a DWORD, non-zero.
// Missing, another type or 0: turn them.
bool StoredOrientationAsked();

// Writes `picture` turned by `orientation` into `out`, padding as described
// above. Nothing is written past out.size: rows that do not fit whole are
// left out. Returns the bytes of the output picture (what a reader of the
// buffer gets) and fills `delivered` with where its planes lie in the buffer
// (in buffer order, rows top to bottom as stored: a packed bottom-up buffer
// is described from its first byte).
LONG TurnPicture(const PictureView &picture, const OutputView &out, FrameOrientation orientation,
                 PlaneLayout *delivered);
