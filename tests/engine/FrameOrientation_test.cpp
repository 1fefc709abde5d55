// The orientation a track matrix asks for (hostile matrices are no turn),
// and the turned copy on pictures small enough to spell out: odd sizes and
// their padding, chroma planes in buffer order, bottom-up rows, YUY2 chroma
// pairs, and buffers too small for the picture.
#include "engine/FrameOrientation.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/SampleData.h"

namespace {

constexpr Fixed kOne = 0x10000;

MatrixRecord Matrix(Fixed a, Fixed b, Fixed c, Fixed d, Fixed u = 0, Fixed v = 0) {
  return MatrixRecord{{{a, b, u}, {c, d, v}, {123 * kOne, -7 * kOne, 0x40000000}}};
}

TEST(FrameOrientation, FromMatrix_QuarterTurnsAndMirrors_OtherMatricesAreNoTurn) {
  struct Case {
    const char *name;
    MatrixRecord m;
    int degrees;  // -1: no turn
    bool mirrored;
  } cases[] = {
      {"identity", Matrix(kOne, 0, 0, kOne), -1, false},
      {"clockwise 90 (phone upright)", Matrix(0, kOne, -kOne, 0), 90, false},
      {"180", Matrix(-kOne, 0, 0, -kOne), 180, false},
      {"clockwise 270", Matrix(0, -kOne, kOne, 0), 270, false},
      {"left-right mirror", Matrix(-kOne, 0, 0, kOne), 0, true},
      {"upside-down mirror", Matrix(kOne, 0, 0, -kOne), 180, true},
      {"transpose", Matrix(0, kOne, kOne, 0), 270, true},
      {"anti-transpose", Matrix(0, -kOne, -kOne, 0), 90, true},
      {"90 with scale 2 (scale ignored)", Matrix(0, 2 * kOne, -2 * kOne, 0), 90, false},
      {"45 degrees", Matrix(0xB505, 0xB505, -0xB505, 0xB505), -1, false},
      {"zero", Matrix(0, 0, 0, 0), -1, false},
      {"huge", Matrix(0, INT32_MAX, INT32_MIN, 0), -1, false},
      {"tiny", Matrix(0, 1, -1, 0), -1, false},
      {"shear", Matrix(kOne, kOne, 0, kOne), -1, false},
      {"perspective", Matrix(0, kOne, -kOne, 0, 5, 0), -1, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const FrameOrientation o = FrameOrientation::FromMatrix(c.m);
    if (c.degrees < 0) {
      EXPECT_TRUE(o.IsIdentity());
      continue;
    }
    EXPECT_FALSE(o.IsIdentity());
    EXPECT_EQ(o.Degrees(), c.degrees);
    EXPECT_EQ(o.Mirrored(), c.mirrored);
    EXPECT_EQ(o.SwapsSize(), c.degrees % 180 != 0);
  }
}

// A 3 x 2 picture:   1 2 3
//                    4 5 6
// with chroma planes of 2 x 1 (Cb 10 20, Cr 30 40), turned into I420 or YV12
// at the even-rounded displayed size.
struct PlanarCase {
  const char *name;
  MatrixRecord m;
  bool crFirst;
  LONG width, height;  // output
  std::vector<BYTE> expected;
};

TEST(FrameOrientation, TurnPicture_Planar_OddPicturePaddedAtRightAndBottom) {
  const BYTE luma[] = {1, 2, 3, 0, 4, 5, 6, 0};  // row step 4
  const BYTE cb[] = {10, 20}, cr[] = {30, 40};
  PictureView picture;
  picture.planes[0] = luma;
  picture.planes[1] = cb;
  picture.planes[2] = cr;
  picture.steps[0] = 4;
  picture.steps[1] = picture.steps[2] = 2;
  picture.width = 3;
  picture.height = 2;
  const PlanarCase cases[] = {
      // 2 x 3 turned, padded to 2 x 4: the last row repeats.
      {"clockwise 90, I420",
       Matrix(0, kOne, -kOne, 0),
       false,
       2,
       4,
       {4, 1, 5, 2, 6, 3, 6, 3, /* Cb */ 10, 20, /* Cr */ 30, 40}},
      {"clockwise 270, YV12",
       Matrix(0, -kOne, kOne, 0),
       true,
       2,
       4,
       {3, 6, 2, 5, 1, 4, 1, 4, /* Cr */ 40, 30, /* Cb */ 20, 10}},
      // 3 x 2 turned, padded to 4 x 2: the last column repeats.
      {"180, I420", Matrix(-kOne, 0, 0, -kOne), false, 4, 2, {6, 5, 4, 4, 3, 2, 1, 1, 20, 10, 40, 30}},
      {"mirror, I420", Matrix(-kOne, 0, 0, kOne), false, 4, 2, {3, 2, 1, 1, 6, 5, 4, 4, 20, 10, 40, 30}},
  };
  for (const PlanarCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<BYTE> buffer(c.expected.size() + 4, 0xEE);
    OutputView out;
    out.kind = PictureKind::Planar420;
    out.buffer = buffer.data();
    out.size = static_cast<LONG>(c.expected.size());
    out.width = c.width;
    out.height = c.height;
    out.crFirst = c.crFirst;
    PlaneLayout delivered{};
    EXPECT_EQ(TurnPicture(picture, out, FrameOrientation::FromMatrix(c.m), &delivered),
              static_cast<LONG>(c.expected.size()));
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(c.expected.size())),
              c.expected);
    EXPECT_EQ(std::vector<BYTE>(buffer.end() - 4, buffer.end()), std::vector<BYTE>(4, 0xEE)) << "wrote past the end";
    EXPECT_EQ(delivered.planes[0], buffer.data());
    EXPECT_EQ(delivered.planes[1], buffer.data() + c.width * c.height);
    EXPECT_EQ(delivered.planes[2], buffer.data() + c.width * c.height * 5 / 4);
    EXPECT_EQ(delivered.strides[1], c.width / 2);
  }
}

// Packed layouts after a clockwise quarter turn of a 3 x 2 picture: RGB24
// into a bottom-up buffer from a bottom-up picture, and YUY2, whose output
// pairs come from two picture rows and take the mean of their chroma.
TEST(FrameOrientation, TurnPicture_Packed_BottomUpRowsAndYuy2ChromaPairs) {
  const FrameOrientation cw90 = FrameOrientation::FromMatrix(Matrix(0, kOne, -kOne, 0));
  {
    SCOPED_TRACE("RGB24");
    // Pixel value p is bytes (p, p, p); memory rows are bottom-up (4, 5, 6 first).
    std::vector<BYTE> memory;
    for (int p : {4, 5, 6, 1, 2, 3}) memory.insert(memory.end(), 3, static_cast<BYTE>(p));
    PictureView picture;
    picture.planes[0] = memory.data() + 9;
    picture.steps[0] = -9;
    picture.width = 3;
    picture.height = 2;
    // Output 2 x 4, stride 8 (6 rounded to 4), bottom-up: the buffer's first
    // row is the picture's last (the padding row 6 3).
    std::vector<BYTE> buffer(32 + 3, 0xEE);
    OutputView out;
    out.kind = PictureKind::Packed;
    out.bytesPerPixel = 3;
    out.buffer = buffer.data();
    out.size = 32;
    out.width = 2;
    out.height = 4;
    out.bottomUp = true;
    PlaneLayout delivered{};
    EXPECT_EQ(TurnPicture(picture, out, cw90, &delivered), 32);
    const int rows[4][2] = {{6, 3}, {6, 3}, {5, 2}, {4, 1}};
    for (int r = 0; r < 4; ++r) {
      for (int x = 0; x < 2; ++x) EXPECT_EQ(buffer[size_t(r) * 8 + size_t(x) * 3], rows[r][x]) << r << "," << x;
    }
    EXPECT_EQ(buffer[32], 0xEE);
    EXPECT_EQ(delivered.strides[0], 8);
  }
  {
    SCOPED_TRACE("YUY2");
    // 2 x 2 picture, pairs (Y0 U Y1 V): row 0 = (10 100 20 200), row 1 = (30 110 40 210).
    const BYTE memory[] = {10, 100, 20, 200, 30, 110, 40, 210};
    PictureView picture;
    picture.planes[0] = memory;
    picture.steps[0] = 4;
    picture.width = 2;
    picture.height = 2;
    std::vector<BYTE> buffer(8, 0);
    OutputView out;
    out.kind = PictureKind::Yuy2;
    out.buffer = buffer.data();
    out.size = 8;
    out.width = 2;
    out.height = 2;
    PlaneLayout delivered{};
    EXPECT_EQ(TurnPicture(picture, out, cw90, &delivered), 8);
    // Clockwise: output row 0 = picture column 0 bottom to top (30, 10).
    EXPECT_EQ(buffer, (std::vector<BYTE>{30, 105, 10, 205, 40, 105, 20, 205}));
  }
}

// A buffer smaller than the turned picture: whole rows that fit are
// written, nothing past the size.
TEST(FrameOrientation, TurnPicture_SmallBuffer_WritesNothingPastIt) {
  std::vector<BYTE> source(64 * 48 * 4, 7);
  const FrameOrientation cw90 = FrameOrientation::FromMatrix(Matrix(0, kOne, -kOne, 0));
  for (PictureKind kind : {PictureKind::Planar420, PictureKind::Yuy2, PictureKind::Packed}) {
    for (LONG size : {1, 47, 48 * 64 - 1, 48 * 64 + 5, 48 * 64 * 3 / 2 - 1}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " size " + std::to_string(size));
      PictureView picture;
      for (int i = 0; i < 3; ++i) {
        picture.planes[i] = source.data();
        picture.steps[i] = 64 * 4;
      }
      picture.width = 64;
      picture.height = 48;
      std::vector<BYTE> buffer(static_cast<size_t>(size) + 16, 0xEE);
      OutputView out;
      out.kind = kind;
      out.bytesPerPixel = 4;
      out.buffer = buffer.data();
      out.size = size;
      out.width = 48;
      out.height = 64;
      PlaneLayout delivered{};
      EXPECT_LE(TurnPicture(picture, out, cw90, &delivered), size);
      EXPECT_EQ(std::vector<BYTE>(buffer.end() - 16, buffer.end()), std::vector<BYTE>(16, 0xEE));
    }
  }
}

}  // namespace
