// The movie session against the real runtime, on movies made by the ffmpeg
// command line and on damaged files.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
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

}  // namespace
