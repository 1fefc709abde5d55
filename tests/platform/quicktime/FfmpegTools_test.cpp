// The ffmpeg / ffprobe test helpers themselves: the reference every
// sample-table test leans on must read ffprobe's answers right, including for
// paths the shell would otherwise split or cut.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Md5Hex.h"
#include "support/FfmpegTools.h"

namespace tp::test::ff {
namespace {

TEST(FfmpegToolsTest, RunCommand_ReturnsTheExitStatusAndOutput) {
  std::string out;
  EXPECT_EQ(RunCommand("printf 'a b'; exit 3", &out), 3);
  EXPECT_EQ(out, "a b");
  EXPECT_EQ(RunCommand("true"), 0);
}

TEST(FfmpegToolsTest, ShellQuote_SurvivesQuotesSpacesAndDollars) {
  const std::string odd = "it's a $HOME \"test\"";
  std::string out;
  ASSERT_EQ(RunCommand("printf %s " + ShellQuote(odd), &out), 0);
  EXPECT_EQ(out, odd);
}

TEST(FfmpegToolsTest, TempDir_MadeEvenWhenTmpdirIsMissing) {
  const char *old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", "/nonexistent-tidepool-folder", 1);
  std::string made;
  {
    TempDir dir;
    made = dir.path();
    EXPECT_FALSE(made.empty());
    EXPECT_TRUE(std::filesystem::is_directory(made));
  }
  if (old) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_FALSE(made.empty());
  EXPECT_FALSE(std::filesystem::exists(made)) << "removed when the object goes";
}

TEST(FfmpegToolsTest, ProbeFile_PacketPositionsSizesAndDigestsMatchTheFile) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  TempDir dir;
  // A quote and a space in the name: the probe must quote the path itself.
  const std::string file = dir.File("it's a movie.mov");
  ASSERT_TRUE(RunFfmpeg(
      "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=sample_rate=8000 -t 0.5 -c:v mjpeg -c:a pcm_s16be " +
      ShellQuote(file)));
  const std::vector<ProbeStream> streams = ProbeFile(file, "-ignore_editlist 1");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].codecType, "video");
  EXPECT_EQ(streams[0].codecName, "mjpeg");
  EXPECT_EQ(streams[1].codecType, "audio");
  EXPECT_EQ(streams[1].sampleRate, 8000);
  const std::vector<uint8_t> bytes = ReadFileBytes(file);
  for (size_t s = 0; s < streams.size(); ++s) {
    EXPECT_GT(streams[s].timeBaseDen, 0) << s;
    ASSERT_FALSE(streams[s].packets.empty()) << s;
    for (size_t i = 0; i < streams[s].packets.size(); ++i) {
      const ProbePacket &p = streams[s].packets[i];
      EXPECT_NE(p.dts, INT64_MIN) << s << ":" << i;
      ASSERT_GE(p.pos, 0) << s << ":" << i;
      ASSERT_LE(uint64_t(p.pos) + p.size, bytes.size()) << s << ":" << i;
      EXPECT_EQ(Md5Hex(bytes.data() + p.pos, p.size), p.md5) << s << ":" << i;
    }
  }
}

TEST(FfmpegToolsTest, ProbeFile_EmptyForAMissingOrUnreadableFile) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  TempDir dir;
  EXPECT_TRUE(ProbeFile(dir.File("missing.mov")).empty());
  const std::string junk = dir.File("junk.mov");
  ASSERT_TRUE(WriteFileBytes(junk, std::vector<uint8_t>(64, 0x5A)));
  EXPECT_TRUE(ProbeFile(junk).empty());
}

}  // namespace
}  // namespace tp::test::ff
