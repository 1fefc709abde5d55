// Fragmented movies against two references: ffprobe's packet list of the
// same file (times, sizes, positions, key flags and the bytes at each
// position), and the same streams remuxed into an ordinary movie (the same
// sample table, so every seek lands on the same sample).
#include <gtest/gtest.h>

#include <random>

#include "support/FfmpegTools.h"
#include "container/IsoParser.h"
#include "Md5Hex.h"

namespace tp::qt {
namespace {

struct FragmentCase {
  const char *name;
  const char *muxArgs;  // how ffmpeg fragments the plain movie
};

const FragmentCase kCases[] = {
    {"keyframes_1s", "-movflags frag_keyframe+empty_moov"},
    {"keyframes_4s", "-movflags frag_keyframe+empty_moov -min_frag_duration 4000000"},
    // Fragments that start between key frames, data offsets from the 'moof'.
    {"duration_1s_base_moof", "-movflags empty_moov+default_base_moof -frag_duration 1000000"},
    // One index of all fragments at the front (with absolute offsets the
    // writer moves the data after them and its file is unreadable).
    {"global_sidx_4s", "-movflags frag_keyframe+empty_moov+global_sidx+default_base_moof -min_frag_duration 4000000"},
    {"dash_sidx_per_fragment", "-movflags frag_keyframe+empty_moov+dash"},
    // No base offsets: each track fragment's data follows the previous one's.
    {"no_base_offsets", "-movflags frag_keyframe+empty_moov+omit_tfhd_offset"},
    {"one_track_per_fragment", "-movflags frag_keyframe+empty_moov+separate_moof"},
    // The first fragment's samples in the movie box itself.
    {"samples_in_moov", "-movflags frag_keyframe -frag_duration 1000000"},
};

class IsoParserFragmentsTest : public ::testing::TestWithParam<FragmentCase> {
 protected:
  static void SetUpTestSuite() {
    if (!test::ff::HaveFfmpeg()) return;
    dir_ = new test::ff::TempDir();
    plain_ = dir_->File("plain.mp4");
    // Two-second GOPs with B-frames and AAC: fragments of 1 s and 4 s cut
    // at key frames, and composition offsets in every run.
    if (!test::ff::RunFfmpeg("-f lavfi -i testsrc2=size=96x64:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                             "-t 9 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac -ac 2 '" +
                             plain_ + "'"))
      plain_.clear();
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
    ASSERT_FALSE(plain_.empty());
  }
  static test::ff::TempDir *dir_;
  static std::string plain_;
};

test::ff::TempDir *IsoParserFragmentsTest::dir_ = nullptr;
std::string IsoParserFragmentsTest::plain_;

TEST_P(IsoParserFragmentsTest, Parse_TablesMatchFfprobeAndThePlainMovie) {
  const FragmentCase &c = GetParam();
  const std::string file = dir_->File(std::string(c.name) + ".mp4");
  ASSERT_TRUE(test::ff::RunFfmpeg("-i '" + plain_ + "' -c copy " + c.muxArgs + " '" + file + "'"));

  Movie movie, plain;
  uint64_t bytesRead = 0;
  ParseResult r = OpenIsoMovieFile(file, &movie, &bytesRead);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  r = OpenIsoMovieFile(plain_, &plain);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  ASSERT_EQ(movie.tracks.size(), 2u);
  ASSERT_EQ(plain.tracks.size(), 2u);

  const std::vector<uint8_t> bytes = test::ff::ReadFileBytes(file);
  const std::vector<uint8_t> plainFile = test::ff::ReadFileBytes(plain_);
  const std::vector<test::ff::ProbeStream> probed = test::ff::ProbeFile(file, "-ignore_editlist 1");
  ASSERT_EQ(probed.size(), 2u);
  std::mt19937 random(7);
  for (size_t s = 0; s < 2; ++s) {
    SCOPED_TRACE("stream " + std::to_string(s));
    const Media &media = movie.tracks[s].media;
    const SampleTable &table = media.samples;
    const test::ff::ProbeStream &probe = probed[s];
    auto toMedia = [&](int64_t v) { return v * probe.timeBaseNum * int64_t(media.timeScale) / probe.timeBaseDen; };
    ASSERT_EQ(table.count(), probe.packets.size());
    for (uint32_t i = 0; i < table.count(); ++i) {
      const test::ff::ProbePacket &p = probe.packets[i];
      SampleRecord rec;
      ASSERT_TRUE(table.Sample(i, &rec));
      ASSERT_EQ(rec.decodeTime, toMedia(p.dts)) << i;
      ASSERT_EQ(rec.decodeTime + rec.displayOffset, toMedia(p.pts)) << i;
      // The writer leaves the first AAC packet's duration unsaid; ffprobe
      // gives the last one a whole codec frame, where the file says less.
      if (p.duration != INT64_MIN && i + 1 < table.count()) {
        ASSERT_EQ(rec.decodeDuration, toMedia(p.duration)) << i;
      }
      ASSERT_EQ(rec.size, p.size) << i;
      ASSERT_EQ(int64_t(rec.position), p.pos) << i;
      ASSERT_EQ((rec.flags & kMediaSampleNotSync) == 0, p.key) << i;
      ASSERT_LE(rec.position + rec.size, bytes.size());
      ASSERT_EQ(test::Md5Hex(bytes.data() + rec.position, rec.size), p.md5) << i;
    }

    // The plain movie holds the same samples elsewhere in its file. The
    // fragmenting writer stretches the first AAC packet (the encoder's
    // priming), so times are compared from the second sample on.
    const Media &plainMedia = plain.tracks[s].media;
    const std::vector<uint8_t> &plainBytes = plainFile;
    ASSERT_EQ(table.count(), plainMedia.samples.count());
    ASSERT_GT(table.count(), 2u);
    EXPECT_EQ(media.timeScale, plainMedia.timeScale);
    const int64_t shift = table.DecodeTime(1) - plainMedia.samples.DecodeTime(1);
    for (uint32_t i = 0; i < table.count(); ++i) {
      SampleRecord a, b;
      ASSERT_TRUE(table.Sample(i, &a));
      ASSERT_TRUE(plainMedia.samples.Sample(i, &b));
      if (i > 0) {
        ASSERT_EQ(a.decodeTime, b.decodeTime + shift) << i;
        if (i + 1 < table.count()) {
          ASSERT_EQ(a.decodeDuration, b.decodeDuration) << i;
        }
      }
      ASSERT_EQ(a.displayOffset, b.displayOffset) << i;
      ASSERT_EQ(a.size, b.size) << i;
      ASSERT_EQ(a.flags & kMediaSampleNotSync, b.flags & kMediaSampleNotSync) << i;
      ASSERT_TRUE(std::equal(bytes.begin() + int64_t(a.position), bytes.begin() + int64_t(a.position + a.size),
                             plainBytes.begin() + int64_t(b.position)))
          << i;
    }
    // Seeks: the sample at a time and the sync sample before it.
    for (int k = 0; k < 50; ++k) {
      const int64_t t =
          plainMedia.samples.DecodeTime(1) +
          int64_t(random() % uint64_t(plainMedia.samples.totalDuration() - plainMedia.samples.DecodeTime(1)));
      uint32_t at = 0, plainAt = 0, sync = 0, plainSync = 0;
      ASSERT_TRUE(table.SampleAtTime(t + shift, &at));
      ASSERT_TRUE(plainMedia.samples.SampleAtTime(t, &plainAt));
      EXPECT_EQ(at, plainAt) << t;
      ASSERT_TRUE(table.SyncAtOrBefore(at, &sync));
      ASSERT_TRUE(plainMedia.samples.SyncAtOrBefore(plainAt, &plainSync));
      EXPECT_EQ(sync, plainSync) << t;
    }
  }
  // Opening read boxes only: no byte of any sample.
  uint64_t sampleBytes = 0;
  for (const Track &t : movie.tracks) {
    SampleRecord rec;
    for (uint32_t i = 0; t.media.samples.Sample(i, &rec); ++i) sampleBytes += rec.size;
  }
  EXPECT_LE(bytesRead + sampleBytes, bytes.size());
  // Movie time: the same length within a frame and the stretched packet.
  EXPECT_NEAR(double(movie.duration) / movie.timeScale, double(plain.duration) / plain.timeScale, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, IsoParserFragmentsTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::qt
