// The filter object: loading a movie into pins, the durations cut to the
// shorter track, a second load, the file name and flags.
#include <tidepool/Tidepool.h>

#include <new>

#include "FilterTestSupport.h"
#include "filter/CMediaSampleGrabber.h"

namespace tp::test {
namespace {

class FilterObjectTest : public FilterTest {};

std::basic_string<WCHAR> CurFile(CTidepool *filter, HRESULT *hr) {
  LPOLESTR name = nullptr;
  *hr = filter->GetCurFile(&name, nullptr);
  std::basic_string<WCHAR> out = name ? name : TEXT("<null>");
  CoTaskMemFree(name);
  return out;
}

TEST_F(FilterObjectTest, Load_PinsInOrder_DurationsCutToShorterTrack_SecondLoadRefused) {
  const std::string file = AvMovie();
  const TrackOutput video = EngineOutput(file, true, MEDIASUBTYPE_RGB32);
  const REFERENCE_TIME videoDuration = ExactTime(video.duration, video.timeScale);
  TraceLines trace;
  ASSERT_TRUE(trace.Available());

  ASSERT_EQ(Load(file), S_OK);
  ASSERT_EQ(filter->GetPinCount(), 2);
  EXPECT_EQ(filter->GetPin(0), static_cast<CBasePin *>(Video()));
  EXPECT_EQ(filter->GetPin(1), static_cast<CBasePin *>(Audio()));
  for (CBasePin *pin : {static_cast<CBasePin *>(Video()), static_cast<CBasePin *>(Audio())}) {
    LONGLONG duration = 0, stop = 0;
    Seeking(pin)->GetDuration(&duration);
    Seeking(pin)->GetStopPosition(&stop);
    EXPECT_EQ(duration, videoDuration);
    EXPECT_EQ(stop, videoDuration);
  }
  const auto lines = trace.Take();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Adjust the audio duration(" + std::to_string(videoDuration) + ") "),
            lines.end());

  HRESULT hr = E_FAIL;
  EXPECT_EQ(CurFile(filter, &hr), Wide(file));
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(filter->Load(Wide(VideoOnlyMovie()).c_str(), nullptr), VFW_E_ALREADY_CONNECTED);
  EXPECT_EQ(CurFile(filter, &hr), Wide(file));
  EXPECT_EQ(filter->GetPinCount(), 2);
}

TEST_F(FilterObjectTest, Load_VideoOnly_OnePinNoAdjustment) {
  TraceLines trace;
  ASSERT_EQ(Load(VideoOnlyMovie()), S_OK);
  ASSERT_EQ(filter->GetPinCount(), 1);
  ASSERT_NE(Video(), nullptr);
  EXPECT_EQ(filter->GetAudioStream(), nullptr);
  for (const std::string &line : trace.Take()) EXPECT_EQ(line.find("Adjust the"), std::string::npos) << line;
}

TEST_F(FilterObjectTest, Load_EdgeCases) {
  ASSERT_EQ(Load(VideoOnlyMovie()), S_OK);  // makes the filter
  filter->JoinFilterGraph(nullptr, nullptr);
  filter->NonDelegatingRelease();
  HRESULT hr = E_FAIL;
  filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
  filter->NonDelegatingAddRef();

  EXPECT_EQ(CurFile(filter, &hr), std::basic_string<WCHAR>());
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(filter->GetCurFile(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(filter->GetMiscFlags(), static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE));

  // A null name changes nothing.
  EXPECT_EQ(filter->Load(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(CurFile(filter, &hr), std::basic_string<WCHAR>());

  // A file that does not open: its failure, no pins, the failure traced; a
  // later load is still accepted.
  TraceLines trace;
  const std::string missing = "/nonexistent/movie.mov";
  EXPECT_EQ(filter->Load(Wide(missing).c_str(), nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(filter->GetPinCount(), 0);
  const auto lines = trace.Take();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string &l) { return l.rfind("QT decoder initialized failed(", 0) == 0; }),
            lines.end());
  EXPECT_EQ(CurFile(filter, &hr), Wide(missing));
  EXPECT_EQ(filter->Load(Wide(VideoOnlyMovie()).c_str(), nullptr), S_OK);
  EXPECT_EQ(filter->GetPinCount(), 1);

  // The filter's faces.
  IFileSourceFilter *source = nullptr;
  ASSERT_EQ(filter->NonDelegatingQueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&source)), S_OK);
  source->Release();
  IAMFilterMiscFlags *flags = nullptr;
  ASSERT_EQ(filter->NonDelegatingQueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void **>(&flags)), S_OK);
  EXPECT_EQ(flags->GetMiscFlags(), 2u);
  flags->Release();
  CLSID clsid = {};
  filter->GetClassID(&clsid);
  EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Tidepool));
}

}  // namespace
}  // namespace tp::test

// Allocation failures: the filter's own objects are made with nothrow new,
// which this test binary replaces so that one size can be made to fail.
namespace {
thread_local std::size_t g_failSize = 0;
}  // namespace

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  if (size == g_failSize) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace tp::test {
namespace {

struct AllocationCase {
  const char *name;
  std::size_t size;
  HRESULT loadResult;
};

class AllocationFailure : public FilterTest, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(AllocationFailure, LoadOrGrabberQueryFailsCleanly) {
  const AllocationCase &c = GetParam();
  ASSERT_EQ(Load(VideoOnlyMovie()), S_OK);  // makes the filter; then a fresh one
  filter->JoinFilterGraph(nullptr, nullptr);
  filter->NonDelegatingRelease();
  HRESULT hr = E_FAIL;
  filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
  filter->NonDelegatingAddRef();

  void *grabber = &hr;
  EXPECT_EQ(filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, &grabber), E_NOINTERFACE);
  EXPECT_EQ(grabber, nullptr) << "no session yet";

  g_failSize = c.size;
  hr = filter->Load(Wide(AvMovie()).c_str(), nullptr);
  g_failSize = 0;
  EXPECT_EQ(hr, c.loadResult);
  if (c.loadResult != S_OK || c.size == sizeof(CQTAVExtraction)) {
    EXPECT_EQ(filter->GetPinCount(), 0);
    return;
  }
  ASSERT_EQ(filter->GetPinCount(), 2);
  g_failSize = c.size;
  grabber = &hr;
  EXPECT_EQ(filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, &grabber), E_OUTOFMEMORY);
  g_failSize = 0;
  EXPECT_EQ(grabber, nullptr);
  // Once it can be made, every query gives the same grabber.
  void *first = nullptr, *second = nullptr;
  ASSERT_EQ(filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, &first), S_OK);
  ASSERT_EQ(filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, &second), S_OK);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
}

INSTANTIATE_TEST_SUITE_P(Objects, AllocationFailure,
                         ::testing::Values(AllocationCase{"Session", sizeof(CQTAVExtraction), E_OUTOFMEMORY},
                                           AllocationCase{"VideoPin", sizeof(CVideoSourceStream), E_OUTOFMEMORY},
                                           AllocationCase{"AudioPin", sizeof(CAudioSourceStream), E_OUTOFMEMORY},
                                           AllocationCase{"Grabber", sizeof(CMediaSampleGrabber), S_OK}),
                         [](const ::testing::TestParamInfo<AllocationCase> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tp::test
