// Our own AIFF and raw H.264 readers against the libavformat importer: the
// same movie model (time scales, durations, descriptions with their
// extension atoms, and every sample's decode time, duration, display
// offset, size, file position and sync flag) for files the ffmpeg command
// line makes; and clear refusals of what they do not read.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "container/AvImporter.h"
#include "container/OwnImporters.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

void ExpectSameModel(const Movie &want, const Movie &got) {
  EXPECT_EQ(got.timeScale, want.timeScale);
  EXPECT_EQ(got.duration, want.duration);
  ASSERT_EQ(got.tracks.size(), want.tracks.size());
  for (size_t t = 0; t < want.tracks.size(); ++t) {
    const Track &a = want.tracks[t], &b = got.tracks[t];
    EXPECT_EQ(b.id, a.id);
    EXPECT_EQ(b.duration, a.duration);
    EXPECT_EQ(b.width, a.width);
    EXPECT_EQ(b.height, a.height);
    ASSERT_EQ(b.edits.size(), a.edits.size());
    EXPECT_EQ(b.edits[0].movieDuration, a.edits[0].movieDuration);
    const Media &m = a.media, &n = b.media;
    EXPECT_EQ(n.handlerType, m.handlerType);
    EXPECT_EQ(n.timeScale, m.timeScale);
    EXPECT_EQ(n.duration, m.duration);
    EXPECT_EQ(n.sampleDescriptions, m.sampleDescriptions);
    ASSERT_EQ(n.samples.count(), m.samples.count());
    for (uint32_t i = 0; i < m.samples.count(); ++i) {
      SampleRecord x, y;
      ASSERT_TRUE(m.samples.Sample(i, &x));
      ASSERT_TRUE(n.samples.Sample(i, &y));
      ASSERT_EQ(y.decodeTime, x.decodeTime) << "sample " << i;
      ASSERT_EQ(y.decodeDuration, x.decodeDuration) << "sample " << i;
      ASSERT_EQ(y.displayOffset, x.displayOffset) << "sample " << i;
      ASSERT_EQ(y.size, x.size) << "sample " << i;
      ASSERT_EQ(y.position, x.position) << "sample " << i;
      ASSERT_EQ(y.flags, x.flags) << "sample " << i;
    }
  }
}

struct Case {
  const char *name;
  const char *ffmpegArgs;  // the output file follows
  AvFormat format;
};

const Case kCases[] = {
    {"aiff_s16be_stereo.aif", "-f lavfi -i sine=sample_rate=44100:duration=0.7 -ac 2 -c:a pcm_s16be", AvFormat::kAiff},
    {"aiff_s8_mono.aif", "-f lavfi -i sine=sample_rate=22050:duration=0.3 -c:a pcm_s8", AvFormat::kAiff},
    {"aiff_s24be_stereo.aiff", "-f lavfi -i sine=sample_rate=48000:duration=0.4 -ac 2 -c:a pcm_s24be", AvFormat::kAiff},
    {"aiff_s32be.aif", "-f lavfi -i sine=sample_rate=32000:duration=0.2 -c:a pcm_s32be", AvFormat::kAiff},
    {"aifc_sowt.aif", "-f lavfi -i sine=sample_rate=8000:duration=0.7 -ac 2 -c:a pcm_s16le", AvFormat::kAiff},
    {"aifc_fl32.aif", "-f lavfi -i sine=sample_rate=44100:duration=0.3 -c:a pcm_f32be", AvFormat::kAiff},
    {"aifc_ulaw.aif", "-f lavfi -i sine=sample_rate=8000:duration=0.7 -c:a pcm_mulaw", AvFormat::kAiff},
    {"aifc_alaw.aif", "-f lavfi -i sine=sample_rate=8000:duration=0.7 -ac 2 -c:a pcm_alaw", AvFormat::kAiff},
    {"aifc_ima4.aif", "-f lavfi -i sine=sample_rate=22050:duration=0.5 -ac 2 -c:a adpcm_ima_qt", AvFormat::kAiff},
    {"bframes.264", "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p",
     AvFormat::kH264},
    {"no_bframes_30fps.264", "-f lavfi -i testsrc=size=64x48:rate=30:duration=1 -c:v libx264 -bf 0 -pix_fmt yuv420p",
     AvFormat::kH264},
    {"odd_size_ntsc.264",
     "-f lavfi -i testsrc=size=322x242:rate=24000/1001:duration=1 -c:v libx264 -bf 3 -pix_fmt yuv420p",
     AvFormat::kH264},
    {"slices_open_gop.264",
     "-f lavfi -i testsrc=size=128x96:rate=25:duration=2 -c:v libx264 -bf 2 -x264-params "
     "slices=3:open-gop=1:keyint=10:min-keyint=10:scenecut=0 -pix_fmt yuv420p",
     AvFormat::kH264},
    {"baseline_aud.264",
     "-f lavfi -i testsrc=size=96x64:rate=15:duration=1 -c:v libx264 -profile:v baseline -x264-params aud=1 "
     "-pix_fmt yuv420p",
     AvFormat::kH264},
};

TEST(OwnImporters, Model_EqualsLibavformatImporter) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::ff::TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    const std::string container = c.format == AvFormat::kAiff ? " -f aiff " : " -f h264 ";
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string(c.ffmpegArgs) + container + test::ff::ShellQuote(path)));
    Movie want, got;
    AvImportResult r = ImportWithLibav(path, c.format, &want);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    r = c.format == AvFormat::kAiff ? ImportAiff(path, &got) : ImportAnnexB(path, &got);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    ExpectSameModel(want, got);
  }
}

void Write(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(OwnImporters, Refusals_SayWhy) {
  test::ff::TempDir dir;
  // AIFF-C with a compression type nothing here decodes.
  std::vector<uint8_t> aifc = {'F', 'O', 'R', 'M', 0,   0,   0,   60,  'A', 'I', 'F', 'C',  'C',  'O',  'M',  'M', 0,
                               0,   0,   24,  0,   1,   0,   0,   0,   4,   0,   16,  0x40, 0x0E, 0xAC, 0x44, 0,   0,
                               0,   0,   0,   0,   'Q', 'D', 'M', '2', 0,   0,   'S', 'S',  'N',  'D',  0,    0,   0,
                               16,  0,   0,   0,   0,   0,   0,   0,   0,   1,   2,   3,    4,    5,    6,    7,   8};
  Write(dir.File("qdm2.aif"), aifc);
  Movie m;
  AvImportResult r = ImportAiff(dir.File("qdm2.aif"), &m);
  EXPECT_EQ(r.error, kCantFindHandler);
  EXPECT_NE(r.message.find("QDM2"), std::string::npos) << r.message;
  // No sound data: the chunk is cut off.
  aifc.resize(50);
  Write(dir.File("cut.aif"), aifc);
  EXPECT_EQ(ImportAiff(dir.File("cut.aif"), &m).error, kInvalidMovie);
  // A byte stream with no picture.
  Write(dir.File("empty.264"), {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x0C, 0xFF});
  r = ImportAnnexB(dir.File("empty.264"), &m);
  EXPECT_EQ(r.error, kInvalidMovie);
  EXPECT_TRUE(m.tracks.empty());
}

}  // namespace
}  // namespace tp::qt
