// The caller-buffer media sample: lengths, times, flags, media type, return
// to an allocator on the last release, and the properties record.
#include <windows.h>
#include <dshow.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "FrameworkTestSupport.h"
#include "framework/CMediaSample.h"
#include "framework/CMediaType.h"

namespace tp::test {
namespace {

// Records ReleaseBuffer calls; everything else is unused.
class ReturnRecorder : public IMemAllocator {
 public:
  STDMETHODIMP QueryInterface(REFIID, void **ppv) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *, ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
  STDMETHODIMP Commit() override { return E_NOTIMPL; }
  STDMETHODIMP Decommit() override { return E_NOTIMPL; }
  STDMETHODIMP GetBuffer(IMediaSample **, REFERENCE_TIME *, REFERENCE_TIME *, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseBuffer(IMediaSample *pBuffer) override {
    returned.push_back(pBuffer);
    return S_OK;
  }
  std::vector<IMediaSample *> returned;
};

CMediaType AudioType() {
  CMediaType mt(&MEDIATYPE_Audio);
  mt.SetSubtype(&MEDIASUBTYPE_PCM);
  mt.SetFormatType(&FORMAT_WaveFormatEx);
  WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  mt.SetFormat(reinterpret_cast<BYTE *>(&wfx), sizeof wfx);
  return mt;
}

using CMediaSampleTest = FrameworkTest;

TEST_F(CMediaSampleTest, Lengths_StayInsideTheBuffer) {
  BYTE buffer[64];
  HRESULT hr = S_OK;
  CMediaSample s(TEXT("s"), nullptr, &hr, buffer, 64);
  EXPECT_EQ(hr, S_OK);
  BYTE *p = nullptr;
  ASSERT_EQ(s.GetPointer(&p), S_OK);
  EXPECT_EQ(p, buffer);
  EXPECT_EQ(s.GetPointer(nullptr), E_POINTER);
  EXPECT_EQ(s.GetSize(), 64);
  EXPECT_EQ(s.GetActualDataLength(), 64);
  EXPECT_EQ(s.SetActualDataLength(64), S_OK);
  EXPECT_EQ(s.SetActualDataLength(65), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(s.SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(s.GetActualDataLength(), 64);

  CMediaSample negative(TEXT("n"), nullptr, &hr, buffer, -5);
  EXPECT_EQ(hr, VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(negative.GetSize(), 0);
  EXPECT_EQ(negative.SetActualDataLength(1), VFW_E_BUFFER_OVERFLOW);
}

TEST_F(CMediaSampleTest, Times_AndMediaTimes) {
  CMediaSample s(TEXT("s"), nullptr, nullptr);
  REFERENCE_TIME a = 0, b = 0;
  EXPECT_EQ(s.GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
  REFERENCE_TIME start = 1000, stop = 2000;
  s.SetTime(&start, nullptr);
  EXPECT_EQ(s.GetTime(&a, &b), VFW_S_NO_STOP_TIME);
  EXPECT_EQ(a, 1000);
  EXPECT_EQ(b, 1001);
  s.SetTime(&start, &stop);
  EXPECT_EQ(s.GetTime(&a, &b), S_OK);
  EXPECT_EQ(b, 2000);
  s.SetTime(nullptr, &stop);
  EXPECT_EQ(s.GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(s.GetTime(nullptr, &b), E_POINTER);

  LONGLONG ms = 0, me = 0;
  EXPECT_EQ(s.GetMediaTime(&ms, &me), VFW_E_MEDIA_TIME_NOT_SET);
  LONGLONG mStart = 5'000'000'000LL, mEnd = 5'000'000'100LL;
  EXPECT_EQ(s.SetMediaTime(&mStart, nullptr), E_POINTER);
  ASSERT_EQ(s.SetMediaTime(&mStart, &mEnd), S_OK);
  ASSERT_EQ(s.GetMediaTime(&ms, &me), S_OK);
  EXPECT_EQ(ms, mStart);
  EXPECT_EQ(me, mEnd);
  s.SetMediaTime(nullptr, nullptr);
  EXPECT_EQ(s.GetMediaTime(&ms, &me), VFW_E_MEDIA_TIME_NOT_SET);
}

TEST_F(CMediaSampleTest, LastRelease_ClearsTheSampleAndReturnsIt) {
  ReturnRecorder allocator;
  BYTE buffer[16];
  CMediaSample s(TEXT("s"), &allocator, nullptr, buffer, 16);
  CMediaType type = AudioType();
  s.AddRef();
  s.SetSyncPoint(TRUE);
  s.SetDiscontinuity(TRUE);
  ASSERT_EQ(s.SetMediaType(&type), S_OK);
  IMediaSample2 *two = nullptr;
  ASSERT_EQ(s.QueryInterface(IID_IMediaSample2, reinterpret_cast<void **>(&two)), S_OK);
  EXPECT_EQ(two->Release(), 1u);
  EXPECT_TRUE(allocator.returned.empty());
  EXPECT_EQ(s.Release(), 0u);
  ASSERT_EQ(allocator.returned.size(), 1u);
  EXPECT_EQ(allocator.returned[0], static_cast<IMediaSample *>(&s));
  EXPECT_EQ(s.IsSyncPoint(), S_FALSE);
  EXPECT_EQ(s.IsDiscontinuity(), S_FALSE);
  AM_MEDIA_TYPE *pmt = reinterpret_cast<AM_MEDIA_TYPE *>(1);
  EXPECT_EQ(s.GetMediaType(&pmt), S_FALSE);
  EXPECT_EQ(pmt, nullptr);
  // An unbalanced release neither wraps the count nor returns it again.
  EXPECT_EQ(s.Release(), 0u);
  EXPECT_EQ(allocator.returned.size(), 1u);
  EXPECT_EQ(s.AddRef(), 1u);
  s.Release();
}

TEST_F(CMediaSampleTest, MediaType_IsACopyEachWay) {
  CMediaSample s(TEXT("s"), nullptr, nullptr);
  CMediaType type = AudioType();
  ASSERT_EQ(s.SetMediaType(&type), S_OK);
  type.pbFormat[0] = 0x55;  // the sample's copy is unaffected
  AM_MEDIA_TYPE *got = nullptr;
  ASSERT_EQ(s.GetMediaType(&got), S_OK);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(got->pbFormat)->wFormatTag, WAVE_FORMAT_PCM);
  DeleteMediaType(got);
  ASSERT_EQ(s.SetMediaType(nullptr), S_OK);
  EXPECT_EQ(s.GetMediaType(&got), S_FALSE);
}

TEST_F(CMediaSampleTest, Properties_RoundTripAndPartialRecords) {
  BYTE buffer[32];
  CMediaSample s(TEXT("s"), nullptr, nullptr, buffer, 32);
  REFERENCE_TIME start = 10, stop = 20;
  s.SetTime(&start, &stop);
  s.SetSyncPoint(TRUE);
  LONGLONG ms = 1, me = 2;
  s.SetMediaTime(&ms, &me);

  AM_SAMPLE2_PROPERTIES p;
  ASSERT_EQ(s.GetProperties(sizeof p, reinterpret_cast<BYTE *>(&p)), S_OK);
  EXPECT_EQ(p.cbData, sizeof p);
  EXPECT_EQ(p.dwSampleFlags, static_cast<DWORD>(AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID));
  EXPECT_EQ(p.tStart, 10);
  EXPECT_EQ(p.tStop, 20);
  EXPECT_EQ(p.pbBuffer, buffer);
  EXPECT_EQ(p.cbBuffer, 32);
  EXPECT_EQ(p.pMediaType, nullptr);
  EXPECT_EQ(s.GetProperties(0, nullptr), S_OK);
  EXPECT_EQ(s.GetProperties(8, nullptr), E_POINTER);

  // Only the first 12 bytes: size, type-specific flags and sample flags.
  BYTE small[12];
  std::memset(small, 0xCC, sizeof small);
  ASSERT_EQ(s.GetProperties(sizeof small, small), S_OK);

  p.dwSampleFlags = AM_SAMPLE_PREROLL | AM_SAMPLE_TIMEVALID;
  p.tStart = 30;
  p.lActual = 8;
  p.dwStreamId = 3;
  // From an unaligned position in a byte buffer.
  std::vector<BYTE> raw(sizeof p + 1);
  std::memcpy(raw.data() + 1, &p, sizeof p);
  ASSERT_EQ(s.SetProperties(sizeof p, raw.data() + 1), S_OK);
  EXPECT_EQ(s.IsPreroll(), S_OK);
  EXPECT_EQ(s.IsSyncPoint(), S_FALSE);
  EXPECT_EQ(s.GetActualDataLength(), 8);
  REFERENCE_TIME a, b;
  EXPECT_EQ(s.GetTime(&a, &b), VFW_S_NO_STOP_TIME);
  EXPECT_EQ(a, 30);
  EXPECT_EQ(s.GetMediaTime(&ms, &me), S_OK) << "media time validity is the sample's own";

  EXPECT_EQ(s.SetProperties(3, nullptr), S_OK);
  EXPECT_EQ(s.SetProperties(8, nullptr), E_POINTER);
  EXPECT_EQ(s.SetProperties(sizeof p + 1, raw.data()), E_INVALIDARG);
}

TEST_F(CMediaSampleTest, SetProperties_RefusesBadRecordsWithoutChangingAnything) {
  BYTE buffer[32], other[32];
  CMediaSample s(TEXT("s"), nullptr, nullptr, buffer, 32);
  s.SetActualDataLength(4);
  AM_SAMPLE2_PROPERTIES good;
  ASSERT_EQ(s.GetProperties(sizeof good, reinterpret_cast<BYTE *>(&good)), S_OK);

  auto refused = [&](AM_SAMPLE2_PROPERTIES p, DWORD size, HRESULT expected) {
    EXPECT_EQ(s.SetProperties(size, reinterpret_cast<BYTE *>(&p)), expected);
    EXPECT_EQ(s.GetActualDataLength(), 4);
    EXPECT_EQ(s.IsSyncPoint(), S_FALSE);
  };
  AM_SAMPLE2_PROPERTIES p = good;
  p.dwSampleFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_ENDOFSTREAM;
  refused(p, sizeof p, E_INVALIDARG);
  p = good;
  p.pbBuffer = other;
  refused(p, sizeof p, E_INVALIDARG);
  p = good;
  p.cbBuffer = 16;
  refused(p, sizeof p, E_INVALIDARG);
  p = good;
  p.lActual = 33;  // past the buffer
  p.dwSampleFlags = AM_SAMPLE_SPLICEPOINT;
  refused(p, sizeof p, E_INVALIDARG);
  p.lActual = -1;
  refused(p, sizeof p, E_INVALIDARG);
  p = good;
  p.cbData = sizeof p + 8;
  refused(p, sizeof p, E_INVALIDARG);
  // Time validity asked for by a record too short to carry the times.
  p = good;
  p.cbData = offsetof(AM_SAMPLE2_PROPERTIES, tStart);
  p.dwSampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_SPLICEPOINT;
  refused(p, p.cbData, E_INVALIDARG);
  // A type change without a type.
  p = good;
  p.dwSampleFlags = AM_SAMPLE_TYPECHANGED | AM_SAMPLE_SPLICEPOINT;
  p.pMediaType = nullptr;
  refused(p, sizeof p, E_POINTER);
}

TEST_F(CMediaSampleTest, SetProperties_TypeChangedFlagFollowsTheTypeHeld) {
  CMediaSample s(TEXT("s"), nullptr, nullptr);
  CMediaType type = AudioType();
  AM_SAMPLE2_PROPERTIES p;
  ASSERT_EQ(s.GetProperties(sizeof p, reinterpret_cast<BYTE *>(&p)), S_OK);
  p.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
  p.pMediaType = &type;
  ASSERT_EQ(s.SetProperties(sizeof p, reinterpret_cast<BYTE *>(&p)), S_OK);
  AM_SAMPLE2_PROPERTIES back;
  ASSERT_EQ(s.GetProperties(sizeof back, reinterpret_cast<BYTE *>(&back)), S_OK);
  ASSERT_NE(back.pMediaType, nullptr);
  EXPECT_NE(back.pMediaType, static_cast<AM_MEDIA_TYPE *>(&type));
  EXPECT_TRUE(back.dwSampleFlags & AM_SAMPLE_TYPECHANGED);
  p.dwSampleFlags = 0;
  ASSERT_EQ(s.SetProperties(sizeof p, reinterpret_cast<BYTE *>(&p)), S_OK);
  ASSERT_EQ(s.GetProperties(sizeof back, reinterpret_cast<BYTE *>(&back)), S_OK);
  EXPECT_EQ(back.pMediaType, nullptr);
  EXPECT_FALSE(back.dwSampleFlags & AM_SAMPLE_TYPECHANGED);
}

}  // namespace
}  // namespace tp::test
