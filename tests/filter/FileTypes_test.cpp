// A movie of every registered extension loaded into the filter: its pins in
// order, both durations cut to the shorter track with the cut traced, the
// path kept, a second load refused.
#include <algorithm>

#include "FilterTestSupport.h"
#include "support/MovieFileTypes.h"

namespace tp::test {
namespace {

class LoadFileTypes : public FilterTest, public ::testing::WithParamInterface<MovieFileType> {};

// A track's duration as a pin states it: media units in 100-ns units.
REFERENCE_TIME PinDuration(IMediaExtraction *track) {
  const LONG scale = track->GetTimeScale();
  return scale > 0 ? ExactTime(track->GetDuration(), scale) : 0;
}

TEST_P(LoadFileTypes, PinsInOrder_DurationsCut_PathKept_SecondLoadRefused) {
  const MovieFileType &t = GetParam();
  ff::TempDir dir;
  const std::string path = dir.File(std::string("movie") + t.ext);
  ASSERT_TRUE(t.make(path)) << "could not make " << path;
  REFERENCE_TIME video = -1, audio = -1;
  {
    CQTAVExtraction session(Wide(path).c_str());
    ASSERT_EQ(session.GetStatus(), 0);
    if (session.GetVideoExtraction()) video = PinDuration(session.GetVideoExtraction());
    if (session.GetAudioExtraction()) audio = PinDuration(session.GetAudioExtraction());
  }
  ASSERT_EQ(video >= 0, t.video);
  ASSERT_EQ(audio >= 0, t.sound);

  TraceLines trace;
  ASSERT_EQ(Load(path), S_OK);
  std::vector<std::basic_string<WCHAR>> names, expected;
  for (int i = 0; i < filter->GetPinCount(); ++i) names.push_back(filter->GetPin(i)->Name());
  if (t.video) expected.push_back(TEXT("Video"));
  if (t.sound) expected.push_back(TEXT("Audio"));
  EXPECT_EQ(names, expected);

  const REFERENCE_TIME shorter = t.video && t.sound ? std::min(video, audio) : std::max(video, audio);
  for (int i = 0; i < filter->GetPinCount(); ++i) {
    LONGLONG duration = 0, stop = 0;
    Seeking(filter->GetPin(i))->GetDuration(&duration);
    Seeking(filter->GetPin(i))->GetStopPosition(&stop);
    EXPECT_EQ(duration, shorter) << i;
    EXPECT_EQ(stop, shorter) << i;
  }
  std::vector<std::string> adjustments;
  for (const std::string &line : trace.Take()) {
    if (line.rfind("Adjust the ", 0) == 0) adjustments.push_back(line);
  }
  std::vector<std::string> expectedAdjustments;
  if (t.video && t.sound && video != audio) {
    expectedAdjustments.push_back(
        std::string(video < audio ? "Adjust the audio duration(" : "Adjust the video duration(") +
        std::to_string(static_cast<int>(shorter)) + ") ");
  }
  EXPECT_EQ(adjustments, expectedAdjustments);

  LPOLESTR name = nullptr;
  ASSERT_EQ(filter->GetCurFile(&name, nullptr), S_OK);
  EXPECT_EQ(std::basic_string<WCHAR>(name), Wide(path));
  CoTaskMemFree(name);
  EXPECT_EQ(filter->Load(Wide(path).c_str(), nullptr), VFW_E_ALREADY_CONNECTED);
  EXPECT_EQ(filter->GetPinCount(), static_cast<int>(expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Extensions, LoadFileTypes, ::testing::ValuesIn(MovieFileTypes()),
                         [](const ::testing::TestParamInfo<MovieFileType> &info) {
                           return std::string(info.param.ext + 1);
                         });

}  // namespace
}  // namespace tp::test
