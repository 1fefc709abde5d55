// Movie time and seeking: first frames at ffprobe's times (edit lists
// applied), seeks that deliver from the frame shown at the target on exactly
// what playback shows, the sync search through earlier seconds down to time
// 0.
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "VideoTestMovies.h"

using namespace videotest;

namespace {

class VideoSeek : public ::testing::Test {
 protected:
  enginetest::EngineEnvironment env;
};

// H.264 with 0 to 3 B-frames in both containers (x264 writes its composition
// delay as the first edit's media offset), and a picture that starts 0.5 s
// after the sound (an empty first edit); without an edit list the
// composition delay stays in the movie's times.
struct TimedMovie {
  const char *name;
  const char *args;
};

const TimedMovie kTimedMovies[] = {
    {"b0.mov", "-bf 0"},
    {"b0.mp4", "-bf 0"},
    {"b1.mov", "-bf 1"},
    {"b1.mp4", "-bf 1"},
    {"b2.mov", "-bf 2"},
    {"b2.mp4", "-bf 2"},
    {"b3.mov", "-bf 3 -b_strategy 0"},
    {"b3.mp4", "-bf 3 -b_strategy 0"},
    {"delayed.mov", "-bf 2 -vf setpts=PTS+0.5/TB"},
    {"no_edits.mp4", "-bf 2 -use_editlist 0"},
};

std::string MakeTimedMovie(const TimedMovie &m) {
  return MakeMovie(std::string("timed_") + m.name,
                   "-f lavfi -i testsrc=size=96x64:rate=30:duration=3 -f lavfi -i sine=r=48000:duration=3.5 "
                   "-c:v libx264 -g 24 -pix_fmt yuv420p -c:a aac " +
                       std::string(m.args));
}

// ffprobe's first decoded frame of each kind, in seconds (edit lists applied).
std::map<std::string, double> FirstFrameSeconds(const std::string &file) {
  std::map<std::string, double> first;
  std::istringstream in(Run("ffprobe -v error -show_entries frame=media_type,pts_time -of csv=p=0 " + Quote(file)));
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    const std::string kind = line.substr(0, comma);
    if (first.count(kind) == 0) first[kind] = std::atof(line.c_str() + comma + 1);
  }
  return first;
}

struct Picture {
  LONGLONG start = 0;
  size_t hash = 0;
  bool operator==(const Picture &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Picture &p) { return out << p.start; }

// Every frame left, with a hash of its bytes.
std::vector<Picture> Pictures(CQTVideoExtraction *video, LONG bufferSize) {
  std::vector<BYTE> buffer(static_cast<size_t>(bufferSize));
  std::vector<Picture> out;
  for (;;) {
    LONG size = bufferSize;
    LONGLONG start = 0, duration = 0;
    if (video->GetNextSample(buffer.data(), &size, &start, &duration) != 0) return out;
    const std::string_view bytes(reinterpret_cast<const char *>(buffer.data()), buffer.size());
    out.push_back({start, std::hash<std::string_view>{}(bytes)});
  }
}

class VideoMovieTime : public ::testing::TestWithParam<TimedMovie> {
 protected:
  enginetest::EngineEnvironment env;
};

TEST_P(VideoMovieTime, FirstFramesAtFfprobesTimes_SeeksDeliverWhatPlaybackShowsFromThere) {
  const std::string file = MakeTimedMovie(GetParam());
  ASSERT_FALSE(file.empty());
  const auto reference = FirstFrameSeconds(file);
  ASSERT_EQ(reference.count("video"), 1u);
  ASSERT_EQ(reference.count("audio"), 1u);
  Session s(file);
  ASSERT_EQ(s.Status(), 0);
  CQTVideoExtraction *video = s.Video();
  IMediaExtraction *audio = s.Audio();
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);

  const LONG size = Start(video, kSubtypeI420);
  const std::vector<Picture> playback = Pictures(video, size);
  ASSERT_GT(playback.size(), 80u);
  std::vector<BYTE> pcm(static_cast<size_t>(audio->GetBufferSize()));
  LONG pcmSize = static_cast<LONG>(pcm.size());
  LONGLONG audioStart = 0, audioDuration = 0;
  ASSERT_EQ(audio->GetNextSample(pcm.data(), &pcmSize, &audioStart, &audioDuration), 0);
  const double videoSeconds = static_cast<double>(playback.front().start) / video->GetTimeScale();
  const double audioSeconds = static_cast<double>(audioStart) / audio->GetTimeScale();
  EXPECT_NEAR(videoSeconds, reference.at("video"), 0.001);
  EXPECT_NEAR(audioSeconds, reference.at("audio"), 0.001);
  EXPECT_NEAR(videoSeconds - audioSeconds, reference.at("video") - reference.at("audio"), 0.001);
  for (size_t i = 1; i < playback.size(); ++i) ASSERT_LT(playback[i - 1].start, playback[i].start) << "display order";
  // The track lasts until its last frame has been shown.
  const LONGLONG end = playback.back().start + (playback[1].start - playback[0].start);
  EXPECT_EQ(video->GetDuration(), end);

  // From a target on: the frame shown there (the last one starting at or
  // before it, or the first frame), then every later one.
  std::mt19937 rng(2024);
  std::uniform_int_distribution<LONGLONG> pick(0, end - 1);
  for (int i = 0; i < 50; ++i) {
    const LONGLONG target = i == 0 ? 0 : i == 1 ? playback.front().start : pick(rng);
    size_t first = 0;
    while (first + 1 < playback.size() && playback[first + 1].start <= target) ++first;
    const std::vector<Picture> expected(playback.begin() + static_cast<ptrdiff_t>(first), playback.end());
    LONGLONG time = target;
    video->SetPosition(&time);
    EXPECT_EQ(time, expected.front().start) << "target " << target;
    EXPECT_EQ(Pictures(video, size), expected) << "target " << target;
  }
  // Past the end: nothing to deliver and the time stays as asked.
  LONGLONG late = end + 1000;
  video->SetPosition(&late);
  EXPECT_EQ(late, end + 1000);
  EXPECT_TRUE(Pictures(video, size).empty());
}

INSTANTIATE_TEST_SUITE_P(X264, VideoMovieTime, ::testing::ValuesIn(kTimedMovies),
                         [](const ::testing::TestParamInfo<TimedMovie> &info) {
                           std::string n = info.param.name;
                           for (char &c : n) {
                             if (c == '.') c = '_';
                           }
                           return n;
                         });

TEST_F(VideoSeek, SyncSearch_GoesBackSecondBySecond_StopsAtZero) {
  // Key frames at 0, 3 and 6 s only.
  const std::string file =
      MakeMovie("sparse_keys.mp4",
                "-f lavfi -i testsrc=size=64x48:rate=25 -t 8 -c:v libx264 -bf 0 -g 75 -keyint_min 75 "
                "-sc_threshold 0 -pix_fmt yuv420p");
  ASSERT_FALSE(file.empty());
  const auto packets = Packets(file);
  std::vector<long long> keys;
  for (const Packet &p : packets) {
    if (p.key) keys.push_back(p.dts - packets.front().dts);
  }
  ASSERT_EQ(keys.size(), 3u);
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  Start(video, MEDIASUBTYPE_YUY2);
  const LONGLONG second = video->GetTimeScale();
  EXPECT_EQ(video->FindSyncSampleForTesting(5 * second), keys[1]) << "two seconds back";
  EXPECT_EQ(video->FindSyncSampleForTesting(keys[1] + second / 2), keys[1]);
  EXPECT_EQ(video->FindSyncSampleForTesting(second * 5 / 2), keys[0]) << "three windows back, the last cut at 0";
  EXPECT_EQ(video->FindSyncSampleForTesting(0), keys[0]);
  EXPECT_EQ(video->FindSyncSampleForTesting(7 * second + second / 2), keys[2]);
}

TEST_F(VideoSeek, NoSyncSampleAnywhereBefore_SearchEndsAtZero_SeekStillAnswers) {
  const std::string clean =
      MakeMovie("one_key.mp4",
                "-f lavfi -i testsrc=size=64x48:rate=25 -t 4 -c:v libx264 -bf 0 -g 500 -sc_threshold 0 "
                "-pix_fmt yuv420p");
  ASSERT_FALSE(clean.empty());
  // Point the sync table at the last sample only: no window before a
  // target in the middle holds a sync sample.
  std::ifstream in(clean, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t stss = bytes.find("stss");
  ASSERT_NE(stss, std::string::npos);
  auto be32 = [&](size_t at) {
    return (static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 24) |
           (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
           (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 3]));
  };
  const unsigned count = be32(stss + 8);
  ASSERT_GE(count, 1u);
  for (unsigned i = 0; i < count; ++i) {
    const size_t at = stss + 12 + 4 * i;
    bytes[at] = 0;
    bytes[at + 1] = 0;
    bytes[at + 2] = 0;
    bytes[at + 3] = 100;  // sample 100 of 100
  }
  const std::string file = env.WriteFile("late_key.mp4", bytes);
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  const LONG size = Start(video, MEDIASUBTYPE_RGB565);
  const LONGLONG second = video->GetTimeScale();
  const LONGLONG target = 2 * second + 7;
  EXPECT_EQ(video->FindSyncSampleForTesting(target), target);
  // Decoding then starts at the target itself, with the sample that holds it.
  LONGLONG time = target;
  video->SetPosition(&time);
  EXPECT_LE(time, target);
  EXPECT_GT(time, target - second / 25);
  EXPECT_FALSE(Drain(video, size).empty());
}

TEST_F(VideoSeek, MoveForwardByZero_DropsTheQueue_DeliveryGoesOnAfterIt) {
  const std::string file = MakeMovie("mjpeg_move.mov", "-f lavfi -i testsrc=size=64x48:rate=10 -t 2 -c:v mjpeg");
  ASSERT_FALSE(file.empty());
  const auto packets = Packets(file);
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  const LONG size = Start(video, MEDIASUBTYPE_RGB555);
  LONGLONG delta = 0;
  EXPECT_EQ(video->MoveForward(&delta), 0);
  const auto frames = Drain(video, size);
  ASSERT_EQ(frames.size(), packets.size() - 3);
  EXPECT_EQ(frames.front().start, packets[3].pts - packets.front().dts);
  delta = video->GetTimeScale();
  LONGLONG zero = 0;
  video->SetPosition(&zero);
  EXPECT_EQ(video->MoveForward(&delta), 0);
  EXPECT_EQ(Drain(video, size).size(), packets.size() - 13);
}

}  // namespace
