// Seeking: the sync search through earlier seconds down to time 0, landing
// on the first sample boundary at or after the target, and the time written
// back.
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
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

// What the track delivers when decoding starts at sample `first` (decode
// order): a queue of three, earliest presentation time out first.
std::vector<LONGLONG> DeliveryFrom(const std::vector<Packet> &packets, size_t first, long long origin) {
  std::vector<LONGLONG> queue, out;
  size_t next = first;
  for (;;) {
    while (queue.size() < 3 && next < packets.size()) queue.push_back(packets[next++].pts - origin);
    if (queue.empty()) return out;
    auto it = std::min_element(queue.begin(), queue.end());
    out.push_back(*it);
    queue.erase(it);
  }
}

TEST_F(VideoSeek, FiftyRandomTargets_LandOnTheFirstBoundaryAtOrAfter_WriteBackItsTime) {
  const std::string file = MakeMovie(
      "seek_avc.mp4", "-f lavfi -i testsrc=size=128x96:rate=25 -t 6 -c:v libx264 -bf 2 -g 20 -pix_fmt yuv420p");
  ASSERT_FALSE(file.empty());
  const auto packets = Packets(file);
  ASSERT_EQ(packets.size(), 150u);
  const long long origin = packets.front().dts;
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  const LONG size = Start(video, kSubtypeI420);
  const LONGLONG duration = video->GetDuration();

  std::mt19937 rng(2024);
  std::uniform_int_distribution<LONGLONG> pick(0, duration - 1);
  for (int i = 0; i < 50; ++i) {
    const LONGLONG target = i == 0 ? 0 : pick(rng);
    size_t first = 0;
    while (first < packets.size() && packets[first].dts - origin < target) ++first;
    const std::vector<LONGLONG> expected = DeliveryFrom(packets, first, origin);

    LONGLONG time = target;
    video->SetPosition(&time);
    if (expected.empty()) {
      // Inside the last sample: no boundary follows, nothing to deliver.
      EXPECT_EQ(time, target);
      EXPECT_TRUE(Drain(video, size, 1).empty());
      continue;
    }
    EXPECT_EQ(time, expected.front()) << "target " << target;
    // The next few frames delivered are exactly those.
    std::vector<LONGLONG> got;
    for (const auto &f : Drain(video, size, 4)) got.push_back(f.start);
    const std::vector<LONGLONG> head(expected.begin(), expected.begin() + std::min<size_t>(4, expected.size()));
    EXPECT_EQ(got, head) << "target " << target;
  }

  // Past the end: nothing to deliver and the time stays as asked.
  LONGLONG late = duration + 1000;
  video->SetPosition(&late);
  EXPECT_EQ(late, duration + 1000);
  EXPECT_TRUE(Drain(video, size).empty());
  // And back to the start delivers the whole track again.
  LONGLONG zero = 0;
  video->SetPosition(&zero);
  EXPECT_EQ(Drain(video, size).size(), 150u);
}

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
