// The SPS colour rewrite: for x264 streams across profiles, chroma formats,
// bit depths, cropping, interlacing, HRD parameters and scaling lists, with
// and without a VUI, the rewritten stream decodes (libavcodec, through the
// ffmpeg command line) to the same pictures, ffprobe reads the new colour
// description and every other field as before, and damaged parameter sets
// pass through untouched.
#include "codecs/AvcSpsColour.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

using Bytes = std::vector<uint8_t>;
namespace ff = tp::test::ff;

// Every SPS of a byte stream as the caller's function makes it: used to
// build streams without a VUI, which no encoder at hand writes.
template <typename F>
Bytes EachSps(const Bytes &annexB, F rewrite) {
  Bytes out;
  size_t i = 0;
  const auto next = [&](size_t from) {
    for (size_t k = from; k + 2 < annexB.size(); ++k)
      if (annexB[k] == 0 && annexB[k + 1] == 0 && annexB[k + 2] == 1) return k;
    return annexB.size();
  };
  for (i = next(0); i < annexB.size();) {
    const size_t begin = i + 3, n = next(begin);
    out.insert(out.end(), annexB.begin() + ptrdiff_t(i), annexB.begin() + ptrdiff_t(begin));
    Bytes nal(annexB.begin() + ptrdiff_t(begin), annexB.begin() + ptrdiff_t(n));
    if (!nal.empty() && (nal[0] & 0x1F) == 7) nal = rewrite(nal);
    out.insert(out.end(), nal.begin(), nal.end());
    i = n;
  }
  return out;
}

// The SPS cut at its VUI flag, which is then cleared.
Bytes WithoutVui(const Bytes &nal) {
  const Bytes rbsp = AvcUnescape(std::span(nal).subspan(1));
  const std::optional<AvcSpsLayout> sps = ReadAvcSpsLayout(rbsp);
  if (!sps) return nal;
  Bytes cut((sps->vuiFlagBit + 1 + 7) / 8 + 1, 0);
  for (size_t b = 0; b < sps->vuiFlagBit; ++b)
    if ((rbsp[b / 8] >> (7 - b % 8)) & 1) cut[b / 8] |= uint8_t(0x80 >> (b % 8));
  const size_t stop = sps->vuiFlagBit + 1;  // the flag stays 0
  cut[stop / 8] |= uint8_t(0x80 >> (stop % 8));
  cut.resize(stop / 8 + 1);
  Bytes out{nal[0]};
  const Bytes escaped = AvcEscape(cut);
  out.insert(out.end(), escaped.begin(), escaped.end());
  return out;
}

std::map<std::string, std::string> Probe(const std::string &path) {
  std::string text;
  ff::RunCommand(
      "ffprobe -v error -select_streams v -show_entries "
      "stream=profile,level,width,height,coded_width,coded_height,pix_fmt,color_range,color_space,"
      "color_transfer,color_primaries,has_b_frames,field_order,chroma_location,refs "
      "-of default=nw=1 " +
          ff::ShellQuote(path),
      &text);
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::string DecodedMd5(const std::string &path) {
  std::string out;
  ff::RunCommand("ffmpeg -nostdin -v error -i " + ff::ShellQuote(path) + " -f md5 -", &out);
  return out;
}

struct StreamCase {
  const char *name;
  const char *size;
  const char *encode;  // ffmpeg output options
  bool stripVui;
  AvcColour colour;
  const char *colourName;  // what ffprobe calls all three
};

TEST(AvcSpsColour, SetAvcColourInAnnexB_DecodesTheSame) {
  if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not available";
  const StreamCase cases[] = {
      {"baseline, no colour description", "320x240", "-profile:v baseline", false, kAvcColourBt601, "smpte170m"},
      {"main, BT.709, B-frames, odd size", "642x362",
       "-profile:v main -bf 3 -colorspace bt709 -color_primaries bt709 -color_trc bt709", false, kAvcColourBt601,
       "smpte170m"},
      {"high 1080 in 1088, B-frames", "1920x1080", "-profile:v high -bf 3 -preset superfast", false, AvcColour{5, 5, 5},
       "bt470bg"},
      {"high, full range, NAL HRD", "352x288",
       "-profile:v high -bf 2 -color_range pc -colorspace bt709 -x264-params "
       "nal-hrd=vbr:vbv-maxrate=800:vbv-bufsize=800",
       false, kAvcColourBt601, "smpte170m"},
      {"high 4:2:2 10-bit", "320x240", "-pix_fmt yuv422p10le -bf 2", false, kAvcColourBt601, "smpte170m"},
      {"high 4:4:4, scaling lists, interlaced", "320x240", "-pix_fmt yuv444p -x264-params cqm=jvt:interlaced=1", false,
       kAvcColourBt601, "smpte170m"},
      {"no VUI, high with scaling lists", "640x360", "-profile:v high -bf 3 -x264-params cqm=jvt", true,
       kAvcColourBt601, "smpte170m"},
      {"no VUI, baseline", "176x144", "-profile:v baseline", true, AvcColour{5, 5, 5}, "bt470bg"},
  };
  ff::TempDir dir;
  for (const StreamCase &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = dir.File("source.264"), before = dir.File("before.264"), after = dir.File("after.264");
    const std::string pixFmt = std::string(c.encode).find("-pix_fmt") == std::string::npos ? " -pix_fmt yuv420p" : "";
    ASSERT_TRUE(ff::RunFfmpeg(std::string("-f lavfi -i testsrc2=size=") + c.size +
                              ":rate=25:duration=0.32 -c:v libx264 -g 4 " + c.encode + pixFmt + " -f h264 " +
                              ff::ShellQuote(source)));
    Bytes stream = ff::ReadFileBytes(source);
    if (c.stripVui) stream = EachSps(stream, WithoutVui);
    ASSERT_TRUE(ff::WriteFileBytes(before, stream));

    int spsCount = 0;
    (void)EachSps(stream, [&](const Bytes &nal) {
      ++spsCount;
      return nal;
    });
    ASSERT_GE(spsCount, 2);  // in-band, at each IDR
    EXPECT_EQ(AvcFullRangeInAnnexB(stream), std::string(c.encode).find("-color_range pc") != std::string::npos);
    Bytes rewritten = stream;
    EXPECT_EQ(SetAvcColourInAnnexB(&rewritten, c.colour), spsCount);
    ASSERT_TRUE(ff::WriteFileBytes(after, rewritten));
    Bytes again = rewritten;
    EXPECT_EQ(SetAvcColourInAnnexB(&again, c.colour), 0);
    EXPECT_EQ(again, rewritten);

    const std::string md5 = DecodedMd5(before);
    ASSERT_FALSE(md5.empty());
    EXPECT_EQ(DecodedMd5(after), md5);
    std::map<std::string, std::string> want = Probe(before), got = Probe(after);
    ASSERT_EQ(want.count("width"), 1u);
    for (const char *key : {"color_space", "color_transfer", "color_primaries"}) {
      EXPECT_EQ(got[key], c.colourName) << key;
      want.erase(key);
      got.erase(key);
    }
    // Where the stream did not say, these fields meant video range and
    // left-sited chroma; a signal type or VUI added now says so.
    if (want["color_range"] == "unknown") want["color_range"] = "tv";
    if (want["chroma_location"] == "unspecified") want["chroma_location"] = "left";
    EXPECT_EQ(got, want);
  }
}

TEST(AvcSpsColour, DamagedSps_PassesThrough) {
  // x264's baseline SPS at 320x240: VUI with timing and bitstream restriction.
  const Bytes sps = {0x67, 0x42, 0xC0, 0x0D, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00,
                     0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0xA4, 0x80};
  ASSERT_TRUE(SetAvcSpsColour(sps, kAvcColourBt601).has_value());
  Bytes trailing = sps;
  trailing.back() = 0xAA;  // bits left over before the stop bit
  Bytes hugeCode = sps;
  hugeCode[4] = 0;  // an exp-Golomb code of 32 zeros
  hugeCode[5] = 0;
  hugeCode[6] = 0;
  hugeCode[7] = 0;
  hugeCode[8] = 0;
  const struct {
    const char *name;
    Bytes nal;
  } cases[] = {
      {"cut short", Bytes(sps.begin(), sps.begin() + 9)},
      {"bits left over", trailing},
      {"long exp-Golomb code", hugeCode},
      {"header only", {0x67}},
      {"all zeros", {0x67, 0, 0, 0}},
      {"a PPS", {0x68, 0xCE, 0x3C, 0x80}},
      {"forbidden bit", Bytes{uint8_t(0xE7)}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(SetAvcSpsColour(c.nal, kAvcColourBt601).has_value());
    Bytes stream = {0, 0, 0, 1};
    stream.insert(stream.end(), c.nal.begin(), c.nal.end());
    stream.insert(stream.end(), {0, 0, 1, 0x65, 0x88});
    const Bytes before = stream;
    EXPECT_EQ(SetAvcColourInAnnexB(&stream, kAvcColourBt601), 0);
    EXPECT_EQ(stream, before);
  }
}

TEST(AvcSpsColour, Escape_RoundTrips) {
  const struct {
    Bytes rbsp, escaped;
  } cases[] = {
      {{0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4}, {0, 0, 3, 0, 0, 3, 1, 0, 0, 3, 2, 0, 0, 3, 3, 0, 0, 4}},
      {{1, 0, 0}, {1, 0, 0}},
      {{}, {}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(AvcEscape(c.rbsp), c.escaped);
    EXPECT_EQ(AvcUnescape(c.escaped), c.rbsp);
  }
}

}  // namespace
}  // namespace tp::qt
