// Seeking state: defaults, capabilities, time formats, SetPositions
// arithmetic and flag rules, and the change notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include "FrameworkTestSupport.h"
#include "framework/CSourceSeeking.h"
#include "peers/SourceFixture.h"

namespace {

constexpr LONGLONG kSecond = 10'000'000;

// A seeking object with no outer unknown; records the change calls in order.
class RecordingSeeking : public CSourceSeeking {
 public:
  RecordingSeeking() : CSourceSeeking(TEXT("RecordingSeeking"), nullptr, nullptr, &m_lock) {}

  STDMETHODIMP SetRate(double rate) override {
    CAutoLock lock(m_pLock);
    m_dRateSeeking = rate;
    return S_OK;
  }

  std::vector<char> changes;  // 'S' start, 'T' stop, 'R' rate
  HRESULT startResult = S_OK;
  HRESULT stopResult = S_OK;
  bool lockFreeDuringChange = true;

  void SetDuration(REFERENCE_TIME d) { m_rtDuration = d; }

 protected:
  HRESULT ChangeStart() override {
    changes.push_back('S');
    NoteLockFree();
    return startResult;
  }
  HRESULT ChangeStop() override {
    changes.push_back('T');
    NoteLockFree();
    return stopResult;
  }
  HRESULT ChangeRate() override {
    changes.push_back('R');
    return S_OK;
  }

 private:
  // The lock must be free while a change runs: another thread must be able
  // to take it.
  void NoteLockFree() {
    bool taken = false;
    std::thread probe([&] {
      taken = m_lock.TryLock();
      if (taken) m_lock.Unlock();
    });
    probe.join();
    lockFreeDuringChange = lockFreeDuringChange && taken;
  }

  CCritSec m_lock;
};

class SeekingTest : public tp::test::FrameworkTest {
 protected:
  void SetUp() override {
    tp::test::FrameworkTest::SetUp();
    seeking = new RecordingSeeking;
    seeking->NonDelegatingAddRef();
  }
  void TearDown() override {
    seeking->NonDelegatingRelease();
    seeking = nullptr;
    tp::test::FrameworkTest::TearDown();
  }

  LONGLONG Start() {
    LONGLONG start = -1, stop = -1;
    EXPECT_EQ(S_OK, seeking->GetPositions(&start, &stop));
    return start;
  }
  LONGLONG Stop() {
    LONGLONG stop = -1;
    EXPECT_EQ(S_OK, seeking->GetStopPosition(&stop));
    return stop;
  }

  RecordingSeeking *seeking = nullptr;
};

TEST_F(SeekingTest, NewObject_ReportsDefaults) {
  LONGLONG duration = 0, stop = 0, start = -1, latest = 0, earliest = -1, preroll = -1;
  double rate = 0;
  DWORD caps = 0;
  EXPECT_EQ(S_OK, seeking->GetDuration(&duration));
  EXPECT_EQ(0x3FFFFFFFFFFFFFFFLL, duration);
  EXPECT_EQ(S_OK, seeking->GetStopPosition(&stop));
  EXPECT_EQ(0x3FFFFFFFFFFFFFFFLL, stop);
  EXPECT_EQ(S_OK, seeking->GetPositions(&start, nullptr));
  EXPECT_EQ(0, start);
  EXPECT_EQ(S_OK, seeking->GetRate(&rate));
  EXPECT_EQ(1.0, rate);
  EXPECT_EQ(S_OK, seeking->GetCapabilities(&caps));
  EXPECT_EQ(0x37u, caps);
  EXPECT_EQ(S_OK, seeking->GetAvailable(&earliest, &latest));
  EXPECT_EQ(0, earliest);
  EXPECT_EQ(0x3FFFFFFFFFFFFFFFLL, latest);
  EXPECT_EQ(S_OK, seeking->GetPreroll(&preroll));
  EXPECT_EQ(0, preroll);
}

TEST_F(SeekingTest, Capabilities_CheckedAgainstTheOfferedSet) {
  DWORD all = 0x37;
  EXPECT_EQ(S_OK, seeking->CheckCapabilities(&all));
  EXPECT_EQ(0x37u, all);
  DWORD current = AM_SEEKING_CanGetCurrentPos;
  EXPECT_EQ(S_FALSE, seeking->CheckCapabilities(&current));
  EXPECT_EQ(static_cast<DWORD>(AM_SEEKING_CanGetCurrentPos), current);  // in-out value untouched
  DWORD mixed = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanPlayBackwards;
  EXPECT_EQ(S_FALSE, seeking->CheckCapabilities(&mixed));
}

TEST_F(SeekingTest, TimeFormats_OnlyMediaTime) {
  GUID format = GUID_NULL;
  EXPECT_EQ(S_OK, seeking->IsFormatSupported(&TIME_FORMAT_MEDIA_TIME));
  EXPECT_EQ(S_FALSE, seeking->IsFormatSupported(&TIME_FORMAT_FRAME));
  EXPECT_EQ(S_FALSE, seeking->IsFormatSupported(nullptr));
  EXPECT_EQ(S_OK, seeking->IsUsingTimeFormat(&TIME_FORMAT_MEDIA_TIME));
  EXPECT_EQ(S_FALSE, seeking->IsUsingTimeFormat(&TIME_FORMAT_SAMPLE));
  EXPECT_EQ(S_OK, seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME));
  EXPECT_EQ(E_INVALIDARG, seeking->SetTimeFormat(&TIME_FORMAT_FRAME));
  EXPECT_EQ(S_OK, seeking->QueryPreferredFormat(&format));
  EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME));
  format = GUID_NULL;
  EXPECT_EQ(S_OK, seeking->GetTimeFormat(&format));
  EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME));
}

TEST_F(SeekingTest, ConvertTimeFormat_CopiesOnlyBetweenMediaTimes) {
  LONGLONG target = 0;
  EXPECT_EQ(S_OK, seeking->ConvertTimeFormat(&target, nullptr, 1234, nullptr));
  EXPECT_EQ(1234, target);
  EXPECT_EQ(S_OK, seeking->ConvertTimeFormat(&target, &TIME_FORMAT_MEDIA_TIME, -5, &TIME_FORMAT_MEDIA_TIME));
  EXPECT_EQ(-5, target);
  EXPECT_EQ(E_INVALIDARG, seeking->ConvertTimeFormat(&target, &TIME_FORMAT_FRAME, 7, nullptr));
  EXPECT_EQ(E_INVALIDARG, seeking->ConvertTimeFormat(&target, nullptr, 7, &TIME_FORMAT_BYTE));
  EXPECT_EQ(-5, target);
  EXPECT_EQ(E_POINTER, seeking->ConvertTimeFormat(nullptr, nullptr, 7, nullptr));
}

TEST_F(SeekingTest, NullOutPointers_GiveEPointer) {
  EXPECT_EQ(E_POINTER, seeking->GetCapabilities(nullptr));
  EXPECT_EQ(E_POINTER, seeking->CheckCapabilities(nullptr));
  EXPECT_EQ(E_POINTER, seeking->QueryPreferredFormat(nullptr));
  EXPECT_EQ(E_POINTER, seeking->GetTimeFormat(nullptr));
  EXPECT_EQ(E_POINTER, seeking->GetDuration(nullptr));
  EXPECT_EQ(E_POINTER, seeking->GetStopPosition(nullptr));
  EXPECT_EQ(E_POINTER, seeking->GetRate(nullptr));
  EXPECT_EQ(E_POINTER, seeking->GetPreroll(nullptr));
  EXPECT_EQ(S_OK, seeking->GetPositions(nullptr, nullptr));
  EXPECT_EQ(S_OK, seeking->GetAvailable(nullptr, nullptr));
  LONGLONG current = 0;
  EXPECT_EQ(E_NOTIMPL, seeking->GetCurrentPosition(&current));
  EXPECT_EQ(E_NOTIMPL, seeking->GetCurrentPosition(nullptr));
}

TEST_F(SeekingTest, SetPositions_AbsoluteStartOnly_CallsOnlyChangeStart) {
  LONGLONG start = 5 * kSecond;
  EXPECT_EQ(S_OK, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0));
  EXPECT_EQ(5 * kSecond, Start());
  EXPECT_EQ(0x3FFFFFFFFFFFFFFFLL, Stop());
  EXPECT_EQ(std::vector<char>{'S'}, seeking->changes);
  EXPECT_TRUE(seeking->lockFreeDuringChange);
}

TEST_F(SeekingTest, SetPositions_BothChange_StopFirstAndStartResultWins) {
  seeking->stopResult = E_FAIL;
  seeking->startResult = S_FALSE;
  LONGLONG start = 10 * kSecond, stop = 2 * kSecond;
  EXPECT_EQ(S_FALSE,
            seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_IncrementalPositioning));
  EXPECT_EQ((std::vector<char>{'T', 'S'}), seeking->changes);
  EXPECT_TRUE(seeking->lockFreeDuringChange);
  // Incremental stop counts from the new start.
  EXPECT_EQ(12 * kSecond, Stop());
}

TEST_F(SeekingTest, SetPositions_StopOnly_ReturnsChangeStopResult) {
  seeking->stopResult = E_OUTOFMEMORY;
  LONGLONG stop = 3 * kSecond;
  EXPECT_EQ(E_OUTOFMEMORY, seeking->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning));
  EXPECT_EQ(std::vector<char>{'T'}, seeking->changes);
  EXPECT_EQ(3 * kSecond, Stop());
}

TEST_F(SeekingTest, SetPositions_NothingToDo_ReturnsOkWithoutCalls) {
  EXPECT_EQ(S_OK, seeking->SetPositions(nullptr, 0, nullptr, 0));
  EXPECT_TRUE(seeking->changes.empty());
}

TEST_F(SeekingTest, SetPositions_RelativeMovesFromCurrentValues) {
  LONGLONG start = 4 * kSecond, stop = 8 * kSecond;
  ASSERT_EQ(S_OK, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning));
  LONGLONG back = -1 * kSecond, later = 2 * kSecond;
  ASSERT_EQ(S_OK, seeking->SetPositions(&back, AM_SEEKING_RelativePositioning, &later, AM_SEEKING_RelativePositioning));
  EXPECT_EQ(3 * kSecond, Start());
  EXPECT_EQ(10 * kSecond, Stop());
}

TEST_F(SeekingTest, SetPositions_NoRangeCheck_StoresValuesAsGiven) {
  seeking->SetDuration(5 * kSecond);
  LONGLONG start = 9 * kSecond, stop = -kSecond;
  ASSERT_EQ(S_OK, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning));
  EXPECT_EQ(9 * kSecond, Start());
  EXPECT_EQ(-kSecond, Stop());
}

TEST_F(SeekingTest, SetPositions_RejectsBadFlagsAndChangesNothing) {
  LONGLONG start = 7 * kSecond, stop = 9 * kSecond;
  // Stop side: only positioning bits.
  EXPECT_EQ(E_INVALIDARG, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                                AM_SEEKING_AbsolutePositioning | AM_SEEKING_NoFlush));
  EXPECT_EQ(E_INVALIDARG, seeking->SetPositions(nullptr, 0, &stop, AM_SEEKING_ReturnTime));
  EXPECT_EQ(E_INVALIDARG,
            seeking->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame));
  // Start side: absolute or relative only.
  EXPECT_EQ(E_INVALIDARG, seeking->SetPositions(&start, AM_SEEKING_IncrementalPositioning, nullptr, 0));
  EXPECT_EQ(E_INVALIDARG, seeking->SetPositions(&start, AM_SEEKING_SeekToKeyFrame, nullptr, 0));
  // Missing values.
  EXPECT_EQ(E_POINTER, seeking->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0));
  EXPECT_EQ(E_POINTER, seeking->SetPositions(nullptr, 0, nullptr, AM_SEEKING_AbsolutePositioning));

  EXPECT_EQ(0, Start());
  EXPECT_EQ(0x3FFFFFFFFFFFFFFFLL, Stop());
  EXPECT_TRUE(seeking->changes.empty());
}

// Every position of the base is a key frame; ReturnTime writes the start
// back, absolute also after a relative seek.
TEST_F(SeekingTest, SetPositions_KeyFrameAndReturnTime_WriteTheStartBack) {
  LONGLONG start = 6 * kSecond;
  EXPECT_EQ(S_OK, seeking->SetPositions(
                      &start, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime | AM_SEEKING_SeekToKeyFrame,
                      nullptr, 0));
  EXPECT_EQ(6 * kSecond, start);
  EXPECT_EQ(6 * kSecond, Start());
  LONGLONG step = kSecond;
  EXPECT_EQ(S_OK, seeking->SetPositions(&step, AM_SEEKING_RelativePositioning | AM_SEEKING_ReturnTime, nullptr, 0));
  EXPECT_EQ(7 * kSecond, step);
}

TEST_F(SeekingTest, SetPositions_RelativeOverflow_SaturatesInsteadOfWrapping) {
  LONGLONG start = std::numeric_limits<LONGLONG>::max() - 10;
  ASSERT_EQ(S_OK, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0));
  LONGLONG more = 1000;
  ASSERT_EQ(S_OK,
            seeking->SetPositions(&more, AM_SEEKING_RelativePositioning, &more, AM_SEEKING_IncrementalPositioning));
  EXPECT_EQ(std::numeric_limits<LONGLONG>::max(), Start());
  EXPECT_EQ(std::numeric_limits<LONGLONG>::max(), Stop());

  LONGLONG low = std::numeric_limits<LONGLONG>::min() + 1, less = -1000;
  ASSERT_EQ(S_OK, seeking->SetPositions(&low, AM_SEEKING_AbsolutePositioning, &low, AM_SEEKING_AbsolutePositioning));
  ASSERT_EQ(S_OK, seeking->SetPositions(&less, AM_SEEKING_RelativePositioning, &less, AM_SEEKING_RelativePositioning));
  EXPECT_EQ(std::numeric_limits<LONGLONG>::min(), Start());
  EXPECT_EQ(std::numeric_limits<LONGLONG>::min(), Stop());
}

TEST_F(SeekingTest, QueryInterface_AnswersSeekingAndUnknown) {
  IMediaSeeking *ms = nullptr;
  ASSERT_EQ(S_OK, seeking->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&ms)));
  EXPECT_EQ(static_cast<IMediaSeeking *>(seeking), ms);
  ms->Release();
  IUnknown *unk = nullptr;
  EXPECT_EQ(S_OK, seeking->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unk)));
  ASSERT_NE(nullptr, unk);
  unk->Release();
  IPin *pin = reinterpret_cast<IPin *>(1);
  EXPECT_EQ(E_NOINTERFACE, seeking->QueryInterface(IID_IPin, reinterpret_cast<void **>(&pin)));
  EXPECT_EQ(nullptr, pin);
}

TEST_F(SeekingTest, GetPositions_SeesStartAndStopOfOneUpdate) {
  // A writer keeps moving start and stop together (stop = start + 1); a
  // reader must never see the start of one update with the stop of another.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (LONGLONG k = 0; k < 5000; ++k) {
      LONGLONG start = k, stop = 1;
      seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_IncrementalPositioning);
    }
    done = true;
  });
  int torn = 0;
  while (!done) {
    LONGLONG start = 0, stop = 0;
    seeking->GetPositions(&start, &stop);
    if (stop != start + 1 && !(start == 0 && stop == 0x3FFFFFFFFFFFFFFFLL)) ++torn;
  }
  writer.join();
  EXPECT_EQ(0, torn);
}

// A pin that carries seeking the way the program's streams do: the seeking
// object's outer unknown is the pin, and the pin answers IMediaSeeking.
class SeekingStream : public tp::test::TestStream, public CSourceSeeking {
 public:
  SeekingStream(tp::test::TestSource *filter, HRESULT *phr)
      : tp::test::TestStream(filter, TEXT("Video"), phr),
        CSourceSeeking(TEXT("SeekingStream"), static_cast<IPin *>(this), phr, &m_seekLock) {}

  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return TestStream::QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return TestStream::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return TestStream::Release(); }
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override {
    if (ppv && IsEqualIID(riid, IID_IMediaSeeking)) return CSourceSeeking::NonDelegatingQueryInterface(riid, ppv);
    return TestStream::NonDelegatingQueryInterface(riid, ppv);
  }
  STDMETHODIMP SetRate(double rate) override {
    CAutoLock lock(&m_seekLock);
    m_dRateSeeking = rate;
    return S_OK;
  }

 protected:
  HRESULT ChangeStart() override { return S_OK; }
  HRESULT ChangeStop() override { return S_OK; }
  HRESULT ChangeRate() override { return S_OK; }

 private:
  CCritSec m_seekLock;
};

class SeekingPinTest : public tp::test::SourceFixture {};

TEST_F(SeekingPinTest, PinAnswersSeeking_AndSeekingCountsOnThePin) {
  HRESULT hr = E_FAIL;
  auto *stream = new SeekingStream(filter, &hr);
  ASSERT_EQ(S_OK, hr);
  IPin *pin = static_cast<IPin *>(static_cast<tp::test::TestStream *>(stream));

  IMediaSeeking *ms = nullptr;
  ASSERT_EQ(S_OK, pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&ms)));
  EXPECT_EQ(static_cast<IMediaSeeking *>(stream), ms);
  // Back from the seeking face to the pin, and the references land on the
  // filter that owns both.
  IPin *back = nullptr;
  ASSERT_EQ(S_OK, ms->QueryInterface(IID_IPin, reinterpret_cast<void **>(&back)));
  EXPECT_EQ(pin, back);
  EXPECT_EQ(4u, filter->AddRef());  // fixture + seeking + pin + this one
  filter->Release();
  back->Release();
  LONGLONG duration = 0;
  EXPECT_EQ(S_OK, ms->GetDuration(&duration));
  ms->Release();
}

}  // namespace
