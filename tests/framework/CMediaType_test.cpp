// Media type records: ownership of format blocks and pUnk through copy,
// assign, create and free; comparison and partial matching; format buffer
// allocation including when the task allocator fails.
#include <windows.h>
#include <dshow.h>

#include <cstring>

#include <gtest/gtest.h>

#include "FilterTestDoubles.h"
#include "FrameworkTestSupport.h"
#include "framework/CMediaType.h"

namespace tp::test {
namespace {

// Lets `allowed` allocations through, then fails every one.
int g_allocationsAllowed = 0;
LPVOID STDAPICALLTYPE LimitedAlloc(SIZE_T size) {
  if (g_allocationsAllowed <= 0) return nullptr;
  --g_allocationsAllowed;
  return CoTaskMemAlloc(size);
}

class CMediaTypeTest : public FrameworkTest {
 protected:
  void TearDown() override {
    tp::framework::SetMediaTypeAllocatorForTesting(nullptr);
    FrameworkTest::TearDown();
  }
  void FailAllocationsAfter(int n) {
    g_allocationsAllowed = n;
    tp::framework::SetMediaTypeAllocatorForTesting(LimitedAlloc);
  }
  static CMediaType VideoType(BYTE fill, ULONG length) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_RGB32);
    mt.SetFormatType(&FORMAT_VideoInfo);
    BYTE *p = mt.AllocFormatBuffer(length);
    std::memset(p, fill, length);
    return mt;
  }
};

TEST_F(CMediaTypeTest, EmptyRecord_IsZeroButFixedSizeOne) {
  CMediaType mt;
  EXPECT_EQ(mt.majortype, GUID_NULL);
  EXPECT_EQ(mt.formattype, GUID_NULL);
  EXPECT_TRUE(mt.bFixedSizeSamples);
  EXPECT_EQ(mt.lSampleSize, 1u);
  EXPECT_EQ(mt.cbFormat, 0u);
  EXPECT_EQ(mt.pbFormat, nullptr);
  EXPECT_EQ(mt.pUnk, nullptr);
  EXPECT_TRUE(mt.IsPartiallySpecified());
}

TEST_F(CMediaTypeTest, CopiesOwnTheirFormatAndCountTheUnknown) {
  CountingUnknown unk;
  CMediaType a = VideoType(7, 88);
  a.pUnk = &unk;
  unk.AddRef();
  {
    CMediaType b(a);
    EXPECT_NE(b.pbFormat, a.pbFormat);
    EXPECT_EQ(std::memcmp(b.pbFormat, a.pbFormat, 88), 0);
    EXPECT_EQ(unk.refs.load(), 2);
    CMediaType c;
    c = b;
    EXPECT_EQ(unk.refs.load(), 3);
    c = c;  // assigning to itself keeps everything
    EXPECT_EQ(unk.refs.load(), 3);
    ASSERT_NE(c.pbFormat, nullptr);
    EXPECT_EQ(c.pbFormat[87], 7);

    AM_MEDIA_TYPE *created = CreateMediaType(&b);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(unk.refs.load(), 4);
    DeleteMediaType(created);
    DeleteMediaType(nullptr);
  }
  EXPECT_EQ(unk.refs.load(), 1);
  a.ResetFormatBuffer();
  EXPECT_EQ(a.cbFormat, 0u);
}

TEST_F(CMediaTypeTest, Equality_LooksAtTypesAndFormatBytesOnly) {
  CMediaType a = VideoType(1, 16), b = VideoType(1, 16);
  a.SetSampleSize(100);
  b.SetSampleSize(200);
  b.SetTemporalCompression(TRUE);
  EXPECT_TRUE(a == b);
  b.pbFormat[15] = 2;
  EXPECT_FALSE(a == b);
  CMediaType c = VideoType(1, 17);
  EXPECT_FALSE(a == c);
  c = a;
  c.SetSubtype(&MEDIASUBTYPE_YUY2);
  EXPECT_TRUE(a != c);
}

TEST_F(CMediaTypeTest, MatchesPartial_TreatsEmptyFieldsAsWildcards) {
  CMediaType full = VideoType(3, 8);
  CMediaType majorOnly(&MEDIATYPE_Video);
  EXPECT_TRUE(full.MatchesPartial(&majorOnly));
  CMediaType audio(&MEDIATYPE_Audio);
  EXPECT_FALSE(full.MatchesPartial(&audio));
  CMediaType withFormat = VideoType(3, 8);
  withFormat.SetSubtype(&GUID_NULL);
  EXPECT_TRUE(full.MatchesPartial(&withFormat));
  withFormat.pbFormat[0] = 4;
  EXPECT_FALSE(full.MatchesPartial(&withFormat));
  EXPECT_TRUE(majorOnly.IsPartiallySpecified());
  EXPECT_FALSE(full.IsPartiallySpecified());
}

TEST_F(CMediaTypeTest, SetSampleSize_ZeroMeansVariableAndKeepsTheSize) {
  CMediaType mt;
  mt.SetSampleSize(4096);
  EXPECT_EQ(mt.GetSampleSize(), 4096u);
  mt.SetSampleSize(0);
  EXPECT_FALSE(mt.IsFixedSize());
  EXPECT_EQ(mt.lSampleSize, 4096u);
  EXPECT_EQ(mt.GetSampleSize(), 0u);
}

TEST_F(CMediaTypeTest, AllocFormatBuffer_OnFailureKeepsALargeEnoughOldBlock) {
  CMediaType mt = VideoType(9, 200);
  BYTE *old = mt.pbFormat;
  EXPECT_EQ(mt.AllocFormatBuffer(200), old);  // same length: same block
  FailAllocationsAfter(0);
  EXPECT_EQ(mt.AllocFormatBuffer(100), old);
  EXPECT_EQ(mt.cbFormat, 200u);
  EXPECT_EQ(mt.AllocFormatBuffer(300), nullptr);
  EXPECT_EQ(mt.cbFormat, 200u);
  EXPECT_EQ(mt.pbFormat, old);
  BYTE data[50] = {5};
  EXPECT_TRUE(mt.SetFormat(data, 50));  // lands in the old, larger block
  EXPECT_EQ(mt.pbFormat[0], 5);
  EXPECT_FALSE(mt.SetFormat(data, 500));
  tp::framework::SetMediaTypeAllocatorForTesting(nullptr);
  EXPECT_TRUE(mt.SetFormat(data, 50));
  EXPECT_EQ(mt.cbFormat, 50u);
  EXPECT_FALSE(mt.SetFormat(nullptr, 10));
}

TEST_F(CMediaTypeTest, FailedCopy_LeavesNoFormatAndTakesNoReference) {
  CountingUnknown unk;
  CMediaType src = VideoType(1, 64);
  src.pUnk = &unk;
  unk.AddRef();
  FailAllocationsAfter(0);
  {
    AM_MEDIA_TYPE target;
    std::memset(&target, 0xEE, sizeof target);
    EXPECT_EQ(CopyMediaType(&target, &src), E_OUTOFMEMORY);
    EXPECT_EQ(target.cbFormat, 0u);
    EXPECT_EQ(target.pbFormat, nullptr);
    // Freeing the failed copy must not release a reference it never took.
    FreeMediaType(target);
    EXPECT_EQ(unk.refs.load(), 1);

    CMediaType assigned;
    EXPECT_EQ(assigned.Set(src), E_OUTOFMEMORY);
    EXPECT_EQ(assigned.pbFormat, nullptr);
  }
  EXPECT_EQ(unk.refs.load(), 1);
  FailAllocationsAfter(1);                    // the record, but not its format block
  EXPECT_EQ(CreateMediaType(&src), nullptr);  // nothing leaks (ASan)
  EXPECT_EQ(unk.refs.load(), 1);
  src.pUnk = nullptr;
  unk.Release();
}

TEST_F(CMediaTypeTest, CorruptRecords_AreRefusedNotRead) {
  AM_MEDIA_TYPE liar{};
  liar.majortype = MEDIATYPE_Video;
  liar.cbFormat = 1 << 20;  // a length without a block
  AM_MEDIA_TYPE target{};
  EXPECT_TRUE(FAILED(CopyMediaType(&target, &liar)));
  EXPECT_EQ(target.pbFormat, nullptr);
  EXPECT_EQ(CreateMediaType(&liar), nullptr);
  EXPECT_EQ(CreateMediaType(nullptr), nullptr);
  EXPECT_EQ(CopyMediaType(nullptr, &liar), E_POINTER);
  CMediaType a, b;
  b.cbFormat = 4;  // equal lengths, one block missing: not equal, no read
  a.cbFormat = 4;
  a.pbFormat = nullptr;
  EXPECT_FALSE(a == b);
  a.cbFormat = 0;
  b.cbFormat = 0;
}

}  // namespace
}  // namespace tp::test
