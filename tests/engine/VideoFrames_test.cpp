// Frames in presentation order with ffprobe's times (movie time, edit lists
// applied): B-frames reordered, every frame once, then the end of the track
// for good.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "VideoTestMovies.h"

using namespace videotest;

namespace {

struct Case {
  const char *name;
  const char *args;
};

class VideoFrames : public ::testing::TestWithParam<Case> {
 protected:
  enginetest::EngineEnvironment env;
};

TEST_P(VideoFrames, DisplayOrder_TimesMatchFfprobe_ThenEndForGood) {
  const std::string file = MakeMovie(GetParam().name, GetParam().args);
  ASSERT_FALSE(file.empty());
  const auto packets = Packets(file);
  ASSERT_FALSE(packets.empty());
  // Movie time, as ffprobe gives it with the edit list applied.
  std::vector<std::pair<LONGLONG, LONGLONG>> expected;
  for (const Packet &p : packets) expected.push_back({p.pts, p.duration});
  std::sort(expected.begin(), expected.end());

  Session s(file);
  ASSERT_EQ(s.Status(), 0);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  for (const GUID *subtype : {&MEDIASUBTYPE_YV12, &MEDIASUBTYPE_RGB24}) {
    video->ExtractionEnd();
    const LONG size = Start(video, *subtype);
    const auto frames = Drain(video, size);
    std::vector<std::pair<LONGLONG, LONGLONG>> got;
    for (const auto &f : frames) got.push_back({f.start, f.duration});
    EXPECT_EQ(got, expected);
    // After the last frame: -1, and again.
    std::vector<BYTE> buffer(static_cast<size_t>(size));
    for (int i = 0; i < 2; ++i) {
      LONG n = size;
      LONGLONG start = -5, duration = -5;
      EXPECT_EQ(video->GetNextSample(buffer.data(), &n, &start, &duration), -1);
    }
    EXPECT_EQ(video->Position(), video->MediaDuration()) << "the last sample ends at the media's duration";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, VideoFrames,
    ::testing::Values(Case{"avc_b.mp4",
                           "-f lavfi -i testsrc=size=160x120:rate=25 -t 3 -c:v libx264 -bf 3 -g 15 -pix_fmt yuv420p"},
                      Case{"mpeg4_b_odd.mov", "-f lavfi -i testsrc=size=321x241:rate=30 -t 2 -c:v mpeg4 -bf 2 -g 12"},
                      Case{"mpeg4_b.mov", "-f lavfi -i testsrc=size=176x144:rate=25 -t 2 -c:v mpeg4 -bf 2 -g 10"},
                      Case{"mjpeg.mov", "-f lavfi -i testsrc=size=160x120:rate=15 -t 2 -c:v mjpeg"},
                      Case{"dv.mov", "-f lavfi -i testsrc=size=720x576:rate=25 -t 1 -c:v dvvideo -pix_fmt yuv420p"}),
    [](const ::testing::TestParamInfo<Case> &info) {
      std::string n = info.param.name;
      for (char &c : n) {
        if (c == '.') c = '_';
      }
      return n;
    });

}  // namespace
