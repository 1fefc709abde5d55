// DIB sections: strides and row order, the description GetObject gives,
// hostile headers, and handles that are stale or not bitmaps.
#include <gtest/gtest.h>

#include <cstring>

#include <windows.h>

namespace {

BITMAPINFO Info(LONG w, LONG h, WORD bits, DWORD compression = BI_RGB) {
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = w;
  bmi.bmiHeader.biHeight = h;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = bits;
  bmi.bmiHeader.biCompression = compression;
  return bmi;
}

TEST(GdiTest, CreateDIBSection_AllocatesDwordAlignedZeroedRows) {
  struct Case {
    LONG w, h;
    WORD bits;
    LONG stride;
  };
  const Case cases[] = {{322, 242, 24, 968}, {321, 241, 24, 964}, {1, 1, 24, 4}, {322, -242, 32, 1288}, {3, 5, 16, 8}};
  for (const Case &c : cases) {
    BITMAPINFO bmi = Info(c.w, c.h, c.bits);
    void *bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(dib, nullptr);
    ASSERT_NE(bits, nullptr);
    const size_t bytes = size_t(c.stride) * size_t(c.h < 0 ? -c.h : c.h);
    const auto *p = static_cast<const uint8_t *>(bits);
    for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(bits, 0xFF, bytes);  // ASan: all of it is writable

    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(dib, sizeof(ds), &ds), int(sizeof(ds)));
    EXPECT_EQ(ds.dsBm.bmWidthBytes, c.stride);
    EXPECT_EQ(ds.dsBm.bmHeight, c.h < 0 ? -c.h : c.h);
    EXPECT_EQ(ds.dsBm.bmBits, bits);
    EXPECT_EQ(ds.dsBmih.biHeight, c.h);  // the row order stays visible
    EXPECT_EQ(ds.dsBmih.biSizeImage, DWORD(bytes));
    BITMAP bm{};
    EXPECT_EQ(GetObjectW(dib, sizeof(bm), &bm), int(sizeof(bm)));
    EXPECT_EQ(bm.bmBitsPixel, c.bits);
    EXPECT_TRUE(DeleteObject(dib));
  }
}

TEST(GdiTest, CreateDIBSection_RefusesHostileHeaders) {
  struct Case {
    BITMAPINFO bmi;
    DWORD error;
  };
  BITMAPINFO badSize = Info(4, 4, 24);
  badSize.bmiHeader.biSize = 12;
  const Case cases[] = {
      {Info(0, 4, 24), ERROR_INVALID_PARAMETER},
      {Info(-4, 4, 24), ERROR_INVALID_PARAMETER},
      {Info(4, 0, 24), ERROR_INVALID_PARAMETER},
      {Info(4, LONG(0x80000000u), 24), ERROR_NOT_ENOUGH_MEMORY},  // |height| = 2^31
      {Info(0x7FFFFFFF, 0x7FFFFFFF, 32), ERROR_NOT_ENOUGH_MEMORY},
      {Info(40000, 40000, 32), ERROR_NOT_ENOUGH_MEMORY},  // 6.4 GB
      {Info(4, 4, 8), ERROR_INVALID_PARAMETER},           // palettes are not made here
      {Info(4, 4, 24, BI_BITFIELDS), ERROR_INVALID_PARAMETER},
      {Info(4, 4, 32, BI_JPEG), ERROR_INVALID_PARAMETER},
      {badSize, ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    void *bits = reinterpret_cast<void *>(1);
    SetLastError(0);
    EXPECT_EQ(CreateDIBSection(nullptr, &c.bmi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  BITMAPINFO ok = Info(4, 4, 24);
  int section = 0;
  EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(CreateDIBSection(nullptr, &ok, DIB_PAL_COLORS, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(CreateDIBSection(nullptr, &ok, DIB_RGB_COLORS, nullptr, &section, 0), nullptr);
}

TEST(GdiTest, DeleteObjectAndGetObject_RefuseStaleAndForeignHandles) {
  BITMAPINFO bmi = Info(8, 8, 32);
  HBITMAP dib = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
  ASSERT_NE(dib, nullptr);
  EXPECT_EQ(GetObjectW(dib, 0, nullptr), int(sizeof(DIBSECTION)));
  char tooSmall[8];
  EXPECT_EQ(GetObjectW(dib, sizeof(tooSmall), tooSmall), 0);
  EXPECT_TRUE(DeleteObject(dib));
  EXPECT_FALSE(DeleteObject(dib));
  DIBSECTION ds;
  EXPECT_EQ(GetObjectW(dib, sizeof(ds), &ds), 0);
  int foreign = 0;
  EXPECT_FALSE(DeleteObject(&foreign));
  EXPECT_FALSE(DeleteObject(nullptr));
}

}  // namespace
