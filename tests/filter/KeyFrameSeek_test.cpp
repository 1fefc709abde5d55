// IMediaSeeking::SetPositions with AM_SEEKING_SeekToKeyFrame on the pins: the
// video pin starts at the sync sample whose picture shows at or before the
// target (with AM_SEEKING_ReturnTime, that time comes back), the first
// frame delivered is that key frame's; the audio pin, every block of which
// is a key frame, starts at the target itself.
#include "FilterTestSupport.h"

namespace tp::test {
namespace {

// Key frames every second (25 frames), B-frames between them.
std::string KeyFrameMovie() {
  return Movie("keyframes.mp4",
               "-f lavfi -i testsrc=size=64x48:rate=25:duration=4 -f lavfi -i sine=sample_rate=8000:duration=4 "
               "-c:v libx264 -bf 2 -g 25 -keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac");
}

class KeyFrameSeekTest : public FilterTest {};

TEST_F(KeyFrameSeekTest, SetPositions_KeyFrameAtOrBefore_ReturnedAndDelivered) {
  ASSERT_FALSE(KeyFrameMovie().empty());
  ASSERT_EQ(Load(KeyFrameMovie()), S_OK);
  IMediaSeeking *video = Seeking(Video());
  IMediaSeeking *audio = Seeking(Audio());
  ASSERT_TRUE(video && audio);
  const REFERENCE_TIME second = 10000000;
  struct Case {
    REFERENCE_TIME target, keyFrame;
  } cases[] = {{0, 0},
               {second / 2, 0},
               {second, second},
               {second * 17 / 10, second},
               {second * 3 - 1, second * 2},
               {second * 3 + second / 2, second * 3}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    LONGLONG at = c.target;
    ASSERT_EQ(
        video->SetPositions(&at, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame | AM_SEEKING_ReturnTime,
                            nullptr, AM_SEEKING_NoPositioning),
        S_OK);
    EXPECT_EQ(at, c.keyFrame);
    LONGLONG start = -1;
    video->GetPositions(&start, nullptr);
    EXPECT_EQ(start, c.keyFrame);
    // Without the flag, or on the sound, the target itself.
    at = c.target;
    ASSERT_EQ(
        audio->SetPositions(&at, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame | AM_SEEKING_ReturnTime,
                            nullptr, AM_SEEKING_NoPositioning),
        S_OK);
    EXPECT_EQ(at, c.target);
  }
  LONGLONG at = second * 17 / 10;
  ASSERT_EQ(video->SetPositions(&at, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime, nullptr,
                                AM_SEEKING_NoPositioning),
            S_OK);
  EXPECT_EQ(at, second * 17 / 10);

  // Played from a key-frame seek: the first frame is the key frame's, as
  // the engine decodes it at that time.
  at = second * 17 / 10;
  ASSERT_EQ(video->SetPositions(&at, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr,
                                AM_SEEKING_NoPositioning),
            S_OK);
  peers[0]->keepData = true;
  ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_I420), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[0]->WaitForReceived(1));
  filter->Stop();
  const ReceivedSample first = peers[0]->Received().front();
  EXPECT_EQ(first.start, 0);
  const TrackOutput engine = EngineOutput(KeyFrameMovie(), true, MEDIASUBTYPE_I420);
  const auto key = std::find_if(engine.samples.begin(), engine.samples.end(),
                                [&](const TrackSample &s) { return ExactTime(s.start, engine.timeScale) == second; });
  ASSERT_NE(key, engine.samples.end());
  EXPECT_TRUE(first.data == key->bytes);
}

}  // namespace
}  // namespace tp::test
