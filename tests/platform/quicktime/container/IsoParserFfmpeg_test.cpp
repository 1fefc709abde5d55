// The parser against an independent reference: movies made by the ffmpeg
// command line in every extension of the family, their sample tables
// compared with ffprobe's packet list (edit lists ignored).
#include <gtest/gtest.h>

#include "support/FfmpegTools.h"
#include "container/IsoParser.h"

namespace tp::qt {
namespace {

struct FfmpegCase {
  const char *extension;
  const char *format;  // ffmpeg muxer
  bool video;
  bool audio;
};

const FfmpegCase kCases[] = {
    {"mov", "mov", true, true},   {"qt", "mov", true, true},  {"mp4", "mp4", true, true}, {"m4v", "ipod", true, false},
    {"m4a", "ipod", false, true}, {"3gp", "3gp", true, true}, {"3g2", "3g2", true, true}, {"3gp2", "3g2", true, true},
};

class IsoParserFfmpegTest : public ::testing::TestWithParam<FfmpegCase> {
 protected:
  void SetUp() override {
    if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  }
  test::ff::TempDir dir_;
};

TEST_P(IsoParserFfmpegTest, Parse_SampleTablesMatchFfprobe) {
  const FfmpegCase &c = GetParam();
  const std::string file = dir_.File(std::string("movie.") + c.extension);
  std::string inputs, codecs;
  if (c.video) {
    inputs += " -f lavfi -i testsrc=size=176x144:rate=25";
    // B-frames give composition offsets; the GOP gives non-sync samples.
    codecs += " -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p";
  }
  if (c.audio) {
    inputs += " -f lavfi -i sine=frequency=440:sample_rate=22050";
    codecs += " -c:a aac -ac 1";
  }
  ASSERT_TRUE(test::ff::RunFfmpeg(inputs + " -t 1.5" + codecs + " -f " + c.format + " '" + file + "'"));

  Movie movie;
  const ParseResult r = OpenIsoMovieFile(file, &movie);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  const size_t streams = size_t(c.video) + size_t(c.audio);
  ASSERT_EQ(movie.tracks.size(), streams);

  const std::vector<test::ff::ProbeStream> probed = test::ff::ProbeFile(file, "-ignore_editlist 1");
  bool sawOffsets = false;
  for (size_t s = 0; s < streams; ++s) {
    ASSERT_LT(s, probed.size()) << "ffprobe found no stream " << s;
    const test::ff::ProbeStream &probe = probed[s];
    const Media &media = movie.tracks[s].media;
    ASSERT_GT(probe.timeBaseDen, 0);
    // ffprobe's times are in its time base; ours in the media time scale.
    auto toMedia = [&](int64_t v) { return v * probe.timeBaseNum * int64_t(media.timeScale) / probe.timeBaseDen; };
    ASSERT_EQ(media.samples.count(), probe.packets.size()) << "stream " << s;
    for (uint32_t i = 0; i < media.samples.count(); ++i) {
      const test::ff::ProbePacket &p = probe.packets[i];
      ASSERT_TRUE(p.pts != INT64_MIN && p.dts != INT64_MIN && p.duration != INT64_MIN) << s << ":" << i;
      SampleRecord rec;
      ASSERT_TRUE(media.samples.Sample(i, &rec));
      EXPECT_EQ(rec.decodeTime, toMedia(p.dts)) << s << ":" << i;
      EXPECT_EQ(rec.decodeTime + rec.displayOffset, toMedia(p.pts)) << s << ":" << i;
      EXPECT_EQ(rec.decodeDuration, toMedia(p.duration)) << s << ":" << i;
      EXPECT_EQ(rec.size, p.size) << s << ":" << i;
      EXPECT_EQ(int64_t(rec.position), p.pos) << s << ":" << i;
      EXPECT_EQ((rec.flags & kMediaSampleNotSync) == 0, p.key) << s << ":" << i;
      sawOffsets = sawOffsets || rec.displayOffset != 0;
    }
    if (media.handlerType == kVideoMediaType) {
      EXPECT_TRUE(sawOffsets) << "B-frames should give composition offsets";
      ImageDescriptionInfo image;
      ASSERT_TRUE(ReadImageDescription(media.Description(1), &image));
      EXPECT_EQ(image.codecType, FourCC("avc1"));
      EXPECT_EQ(image.width, 176);
      EXPECT_EQ(image.height, 144);
      EXPECT_TRUE(FindDescriptionExtension(media.Description(1), kVideoMediaType, FourCC("avcC")).has_value());
      // The writer delays presentation by the first composition offset with
      // an edit; the edit starts at the first presentation time.
      SampleRecord first;
      ASSERT_TRUE(media.samples.Sample(0, &first));
      ASSERT_FALSE(movie.tracks[s].edits.empty());
      const EditSegment &e = movie.tracks[s].edits.back();
      EXPECT_EQ(e.mediaTime, first.decodeTime + first.displayOffset);
    } else {
      EXPECT_EQ(media.handlerType, kSoundMediaType);
      SoundDescriptionInfo sound;
      ASSERT_TRUE(ReadSoundDescription(media.Description(1), &sound));
      EXPECT_EQ(sound.dataFormat, FourCC("mp4a"));
      // ISO files store a fixed 2 here; the real count is in 'esds'.
      if (std::string(c.format) == "mov") {
        EXPECT_EQ(sound.numChannels, 1u);
      }
      const auto desc = media.Description(1);
      const bool esds = FindDescriptionExtension(desc, kSoundMediaType, FourCC("esds")).has_value();
      const auto wave = FindDescriptionExtension(desc, kSoundMediaType, FourCC("wave"));
      EXPECT_TRUE(esds || (wave && FindAtom(*wave, FourCC("esds")).has_value()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Extensions, IsoParserFfmpegTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.extension); });

}  // namespace
}  // namespace tp::qt
