// Every track, the chapters and the metadata of movies made by the ffmpeg
// command line, as `tidepool probe --json` reports them through the runtime,
// against ffprobe's streams, chapters and tags. MP4 keeps its metadata in
// 'meta'/'ilst', MOV in 'udta'; both carry a chapter track and a 'chpl'
// list, and a byte edit that hides the chapter references leaves the list
// alone to be read. Then the DirectShow host's view of the same movies:
// `info --json` lists the streams the filter offers through IAMStreamSelect,
// its chapters and metadata through IAMExtendedSeeking and IAMMediaContent,
// and `convert --audio-stream K` plays the K-th sound track as ffmpeg's
// `-map 0:a:K` decodes it; `convert --subtitles` writes the cues of the
// "Subtitle" pin as ffmpeg writes the subtitle track's SubRip.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/AudioTestMovies.h"
#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using nlohmann::json;
using tp::test::ff::ShellQuote;

namespace {

std::string RunShell(const std::string &command) {
  std::string out;
  tp::test::ff::RunCommand(command, &out);
  return out;
}

// ISO 639-2 bibliographic codes as their terminological twins.
std::string Terminological(const std::string &code) {
  static const std::map<std::string, std::string> kTwins = {
      {"fre", "fra"}, {"ger", "deu"}, {"chi", "zho"}, {"cze", "ces"}, {"dut", "nld"}, {"gre", "ell"}, {"per", "fas"},
      {"rum", "ron"}, {"slo", "slk"}, {"wel", "cym"}, {"arm", "hye"}, {"baq", "eus"}, {"ice", "isl"}, {"mac", "mkd"}};
  auto it = kTwins.find(code);
  return it == kTwins.end() ? code : it->second;
}

std::string KindOf(const json &stream) {
  const std::string type = stream.value("codec_type", "");
  if (type == "video") return "video";
  if (type == "audio") return "sound";
  if (type == "subtitle") return "text";
  // ffprobe lists a chapter track as data.
  if (type == "data" && stream.value("codec_tag_string", "") == "text") return "chapters";
  return "other";
}

struct MovieCase {
  const char *name;
  const char *extension;
  std::string inputs;     // beyond the video and the first tone; CUES and META name the files
  std::string options;    // maps and settings after the first video and sound
  bool hideChapterTrack;  // rename every 'tref' so only 'chpl' is left
};

class MovieContents : public ::testing::TestWithParam<MovieCase> {
 protected:
  static void SetUpTestSuite() {
    if (!tp::test::ff::HaveFfmpeg()) return;
    dir_ = new tp::test::ff::TempDir;
    const std::string srt = dir_->File("cues.srt");
    tp::test::ff::WriteFileBytes(srt, Bytes("1\n00:00:00,500 --> 00:00:01,500\nHello <i>world</i>\nsecond line\n\n"
                                            "2\n00:00:02,000 --> 00:00:03,250\n\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2"
                                            "\xd0\xb5\xd1\x82 \xe6\x97\xa5\xe6\x9c\xac\n"));
    tp::test::ff::WriteFileBytes(dir_->File("meta.txt"),
                                 Bytes(";FFMETADATA1\ntitle=A Title\nartist=An Artist\ncopyright=(c) Tide\n"
                                       "comment=Some words\n\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
                                       "title=Intro\n\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2500\n"
                                       "title=Middle part\n\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=2500\nEND=3000\n"
                                       "title=\xc3\x89nde\n"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  }
  static std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

  // The tool with a private registry in which the filter is registered.
  std::string Tool(const MovieCase &c, const std::string &args) {
    const std::string bin = std::string(TP_BUILD_DIR) + "/bin/";
    const std::string env = "TP_REGISTRY_FILE=" + ShellQuote(dir_->File(std::string(c.name) + c.extension + ".reg"));
    RunShell(env + " " + ShellQuote(bin + "regsvr32") + " /s " + ShellQuote(bin + "Tidepool.ax"));
    return RunShell(env + " " + ShellQuote(bin + "tidepool") + " " + args);
  }

  std::string Make(const MovieCase &c) {
    const std::string file = dir_->File(std::string(c.name) + "." + c.extension);
    std::string inputs = c.inputs;
    for (const auto &[name, path] : {std::pair{"CUES", dir_->File("cues.srt")}, {"META", dir_->File("meta.txt")}}) {
      if (size_t at = inputs.find(name); at != std::string::npos) inputs.replace(at, 4, ShellQuote(path));
    }
    const std::string args =
        "-f lavfi -i testsrc=size=96x64:rate=25:duration=3 "
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 " +
        inputs + " -map 0:v -map 1:a " + c.options + " -c:v libx264 -g 10 -c:a aac " + ShellQuote(file);
    EXPECT_TRUE(tp::test::ff::RunFfmpeg(args)) << args;
    if (c.hideChapterTrack) {
      std::vector<uint8_t> bytes = tp::test::ff::ReadFileBytes(file);
      for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (std::equal(bytes.begin() + i, bytes.begin() + i + 4, "tref")) std::copy_n("free", 4, bytes.begin() + i);
      }
      tp::test::ff::WriteFileBytes(file, bytes);
    }
    return file;
  }

  static tp::test::ff::TempDir *dir_;
};

tp::test::ff::TempDir *MovieContents::dir_ = nullptr;

TEST_P(MovieContents, ProbeJson_EqualsFfprobeStreamsChaptersAndTags) {
  const MovieCase &c = GetParam();
  const std::string file = Make(c);
  const std::string ours = Tool(c, "probe --json " + ShellQuote(file));
  const json probe = json::parse(ours, nullptr, false);
  ASSERT_FALSE(probe.is_discarded()) << ours;
  ASSERT_EQ(probe["status"], 0) << ours;
  const json ref =
      json::parse(RunShell("ffprobe -v error -show_streams -show_chapters -show_format -of json " + ShellQuote(file)),
                  nullptr, false);
  ASSERT_FALSE(ref.is_discarded());

  const json &tracks = probe["tracks"];
  const json &streams = ref["streams"];
  ASSERT_EQ(tracks.size(), streams.size()) << ours;
  for (size_t i = 0; i < streams.size(); ++i) {
    SCOPED_TRACE("track " + std::to_string(i + 1));
    const json &s = streams[i];
    EXPECT_EQ(tracks[i]["kind"], c.hideChapterTrack && KindOf(s) == "chapters" ? "text" : KindOf(s));
    EXPECT_EQ(tracks[i]["codec"], s.value("codec_tag_string", ""));
    const std::string language = s.contains("tags") ? s["tags"].value("language", "und") : "und";
    EXPECT_EQ(tracks[i]["language"], Terminological(language));
    EXPECT_EQ(tracks[i]["enabled"], s["disposition"].value("default", 0) == 1);
  }

  const json &chapters = probe["chapters"];
  const json &refChapters = ref["chapters"];
  ASSERT_EQ(chapters.size(), refChapters.size()) << ours;
  for (size_t i = 0; i < refChapters.size(); ++i) {
    SCOPED_TRACE("chapter " + std::to_string(i + 1));
    EXPECT_NEAR(chapters[i]["start"].get<double>(), std::stod(refChapters[i]["start_time"].get<std::string>()), 0.001);
    EXPECT_EQ(chapters[i]["title"], refChapters[i]["tags"].value("title", ""));
  }

  const json tags = ref["format"].value("tags", json::object());
  for (const char *key : {"title", "artist", "copyright", "comment"}) {
    EXPECT_EQ(probe["metadata"][key], tags.value(key, "")) << key;
  }
}

const char *const kAllInputs =
    "-f lavfi -i sine=frequency=660:sample_rate=48000:duration=3 "
    "-f lavfi -i sine=frequency=880:sample_rate=22050:duration=3 -i CUES -i META";
const char *const kAllOptions =
    "-map 2:a -map 3:a -map 4:s -map_metadata 5 -map_chapters 5 -ac:a:1 1 -c:s mov_text "
    "-metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -metadata:s:a:2 language=jpn "
    "-metadata:s:s:0 language=rus";
const char *const kTwoInputs = "-f lavfi -i sine=frequency=660:sample_rate=48000:duration=3";
const char *const kDisabledFirstOptions =
    "-map 2:a -metadata:s:a:0 language=deu -metadata:s:a:1 language=spa -disposition:a:0 0 "
    "-disposition:a:1 default";

std::vector<MovieCase> Cases() {
  std::vector<MovieCase> cases;
  for (const char *ext : {"mp4", "mov"}) {
    cases.push_back({"all", ext, kAllInputs, kAllOptions, false});
    cases.push_back({"chpl", ext, kAllInputs, kAllOptions, true});
    cases.push_back({"disabled", ext, kTwoInputs, kDisabledFirstOptions, false});
  }
  return cases;
}

TEST_P(MovieContents, InfoAndConvert_SeeEverySoundTrackThroughStreamSelect) {
  const MovieCase &c = GetParam();
  const std::string file = Make(c);
  const json probe = json::parse(Tool(c, "probe --json " + ShellQuote(file)), nullptr, false);
  const json info = json::parse(Tool(c, "info --json " + ShellQuote(file)), nullptr, false);
  ASSERT_FALSE(probe.is_discarded() || info.is_discarded());
  // The streams are the video, sound and text tracks in track order, and
  // "subtitles off" after a text track.
  // The sound and text tracks that play: the first enabled one of each
  // kind, else the first (these movies have one video track).
  std::map<std::string, int> playing;
  for (const json &t : probe["tracks"]) {
    const std::string kind = t["kind"];
    if (!playing.count(kind) || (t["enabled"] && !probe["tracks"][playing[kind] - 1]["enabled"])) {
      playing[kind] = t["index"];
    }
  }
  std::vector<json> expected;
  for (const json &t : probe["tracks"]) {
    const std::string kind = t["kind"];
    if (kind != "video" && kind != "sound" && kind != "text") continue;
    const bool plays = playing[kind] == t["index"].get<int>();
    expected.push_back({{"kind", kind}, {"codec", t["codec"]}, {"language", t["language"]}, {"selected", plays}});
  }
  const json &streams = info["tracks"];
  ASSERT_EQ(streams.size(), expected.size() + (c.hideChapterTrack || std::string(c.name) == "all" ? 1 : 0))
      << info.dump();
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    for (const char *key : {"kind", "codec", "language", "selected"}) EXPECT_EQ(streams[i][key], expected[i][key]);
  }

  // Chapters through IAMExtendedSeeking's markers, metadata through
  // IAMMediaContent: what the runtime read.
  ASSERT_EQ(info["chapters"].size(), probe["chapters"].size()) << info.dump();
  for (size_t i = 0; i < probe["chapters"].size(); ++i) {
    EXPECT_NEAR(info["chapters"][i]["start"].get<double>(), probe["chapters"][i]["start"].get<double>(), 1e-6);
    EXPECT_EQ(info["chapters"][i]["title"], probe["chapters"][i]["title"]);
  }
  EXPECT_EQ(info["metadata"], probe["metadata"]);

  int sounds = 0;
  for (const json &t : probe["tracks"]) sounds += t["kind"] == "sound";
  for (int k = 0; k < sounds; ++k) {
    SCOPED_TRACE("sound stream " + std::to_string(k));
    const std::string wav = dir_->File(std::string(c.name) + c.extension + std::to_string(k) + ".wav");
    Tool(c, "convert " + ShellQuote(file) + " --audio-stream " + std::to_string(k) + " --audio " + ShellQuote(wav));
    const std::vector<uint8_t> bytes = tp::test::ff::ReadFileBytes(wav);
    ASSERT_GT(bytes.size(), 44u);
    std::vector<int16_t> pcm((bytes.size() - 44) / 2);
    std::copy_n(bytes.begin() + 44, pcm.size() * 2, reinterpret_cast<uint8_t *>(pcm.data()));
    std::vector<int16_t> reference = tp::test::FfmpegDecodeS16(file, "-map 0:a:" + std::to_string(k) + " -ac 2");
    // Every sound track lasts 3 s, its edit ending there; ffmpeg's decode
    // runs on to the end of the last frame, while the pin plays silence
    // after the edit until the movie (or the video) ends.
    uint32_t rate = 0;
    std::copy_n(bytes.begin() + 24, 4, reinterpret_cast<uint8_t *>(&rate));
    const size_t trackEnd = size_t(rate) * 3 * 2;
    ASSERT_GE(pcm.size(), trackEnd * 9 / 10);
    if (pcm.size() > trackEnd) {
      EXPECT_TRUE(std::all_of(pcm.begin() + static_cast<long>(trackEnd), pcm.end(), [](int16_t v) { return v == 0; }));
      pcm.resize(trackEnd);
    }
    ASSERT_GE(reference.size(), pcm.size());
    reference.resize(pcm.size());
    EXPECT_TRUE(pcm == reference) << "RMS " << tp::test::RmsDifference(pcm, reference, pcm.size());
  }
  // One past the last is refused with one line and status 1.
  const std::string refused = Tool(c, "convert " + ShellQuote(file) + " --audio-stream " + std::to_string(sounds) +
                                          " --audio " + ShellQuote(dir_->File("none.wav")) + " 2>&1; echo status=$?");
  EXPECT_NE(refused.find("has no sound stream"), std::string::npos) << refused;
  EXPECT_NE(refused.find("status=1"), std::string::npos) << refused;
}

// A SubRip file as (start ms, stop ms, text) cues; tags such as <i> are
// left out of the text, as the pin leaves out the styles they stand for.
struct Cue {
  long start, stop;
  std::string text;
};
std::vector<Cue> ReadSrt(const std::string &file) {
  std::vector<Cue> cues;
  std::string all = tp::test::ff::ReadFileText(file);
  all.erase(std::remove(all.begin(), all.end(), '\r'), all.end());
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find("\n\n", at);
    if (end == std::string::npos) end = all.size();
    const std::string block = all.substr(at, end - at);
    at = end + 2;
    const size_t line1 = block.find('\n');
    if (line1 == std::string::npos) continue;
    const size_t line2 = block.find('\n', line1 + 1);
    int h1, m1, s1, ms1, h2, m2, s2, ms2;
    if (std::sscanf(block.c_str() + line1 + 1, "%d:%d:%d,%d --> %d:%d:%d,%d", &h1, &m1, &s1, &ms1, &h2, &m2, &s2,
                    &ms2) != 8) {
      continue;
    }
    std::string text = line2 == std::string::npos ? "" : block.substr(line2 + 1);
    for (size_t open; (open = text.find('<')) != std::string::npos;) {
      const size_t close = text.find('>', open);
      if (close == std::string::npos) break;
      text.erase(open, close - open + 1);
    }
    cues.push_back({((h1 * 60L + m1) * 60 + s1) * 1000 + ms1, ((h2 * 60L + m2) * 60 + s2) * 1000 + ms2, text});
  }
  return cues;
}

TEST_P(MovieContents, Subtitles_EqualFfmpegsSubRip) {
  const MovieCase &c = GetParam();
  if (std::string(c.options).find("-map 4:s") == std::string::npos) GTEST_SKIP() << "no subtitles";
  const std::string file = Make(c);
  const std::string ours = dir_->File(std::string(c.name) + c.extension + ".srt");
  const std::string theirs = dir_->File(std::string(c.name) + c.extension + ".ref.srt");
  Tool(c, "convert " + ShellQuote(file) + " --subtitles " + ShellQuote(ours));
  ASSERT_TRUE(tp::test::ff::RunFfmpeg("-i " + ShellQuote(file) + " -map 0:s:0 " + ShellQuote(theirs)));
  const std::vector<Cue> got = ReadSrt(ours), want = ReadSrt(theirs);
  ASSERT_EQ(got.size(), want.size()) << tp::test::ff::ReadFileText(ours);
  ASSERT_EQ(want.size(), 2u);
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("cue " + std::to_string(i + 1));
    EXPECT_LE(std::abs(got[i].start - want[i].start), 1);
    EXPECT_LE(std::abs(got[i].stop - want[i].stop), 1);
    EXPECT_EQ(got[i].text, want[i].text);
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, MovieContents, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<MovieCase> &info) {
                           return std::string(info.param.name) + "_" + info.param.extension;
                         });

}  // namespace
