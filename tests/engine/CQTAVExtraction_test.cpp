// The movie session against the scripted runtime: the opening sequence, its
// failure table with status and trace line, the track objects it finds, the
// "Path" change and the tear-down order.
#include <windows.h>

#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioDecoder.h"
#include "engine/CQTVideoExtraction.h"
#include "engine/QTTrackFactory.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;

namespace {

const std::string kFakeDir = TP_FAKEQT_DIR;

// A factory that can refuse each allocation and logs the life of its tracks
// into the scripted runtime's call log, so that one log shows their order
// against the runtime calls.
class TestFactory : public IQTTrackFactory {
 public:
  bool failVideo = false, failAudio = false, failDecoder = false, failBytes = false;
  LONG probe = 0;
  int decoders = 0;

  class Track : public CQTPlaceholderTrack {
   public:
    Track(Movie m, OSType type, std::string tag) : CQTPlaceholderTrack(m, type), tag_(std::move(tag)) {}
    ~Track() override { std::ofstream(std::getenv("FAKEQT_LOG"), std::ios::app) << "delete " << tag_ << "\n"; }
    const std::string &Tag() const { return tag_; }

   private:
    std::string tag_;
  };

  IMediaExtraction *CreateVideoExtraction(Movie m) override {
    return failVideo ? nullptr : new Track(m, VideoMediaType, "video");
  }
  IMediaExtraction *CreateAudioExtraction(Movie m) override {
    return failAudio ? nullptr : new Track(m, SoundMediaType, "extraction");
  }
  IMediaExtraction *CreateAudioDecoder(Movie m) override {
    ++decoders;
    return failDecoder ? nullptr : new Track(m, SoundMediaType, "decoder");
  }
  LONG ProbeAudioExtraction(IMediaExtraction *) override { return probe; }
  LONG decoderStatus = 0;
  LONG ProbeAudioDecoder(IMediaExtraction *, OSType *codec) override {
    *codec = 0x616C6163;  // 'alac'
    return decoderStatus;
  }
  char *AllocateBytes(size_t count) override { return failBytes ? nullptr : IQTTrackFactory::AllocateBytes(count); }
};

std::string Tag(IMediaExtraction *track) {
  auto *t = dynamic_cast<TestFactory::Track *>(track);
  return t ? t->Tag() : std::string("none");
}

class MovieSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", kFakeDir + "/");
    setenv("FAKEQT_TRACKS", "vide,soun", 1);
    movie = Wide(env.WriteFile("movie.mov", "not inspected by the scripted runtime"));
    setenv("Path", "/usr/bin", 1);
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  std::unique_ptr<CQTAVExtraction> Open() { return std::make_unique<CQTAVExtraction>(movie.c_str(), &factory); }

  EngineEnvironment env;
  TestFactory factory;
  std::basic_string<WCHAR> movie;
};

// ---- failure table ---------------------------------------------------------

struct FailureRow {
  const char *name;
  const char *script;  // FAKEQT_FAIL
  bool missingFile, failBytes, failVideo, failAudio;
  LONG status;
  const char *failureLine;  // the level-8 line, or "" for none
  const char *video;        // track left behind
  const char *audio;
  bool movieDisposed;
};

class MovieSessionFailures : public MovieSession, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(MovieSessionFailures, StatusTraceAndObjectsLeft) {
  const FailureRow &row = GetParam();
  if (row.script[0]) setenv("FAKEQT_FAIL", row.script, 1);
  if (row.missingFile) movie = Wide((env.Dir() / "absent.mov").string());
  factory.failBytes = row.failBytes;
  factory.failVideo = row.failVideo;
  factory.failAudio = row.failAudio;
  TraceCapture capture;
  ASSERT_TRUE(capture.Available()) << "the trace library must be beside the test";
  {
    auto session = Open();
    EXPECT_EQ(session->GetStatus(), row.status);
    EXPECT_EQ(Tag(session->GetVideoExtraction()), row.video);
    EXPECT_EQ(Tag(session->GetAudioExtraction()), row.audio);
  }
  std::vector<std::string> failures;
  for (const auto &line : Lines(capture.Take())) {
    if (line.rfind("[8] ", 0) == 0) failures.push_back(line);
  }
  if (row.failureLine[0]) {
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], std::string("[8] Tidepool: ") + row.failureLine);
  } else {
    EXPECT_TRUE(failures.empty()) << failures[0];
  }
  EXPECT_EQ(CountOf(env.Calls(), "20023"), row.movieDisposed ? 1 : 0);
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MovieSessionFailures,
    ::testing::Values(FailureRow{"Opened", "", false, false, false, false, 0, "", "video", "extraction", true},
                      FailureRow{"InitializeFails", "1d0008=-108", false, false, false, false, -108,
                                 "InitializeQTML error(-108)", "none", "none", false},
                      FailureRow{"EnterMoviesFails", "20001=-2012", false, false, false, false, -2012,
                                 "EnterMovies error(-2012)", "none", "none", false},
                      FailureRow{"PathBufferNotAllocated", "", false, true, false, false, 2, "", "none", "none", false},
                      FailureRow{"OpenMovieFileFails", "", true, false, false, false, -43,
                                 "Open Movie File failed(-43)", "none", "none", false},
                      FailureRow{"NewMovieFromFileFails", "200f0=-2048", false, false, false, false, -2048,
                                 "NewMovieFromFile failed(-2048)", "none", "none", false},
                      FailureRow{"VideoNotAllocated", "", false, false, true, false, 2, "new CQTVideoDecoder failed",
                                 "none", "none", true},
                      FailureRow{"AudioNotAllocated", "", false, false, false, true, 2, "new CQTAudioDecoder failed",
                                 "video", "none", true}),
    [](const ::testing::TestParamInfo<FailureRow> &info) { return std::string(info.param.name); });

// ---- tracks ----------------------------------------------------------------

TEST_F(MovieSession, Tracks_FirstOfEachTypeInTrackOrder) {
  setenv("FAKEQT_TRACKS", "text,vide,soun,vide,soun", 1);
  auto session = Open();
  ASSERT_EQ(session->GetStatus(), 0);
  // The scripted runtime gives track n a duration of 1000 * n.
  EXPECT_EQ(session->GetVideoExtraction()->GetDuration(), 2000);
  EXPECT_EQ(session->GetAudioExtraction()->GetDuration(), 3000);
}

TEST_F(MovieSession, Tracks_SoundOnly_NoVideoObject) {
  setenv("FAKEQT_TRACKS", "soun", 1);
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 0);
  EXPECT_EQ(session->GetVideoExtraction(), nullptr);
  EXPECT_EQ(Tag(session->GetAudioExtraction()), "extraction");
}

TEST_F(MovieSession, Tracks_NeitherTrack_UsableSessionWithoutObjects) {
  setenv("FAKEQT_TRACKS", "text", 1);
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 0);
  EXPECT_EQ(session->GetVideoExtraction(), nullptr);
  EXPECT_EQ(session->GetAudioExtraction(), nullptr);
}

TEST_F(MovieSession, Tracks_FailedProbe_FallsBackToTheDecoder) {
  factory.probe = -1;
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 0);
  EXPECT_EQ(Tag(session->GetAudioExtraction()), "decoder");
  EXPECT_EQ(CountOf(env.Calls(), "delete extraction"), 1);
}

// Which sound object the session keeps, by what movie audio extraction's
// test fill and then the decoder's set-up answered.
TEST_F(MovieSession, Tracks_SoundKeptOrRefused_Table) {
  struct Case {
    LONG probe, decoder;
    const char *audio;
    ULONG refused;
  };
  const Case cases[] = {
      {0, -1, "extraction", 0},       // the extraction plays it
      {-1, 0, "decoder", 0},          // the converter does
      {-1, noCodecErr, "none", 1},    // neither has a decoder
      {noCodecErr, -1, "none", 1},    // no decoder, and no set-up (no rate)
      {noCodecErr, -206, "none", 1},  // no decoder, format unknown
      {-1, -1, "decoder", 0},         // neither knows: left to play what it can
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.probe << " " << c.decoder);
    factory.probe = c.probe;
    factory.decoderStatus = c.decoder;
    auto session = Open();
    EXPECT_EQ(session->GetStatus(), 0);
    EXPECT_EQ(Tag(session->GetAudioExtraction()), c.audio);
    EXPECT_EQ(Tag(session->GetVideoExtraction()), "video");
    EXPECT_EQ(session->GetRefusedTrackCount(), c.refused);
  }
}

TEST_F(MovieSession, Tracks_DecoderNotAllocated_Status2) {
  factory.probe = -1;
  factory.failDecoder = true;
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 2);
  EXPECT_EQ(session->GetAudioExtraction(), nullptr);
  EXPECT_EQ(Tag(session->GetVideoExtraction()), "video");
}

TEST_F(MovieSession, DefaultFactory_ReportsTheFoundMedia) {
  setenv("FAKEQT_TRACKS", "soun,vide", 1);
  CQTAVExtraction session(movie.c_str());
  ASSERT_EQ(session.GetStatus(), 0);
  auto *video = dynamic_cast<CQTVideoExtraction *>(session.GetVideoExtraction());
  // The scripted runtime serves no audio extraction: the test fill fails and
  // the sound goes to the sound-converter decoder.
  auto *audio = dynamic_cast<CQTAudioDecoder *>(session.GetAudioExtraction());
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  // The scripted runtime does not answer GetMoviesError, so the video track
  // stops its set-up right after looking for its media.
  EXPECT_FALSE(video->Started());
}

// ---- life cycle ------------------------------------------------------------

TEST_F(MovieSession, Destructor_TracksThenMovieThenRuntime) {
  TraceCapture capture;
  Open().reset();
  std::vector<std::string> calls = env.Calls();
  std::vector<std::string> tail;
  for (const auto &c : calls) {
    if (c == "delete video" || c == "delete extraction" || c == "20023" || c == "20002" || c == "1d0009") {
      tail.push_back(c);
    }
  }
  EXPECT_EQ(tail, (std::vector<std::string>{"delete video", "delete extraction", "20023", "20002", "1d0009"}));
  const std::string trace = capture.Take();
  const size_t dtor = trace.find("[2] Tidepool: CQTAVExtraction::~CQTAVExtraction()\n");
  const size_t dispose = trace.find("[2] Tidepool: Dispose movie\n");
  ASSERT_NE(dtor, std::string::npos);
  ASSERT_NE(dispose, std::string::npos);
  EXPECT_LT(dtor, dispose);
}

TEST_F(MovieSession, Constructor_TracesTheOpeningSequence) {
  TraceCapture capture;
  auto session = Open();
  const std::string trace = capture.Take();
  const std::string path = Narrow(movie);
  for (const std::string &line :
       {std::string("[2] Tidepool: CQTAVExtraction::CQTAVExtraction\n"), std::string("[2] Tidepool: SetQTSysDir\n"),
        std::string("[2] Tidepool: QuickTime.qts version 7.6.9.0\n"),
        "[2] Tidepool: input Movie file name " + path + "\n", "[2] Tidepool: Movie file name " + path + "\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << line << "in\n" << trace;
  }
  // No QTMLClient.dll in the folder: skipped without a line.
  EXPECT_EQ(trace.find("QTMLClient.dll"), std::string::npos);
}

TEST_F(MovieSession, TwoSessions_RuntimeStartedOnce_PathExtendedTwice) {
  auto first = Open();
  auto second = Open();
  EXPECT_EQ(first->GetStatus(), 0);
  EXPECT_EQ(second->GetStatus(), 0);
  EXPECT_EQ(std::string(std::getenv("Path")), "/usr/bin;" + kFakeDir + "/;" + kFakeDir + "/");
  EXPECT_EQ(QuickTimeInitCountForTesting(), 2);
  first.reset();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 1);
  EXPECT_EQ(CountOf(env.Calls(), "1d0009"), 0);
  second.reset();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  EXPECT_EQ(CountOf(env.Calls(), "1d0008"), 1);
  EXPECT_EQ(CountOf(env.Calls(), "1d0009"), 1);
}

// ---- "Path" and the registry ---------------------------------------------------

TEST_F(MovieSession, SetQTSysDir_LongPathReadWholeAndExtended) {
  std::string longPath;
  while (longPath.size() < 5000) longPath += "/opt/some/long/folder/name" + std::to_string(longPath.size()) + ":";
  setenv("Path", longPath.c_str(), 1);
  EXPECT_EQ(CQTAVExtraction::SetQTSysDir(), 0);
  EXPECT_EQ(std::string(std::getenv("Path")), longPath + ";" + kFakeDir + "/");
}

TEST_F(MovieSession, SetQTSysDir_PathNotSet_LeftUnset_SessionStillOpens) {
  unsetenv("Path");
  EXPECT_EQ(CQTAVExtraction::SetQTSysDir(), -1);
  EXPECT_EQ(std::getenv("Path"), nullptr);
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 0);
  EXPECT_EQ(std::getenv("Path"), nullptr);
}

TEST_F(MovieSession, NoQTSysDir_PathGainsABareSeparator_RuntimeFoundElsewhere) {
  std::filesystem::remove(env.Dir() / "registry.reg");
  SetQuickTimeValue("QuickTime.qts folder", kFakeDir);
  auto session = Open();
  EXPECT_EQ(session->GetStatus(), 0);
  EXPECT_EQ(std::string(std::getenv("Path")), "/usr/bin;");
}

TEST_F(MovieSession, GetQTSysDir_ValueWithoutTerminator_ReadWithinItsBuffer) {
  const std::string full(260, 'q');
  SetQuickTimeValue("QTSysDir", full, /*terminate=*/false);
  EXPECT_EQ(Narrow(CQTAVExtraction::GetQTSysDir()), full);
  SetQuickTimeValue("QTSysDir", std::string(300, 'q'));
  EXPECT_EQ(CQTAVExtraction::GetQTSysDir(), std::basic_string<WCHAR>());
}

TEST_F(MovieSession, ReadFileVersion_ReadsTheResource_AndRefusesOtherFiles) {
  WORD v[4] = {};
  ASSERT_TRUE(CQTAVExtraction::ReadFileVersion(Wide(kFakeDir + "/QuickTime.qts").c_str(), &v[0], &v[1], &v[2], &v[3]));
  EXPECT_EQ(v[0], 7);
  EXPECT_EQ(v[1], 6);
  EXPECT_EQ(v[2], 9);
  EXPECT_EQ(v[3], 0);
  EXPECT_FALSE(CQTAVExtraction::ReadFileVersion(movie.c_str(), &v[0], &v[1], &v[2], &v[3]));
  EXPECT_FALSE(CQTAVExtraction::ReadFileVersion(nullptr, &v[0], &v[1], &v[2], &v[3]));
}

TEST_F(MovieSession, NullPath_FailsLikeAMissingFile) {
  CQTAVExtraction session(nullptr, &factory);
  EXPECT_EQ(session.GetStatus(), -43);
}

}  // namespace
