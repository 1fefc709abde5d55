#include "container/MovieModel.h"

#include <gtest/gtest.h>

namespace tp::qt {
namespace {

// Media at 1000 units/s with ten samples of 100 units; the movie at 600/s.
Track TenSampleTrack(uint32_t handler = kVideoMediaType) {
  Track t;
  t.media.handlerType = handler;
  t.media.timeScale = 1000;
  t.media.duration = 1000;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(t.media.samples.AppendSample(100, 0, 10, uint64_t(i) * 10, true));
  EXPECT_EQ(t.media.samples.Finalize(), kNoErr);
  t.edits = {{600, 0, kFixed1}};
  return t;
}

// What the engine does to count video samples: first time with the edge
// accepted, then strictly later times until there are none.
std::vector<int64_t> InterestingTimes(const Movie &m, uint32_t type) {
  std::vector<int64_t> times;
  const uint32_t types[] = {type};
  int64_t t = 0;
  bool edge = true;
  while (m.NextInterestingTime(types, t, edge, false, &t) && times.size() < 100) {
    times.push_back(t);
    edge = false;
  }
  return times;
}

TEST(MovieModelTest, NextInterestingTime_ImplicitEditVisitsEverySample) {
  Movie m;
  m.timeScale = 600;
  m.tracks.push_back(TenSampleTrack());
  const std::vector<int64_t> want = {0, 60, 120, 180, 240, 300, 360, 420, 480, 540};
  EXPECT_EQ(InterestingTimes(m, kVideoMediaType), want);
  EXPECT_TRUE(InterestingTimes(m, kSoundMediaType).empty());
  int64_t t = 0, d = 0;
  ASSERT_TRUE(m.NextInterestingTime({}, 61, false, false, &t, &d));
  EXPECT_EQ(t, 120);
  EXPECT_EQ(d, 60);
}

TEST(MovieModelTest, EditList_EmptyEditAndMidSampleStart) {
  // 300 units of nothing, then the media from 250 (inside sample 2) onwards.
  Movie m;
  m.timeScale = 600;
  m.tracks.push_back(TenSampleTrack());
  Track &t = m.tracks[0];
  t.edits = {{300, -1, kFixed1}, {600, 250, kFixed1}};
  int64_t media = -1;
  EXPECT_FALSE(t.MovieToMediaTime(100, 600, &media));
  ASSERT_TRUE(t.MovieToMediaTime(300, 600, &media));
  EXPECT_EQ(media, 250);
  ASSERT_TRUE(t.MovieToMediaTime(330, 600, &media));
  EXPECT_EQ(media, 300);
  EXPECT_FALSE(t.MovieToMediaTime(900, 600, &media));

  // The edit's start shows sample 2; samples 3..9 start 30 units later each
  // 60: 330, 390, ... 690.
  const std::vector<int64_t> want = {300, 330, 390, 450, 510, 570, 630, 690};
  EXPECT_EQ(InterestingTimes(m, kVideoMediaType), want);
  int64_t when = 0, duration = 0;
  ASSERT_TRUE(t.NextSampleTime(0, 600, true, false, &when, &duration));
  EXPECT_EQ(when, 300);
  EXPECT_EQ(duration, 30);
  // The last sample is cut at the media's end, not the edit's.
  ASSERT_TRUE(t.NextSampleTime(690, 600, true, false, &when, &duration));
  EXPECT_EQ(duration, 60);
}

TEST(MovieModelTest, NextSampleTime_Backwards) {
  Movie m;
  m.timeScale = 600;
  m.tracks.push_back(TenSampleTrack());
  Track &t = m.tracks[0];
  t.edits = {{300, -1, kFixed1}, {600, 250, kFixed1}};
  int64_t when = 0;
  ASSERT_TRUE(t.NextSampleTime(400, 600, false, true, &when));
  EXPECT_EQ(when, 390);
  ASSERT_TRUE(t.NextSampleTime(390, 600, true, true, &when));
  EXPECT_EQ(when, 390);
  ASSERT_TRUE(t.NextSampleTime(390, 600, false, true, &when));
  EXPECT_EQ(when, 330);
  ASSERT_TRUE(t.NextSampleTime(330, 600, false, true, &when));
  EXPECT_EQ(when, 300);
  EXPECT_FALSE(t.NextSampleTime(300, 600, false, true, &when));
  ASSERT_TRUE(t.NextSampleTime(100000, 600, false, true, &when));
  EXPECT_EQ(when, 690);
}

TEST(MovieModelTest, EditList_DoubleRateAndDwell) {
  Movie m;
  m.timeScale = 600;
  m.tracks.push_back(TenSampleTrack());
  Track &t = m.tracks[0];
  // Twice as fast: 300 movie units play the whole media; then a dwell on
  // media time 500 for 60 units.
  t.edits = {{300, 0, 2 * kFixed1}, {60, 500, 0}};
  int64_t media = 0;
  ASSERT_TRUE(t.MovieToMediaTime(150, 600, &media));
  EXPECT_EQ(media, 500);
  ASSERT_TRUE(t.MovieToMediaTime(330, 600, &media));
  EXPECT_EQ(media, 500);
  const std::vector<int64_t> want = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300};
  EXPECT_EQ(InterestingTimes(m, kVideoMediaType), want);
  EXPECT_EQ(t.EditedDuration(), 360);
}

TEST(MovieModelTest, NextInterestingTime_TakesNearestOverTracks) {
  Movie m;
  m.timeScale = 600;
  m.tracks.push_back(TenSampleTrack());
  m.tracks.push_back(TenSampleTrack(kSoundMediaType));
  m.tracks[1].edits = {{25, -1, kFixed1}, {600, 0, kFixed1}};
  const uint32_t both[] = {kVideoMediaType, kSoundMediaType};
  int64_t t = 0;
  ASSERT_TRUE(m.NextInterestingTime(both, 0, false, false, &t));
  EXPECT_EQ(t, 25);
  ASSERT_TRUE(m.NextInterestingTime(both, 25, false, false, &t));
  EXPECT_EQ(t, 60);
  ASSERT_TRUE(m.NextInterestingTime(both, 60, false, true, &t));
  EXPECT_EQ(t, 25);
  EXPECT_EQ(m.FirstTrackOfType(kSoundMediaType), &m.tracks[1]);
  EXPECT_EQ(m.FirstTrackOfType(FourCC("text")), nullptr);
}

TEST(MovieModelTest, DescriptionReaders_RejectShortRecordsAndBadAtoms) {
  std::vector<uint8_t> sound(36, 0);
  sound[17] = 1;  // version 1 needs 52 bytes
  SoundDescriptionInfo info;
  EXPECT_FALSE(ReadSoundDescription(sound, &info));
  sound[17] = 0;
  EXPECT_TRUE(ReadSoundDescription(sound, &info));
  ImageDescriptionInfo image;
  EXPECT_FALSE(ReadImageDescription(std::vector<uint8_t>(85, 0), &image));

  // Version 1 without QuickTime's extra fields: an 'esds' atom right after
  // the version-0 record.
  std::vector<uint8_t> iso(36, 0);
  iso[17] = 1;
  const std::vector<uint8_t> esds = {0, 0, 0, 12, 'e', 's', 'd', 's', 5, 6, 7, 8};
  iso.insert(iso.end(), esds.begin(), esds.end());
  ASSERT_TRUE(ReadSoundDescription(iso, &info));
  EXPECT_TRUE(info.isoVersion1);
  EXPECT_EQ(info.bytesPerPacket, 0u);
  const auto found = FindDescriptionExtension(iso, kSoundMediaType, FourCC("esds"));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->size(), 4u);
  // QuickTime's version 1 keeps its fields (bytes per packet 2 is no atom).
  std::vector<uint8_t> qt(52, 0);
  qt[17] = 1;
  qt[43] = 2;
  ASSERT_TRUE(ReadSoundDescription(qt, &info));
  EXPECT_FALSE(info.isoVersion1);
  EXPECT_EQ(info.bytesPerPacket, 2u);
  EXPECT_EQ(DescriptionExtensionsOffset(qt, kSoundMediaType), 52u);

  // An atom whose size runs past the end, and one that is too small.
  const std::vector<uint8_t> atoms = {0, 0, 0, 12, 'a', 'b', 'c', 'd', 1, 2, 3, 4,
                                      0, 0, 0, 99, 'e', 'f', 'g', 'h', 0, 0, 0, 0};
  EXPECT_TRUE(FindAtom(atoms, FourCC("abcd")).has_value());
  EXPECT_FALSE(FindAtom(atoms, FourCC("efgh")).has_value());
  const std::vector<uint8_t> tiny = {0, 0, 0, 4, 'a', 'b', 'c', 'd'};
  EXPECT_FALSE(FindAtom(tiny, FourCC("abcd")).has_value());
  EXPECT_EQ(FourCCString(FourCC("av\x01"
                                "1")),
            "av.1");
}

}  // namespace
}  // namespace tp::qt
