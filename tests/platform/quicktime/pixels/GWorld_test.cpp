// Graphics worlds through the dispatcher: the six layouts' row bytes and the
// 'y420' header, worlds over DIB sections and their row order, hostile
// rectangles, and stale or foreign pointers.
#include <gtest/gtest.h>

#include <cstring>

#include <QuickTime/ImageCompression.h>
#include <windows.h>

#include "pixels/GWorld.h"
#include "RuntimeCalls.h"

namespace tp::test {
namespace {

using tp::qt::DispatchCall;

uint32_t BE32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

OSErr NewWorld(GWorldPtr *w, OSType format, SInt16 top, SInt16 left, SInt16 bottom, SInt16 right) {
  Rect r{top, left, bottom, right};
  return OSErr(DispatchCall(kQTSelQTNewGWorld, w, format, &r, nullptr, nullptr, 0u));
}
PixMapHandle PixMapOf(GWorldPtr w) { return reinterpret_cast<PixMapHandle>(DispatchCall(kQTSelGetGWorldPixMap, w)); }
SInt32 RowBytes(PixMapHandle pm) { return SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, pm)); }
uint8_t *Base(PixMapHandle pm) { return reinterpret_cast<uint8_t *>(DispatchCall(kQTSelGetPixBaseAddr, pm)); }

class GWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = qt::LiveWorldCount(); }
  void TearDown() override { EXPECT_EQ(qt::LiveWorldCount(), live_); }
  size_t live_ = 0;
};

TEST_F(GWorldTest, QTNewGWorld_RowBytesOfEveryLayoutCoverTheRowsAndAreWritable) {
  struct Case {
    OSType format;
    SInt32 rowBytes;  // at 322 x 242
  };
  const Case cases[] = {{k32ARGBPixelFormat, 1288}, {k32BGRAPixelFormat, 1288}, {k24RGBPixelFormat, 968},
                        {k24BGRPixelFormat, 968},   {k16LE555PixelFormat, 644}, {k16LE565PixelFormat, 644},
                        {kYUVSPixelFormat, 644}};
  for (const Case &c : cases) {
    GWorldPtr w = nullptr;
    ASSERT_EQ(NewWorld(&w, c.format, 0, 0, 242, 322), noErr);
    PixMapHandle pm = PixMapOf(w);
    ASSERT_NE(pm, nullptr);
    EXPECT_EQ(DispatchCall(kQTSelLockPixels, pm), 1);
    EXPECT_EQ(RowBytes(pm), c.rowBytes);
    uint8_t *base = Base(pm);
    ASSERT_NE(base, nullptr);
    std::memset(base, 0x5A, size_t(RowBytes(pm)) * 242);  // ASan: the whole block is ours
    DispatchCall(kQTSelUnlockPixels, pm);
    DispatchCall(kQTSelDisposeGWorld, w);
  }
  // A width not a multiple of 4 pads 24-bit rows to 4 bytes.
  GWorldPtr w = nullptr;
  ASSERT_EQ(NewWorld(&w, k24RGBPixelFormat, 10, 20, 13, 25), noErr);  // 5 x 3
  EXPECT_EQ(RowBytes(PixMapOf(w)), 16);
  DispatchCall(kQTSelDisposeGWorld, w);
}

TEST_F(GWorldTest, Y420_HeaderIsBigEndianAndRowBytesTimesHeightCoversEveryPlane) {
  for (auto [w, h] : {std::pair{322, 242}, std::pair{321, 241}, std::pair{2, 1}}) {
    GWorldPtr world = nullptr;
    ASSERT_EQ(NewWorld(&world, kYUV420CodecType, 0, 0, SInt16(h), SInt16(w)), noErr);
    PixMapHandle pm = PixMapOf(world);
    const uint8_t *base = Base(pm);
    const int64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    EXPECT_EQ(BE32(base), 24u);
    EXPECT_EQ(BE32(base + 4), uint32_t(w));
    EXPECT_EQ(BE32(base + 8), uint32_t(24 + w * h));
    EXPECT_EQ(BE32(base + 12), uint32_t(cw));
    EXPECT_EQ(BE32(base + 16), uint32_t(24 + w * h + cw * ch));
    EXPECT_EQ(BE32(base + 20), uint32_t(cw));
    const int64_t end = 24 + int64_t(w) * h + 2 * cw * ch;
    const int64_t covered = int64_t(RowBytes(pm)) * h;
    EXPECT_GE(covered, end);
    EXPECT_LT(covered - end, h);  // no more than one row of slack
    // Past tiny pictures (where the 24-byte header alone is larger), it fits
    // a block of twice the 12-bit image size.
    const int64_t stride12 = ((12 * int64_t(w) + 31) / 32) * 4;
    if (w * h >= 64) {
      EXPECT_LE(covered, 2 * stride12 * h);
    }
    volatile uint8_t last = base[covered - 1];  // ASan: readable to the end
    (void)last;
    DispatchCall(kQTSelDisposeGWorld, world);
  }
}

TEST_F(GWorldTest, HostileRectanglesAndFormats_AreRefusedWithoutAllocating) {
  GWorldPtr w = reinterpret_cast<GWorldPtr>(1);
  EXPECT_EQ(NewWorld(&w, k32ARGBPixelFormat, 0, 0, 0, 10), paramErr);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(NewWorld(&w, k32ARGBPixelFormat, 0, 0, 10, -5), paramErr);
  EXPECT_EQ(NewWorld(&w, k32ARGBPixelFormat, 10, 10, 5, 20), paramErr);
  EXPECT_EQ(NewWorld(&w, k32ARGBPixelFormat, -32768, -32768, 32767, 32767), memFullErr);  // 16 GiB
  EXPECT_EQ(NewWorld(&w, QT_FOUR_CHAR_CODE('z', 'z', 'z', 'z'), 0, 0, 10, 10), cDepthErr);
  EXPECT_EQ(NewWorld(&w, 8, 0, 0, 10, 10), cDepthErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &w, k32ARGBPixelFormat, nullptr, nullptr, nullptr, 0u)), paramErr);
  Rect r{0, 0, 4, 4};
  EXPECT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, nullptr, k32ARGBPixelFormat, &r, nullptr, nullptr, 0u)), paramErr);
}

TEST_F(GWorldTest, StaleAndForeignPointers_AreRefused) {
  GWorldPtr w = nullptr;
  ASSERT_EQ(NewWorld(&w, kYUVSPixelFormat, 0, 0, 4, 4), noErr);
  PixMapHandle pm = PixMapOf(w);
  DispatchCall(kQTSelDisposeGWorld, w);
  EXPECT_EQ(PixMapOf(w), nullptr);
  EXPECT_EQ(Base(pm), nullptr);
  EXPECT_EQ(RowBytes(pm), 0);
  EXPECT_EQ(DispatchCall(kQTSelLockPixels, pm), 0);
  DispatchCall(kQTSelUnlockPixels, pm);
  DispatchCall(kQTSelDisposeGWorld, w);  // twice: ignored
  int foreign = 0;
  EXPECT_EQ(PixMapOf(reinterpret_cast<GWorldPtr>(&foreign)), nullptr);
  EXPECT_EQ(Base(reinterpret_cast<PixMapHandle>(&foreign)), nullptr);
  EXPECT_EQ(PixMapOf(nullptr), nullptr);
}

HBITMAP MakeDib(int w, int h, int bits, void **bitsOut) {
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = w;
  bmi.bmiHeader.biHeight = h;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = WORD(bits);
  return CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, bitsOut, nullptr, 0);
}

TEST_F(GWorldTest, NewGWorldFromHBITMAP_DrawsIntoTheSectionsOwnBits) {
  struct Case {
    int bits;
    int height;
    bool bottomUp;
    SInt32 rowBytes;
  };
  // Only a 32-bit bottom-up section keeps its bottom-up row order.
  const Case cases[] = {{32, 242, true, 1288}, {32, -242, false, 1288}, {24, 242, false, 968}, {16, 242, false, 644}};
  for (const Case &c : cases) {
    void *bits = nullptr;
    HBITMAP dib = MakeDib(322, c.height, c.bits, &bits);
    ASSERT_NE(dib, nullptr);
    GWorldPtr w = nullptr;
    ASSERT_EQ(OSErr(DispatchCall(kQTSelNewGWorldFromHBITMAP, &w, nullptr, nullptr, 0u, dib, nullptr)), noErr);
    PixMapHandle pm = PixMapOf(w);
    EXPECT_EQ(Base(pm), bits);
    EXPECT_EQ(RowBytes(pm), c.rowBytes);
    std::shared_ptr<qt::GWorld> world = qt::FindWorld(w);
    ASSERT_TRUE(world);
    EXPECT_EQ(world->bottomUp(), c.bottomUp) << c.bits << " bits, height " << c.height;
    const qt::DrawTarget t = world->Target();
    // Picture row 0 is the last memory row of a bottom-up world.
    const uint8_t *row0 = static_cast<uint8_t *>(bits) + (c.bottomUp ? int64_t(c.rowBytes) * 241 : 0);
    EXPECT_EQ(t.data[0], row0);
    EXPECT_EQ(t.linesize[0], c.bottomUp ? -c.rowBytes : c.rowBytes);
    world.reset();
    DispatchCall(kQTSelDisposeGWorld, w);
    EXPECT_TRUE(DeleteObject(dib));
  }
  GWorldPtr w = nullptr;
  int notABitmap = 0;
  EXPECT_EQ(OSErr(DispatchCall(kQTSelNewGWorldFromHBITMAP, &w, nullptr, nullptr, 0u, &notABitmap, nullptr)), paramErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelNewGWorldFromHBITMAP, &w, nullptr, nullptr, 0u, nullptr, nullptr)), paramErr);
}

}  // namespace
}  // namespace tp::test
