// The movie session against the real runtime, on movies made by the ffmpeg
// command line and on damaged files.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include <string>
#include <vector>

#include <QuickTime/MacErrors.h>
#include <amvideo.h>
#include <mmreg.h>
#include <uuids.h>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;

namespace {

class MovieSessionRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  std::string Make(const std::string &name, const std::string &args) {
    const std::string path = (env.Dir() / name).string();
    const std::string command = "ffmpeg -nostdin -v error -y " + args + " '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  EngineEnvironment env;
};

TEST_F(MovieSessionRuntime, VideoAndSound_BothTracksFound) {
  const std::string file = Make("both.mov",
                                "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
                                "-c:v mjpeg -c:a pcm_s16le");
  CQTAVExtraction session(Wide(file).c_str());
  ASSERT_EQ(session.GetStatus(), 0);
  ASSERT_NE(session.GetVideoExtraction(), nullptr);
  ASSERT_NE(session.GetAudioExtraction(), nullptr);
  // Movie audio extraction speaks the movie's time scale: one second.
  EXPECT_EQ(session.GetAudioExtraction()->GetDuration(), session.GetAudioExtraction()->GetTimeScale());
}

TEST_F(MovieSessionRuntime, TwoVideoTracks_OnlyTheFirstIsUsed) {
  const std::string file = Make("two.mov",
                                "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 "
                                "-f lavfi -i testsrc=size=32x24:rate=10:duration=3 -map 0 -map 1 -c:v mjpeg");
  CQTAVExtraction session(Wide(file).c_str());
  ASSERT_EQ(session.GetStatus(), 0);
  IMediaExtraction *video = session.GetVideoExtraction();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(session.GetAudioExtraction(), nullptr);
  // The first track lasts one second, the second three.
  EXPECT_EQ(video->GetDuration(), video->GetTimeScale());
}

TEST_F(MovieSessionRuntime, SoundOnly_NoVideoObject_Status0) {
  const std::string file = Make("sound.mov", "-f lavfi -i sine=sample_rate=8000 -t 1 -c:a pcm_s16le");
  CQTAVExtraction session(Wide(file).c_str());
  EXPECT_EQ(session.GetStatus(), 0);
  EXPECT_EQ(session.GetVideoExtraction(), nullptr);
  EXPECT_NE(session.GetAudioExtraction(), nullptr);
}

TEST_F(MovieSessionRuntime, DamagedOrMissingFiles_NonZeroStatus_NoTracks) {
  const std::string good = Make("good.mov", "-f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mjpeg");
  std::ifstream in(good, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string noise(65536, '\0');
  std::mt19937 rng(99);
  for (char &c : noise) c = static_cast<char>(rng());
  const std::vector<std::string> files = {
      (env.Dir() / "absent.mov").string(),
      env.WriteFile("empty.mov", ""),
      env.WriteFile("truncated.mov", bytes.substr(0, bytes.size() / 3)),
      env.WriteFile("head.mov", bytes.substr(0, 40)),
      env.WriteFile("random.mov", noise),
  };
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    CQTAVExtraction session(Wide(file).c_str());
    EXPECT_NE(session.GetStatus(), 0);
    EXPECT_EQ(session.GetVideoExtraction(), nullptr);
    EXPECT_EQ(session.GetAudioExtraction(), nullptr);
  }
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
}

// Which tracks become track objects: the first video and the first sound
// track in file order, whatever else the movie holds and in whatever order;
// a track whose codec nothing decodes is left out and reported, and a movie
// with no track left does not open.
TEST_F(MovieSessionRuntime, TrackChoiceAndUndecodableTracks) {
  const std::string both =
      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
      "-c:v mjpeg -c:a pcm_s16le";
  // ffmpeg's MOV stores pcm_s16le as 'sowt'; the byte edits name codecs
  // nothing decodes in the one sample description that holds each code.
  const std::string withTimecode = Make("timecode.mov", both + " -timecode 01:00:00:00");
  const std::string soundFirst =
      Make("soundfirst.mov",
           "-f lavfi -i sine=sample_rate=8000:duration=1 -f lavfi -i testsrc=size=64x48:rate=10:duration=1 "
           "-f lavfi -i sine=sample_rate=16000:duration=2 -map 0 -map 1 -map 2 -c:v mjpeg -c:a pcm_s16le");
  const std::string plain = Make("plain.mov", both);
  const std::string videoOnly = Make("videoonly.mov", "-f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mjpeg");
  auto edited = [&](const std::string &from, const std::string &name, std::vector<std::string> codes) {
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string &code : codes) {
      const size_t at = bytes.find(code);
      EXPECT_NE(at, std::string::npos) << code;
      if (at != std::string::npos) bytes.replace(at, 4, "zzzz");
    }
    return env.WriteFile(name, bytes);
  };
  constexpr DWORD kZzzz = 0x7a7a7a7a;
  constexpr DWORD kVide = IAVExtraction::kVideoHandler, kSoun = IAVExtraction::kSoundHandler;
  struct Case {
    const char *name;
    std::string file;
    LONG status;
    bool video, audio;
    LONG sampleRate;             // of the sound track chosen, when there is one
    std::vector<DWORD> refused;  // handler, codec pairs
  } cases[] = {
      {"timecode track", withTimecode, 0, true, true, 8000, {}},
      {"sound before video", soundFirst, 0, true, true, 8000, {}},
      {"video undecodable", edited(plain, "v.mov", {"jpeg"}), 0, false, true, 8000, {kVide, kZzzz}},
      {"sound undecodable", edited(plain, "s.mov", {"sowt"}), 0, true, false, 0, {kSoun, kZzzz}},
      {"both undecodable",
       edited(plain, "vs.mov", {"jpeg", "sowt"}),
       noCodecErr,
       false,
       false,
       0,
       {kVide, kZzzz, kSoun, kZzzz}},
      {"only track undecodable", edited(videoOnly, "o.mov", {"jpeg"}), noCodecErr, false, false, 0, {kVide, kZzzz}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CQTAVExtraction session(Wide(c.file).c_str());
    EXPECT_EQ(session.GetStatus(), c.status);
    IMediaExtraction *video = session.GetVideoExtraction();
    IMediaExtraction *audio = session.GetAudioExtraction();
    EXPECT_EQ(video != nullptr, c.video);
    EXPECT_EQ(audio != nullptr, c.audio);
    if (video != nullptr) {
      // The first video track: 64 x 48, one second.
      VIDEOINFOHEADER info{};
      EXPECT_EQ(video->FillMediaInfo(&info, sizeof info, &MEDIASUBTYPE_RGB32), 0);
      EXPECT_EQ(info.bmiHeader.biWidth, 64);
      EXPECT_EQ(video->GetDuration(), video->GetTimeScale());
    }
    if (audio != nullptr) {
      WAVEFORMATEX format{};
      EXPECT_EQ(audio->FillMediaInfo(&format, sizeof format, nullptr), 0);
      EXPECT_EQ(static_cast<LONG>(format.nSamplesPerSec), c.sampleRate);
    }
    std::vector<DWORD> refused;
    IAVExtraction::RefusedTrack track{};
    for (ULONG i = 0; session.GetRefusedTrack(i, &track); ++i) {
      refused.push_back(track.handlerType);
      refused.push_back(track.codec);
    }
    EXPECT_EQ(refused, c.refused);
    EXPECT_EQ(session.GetRefusedTrackCount() * 2, refused.size());
  }
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
}

}  // namespace
