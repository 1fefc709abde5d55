// The grabber on a playing filter: the host's callback sees every sample both
// pins deliver, in order, with formatChanged on the first frame after each
// start of extraction; the record's copy, read back from the documented
// offsets, holds exactly what the pin delivered, also when the track's
// matrix turns the picture on its way into the pin's buffer.
#include <mutex>
#include <tuple>

#include <tidepool/Tidepool.h>

#include "FilterTestSupport.h"
#include "RecordReader.h"

namespace tp::test {
namespace {

struct Grabbed {
  LONG formatChanged;
  LONG copyResult;
  filtertest::RecordView record;
};

struct Host {
  std::mutex mutex;                 // the two pins call at the same time
  std::vector<Grabbed> samples[2];  // [isAudio]
};

void STDMETHODCALLTYPE OnSample(LONG isAudio, IQuillSampleRecord *record, LONG formatChanged, LONG_PTR user1,
                                LONG_PTR) {
  std::vector<BYTE> buffer(4096 + 176 * 144 * 4);
  const LONG result = record->CopyTo(buffer.data(), static_cast<unsigned>(buffer.size()));
  auto *host = reinterpret_cast<Host *>(user1);
  std::lock_guard<std::mutex> lock(host->mutex);
  host->samples[isAudio != 0].push_back({formatChanged, result, filtertest::ReadRecord(buffer)});
}

class GrabberPlayback : public FilterTest, public ::testing::WithParamInterface<std::tuple<GUID, bool>> {
 protected:
  // Runs both pins to their end and checks what the host saw against what
  // the peers got.
  void PlayAndCompare(Host *host, const GUID &subtype) {
    for (auto &side : host->samples) side.clear();
    for (TestInputPin *peer : peers) peer->ClearReceived();
    const int ends = peers[0]->EndOfStreamCount() + 1;
    ASSERT_EQ(filter->Run(0), S_OK);
    ASSERT_TRUE(peers[0]->WaitForEndOfStream(ends));
    ASSERT_TRUE(peers[1]->WaitForEndOfStream(ends));
    ASSERT_EQ(filter->Stop(), S_OK);

    CMediaType audioType;
    ASSERT_EQ(Audio()->GetMediaType(0, &audioType), S_OK);
    for (int audio = 0; audio < 2; ++audio) {
      SCOPED_TRACE(audio ? "audio" : "video");
      const auto delivered = peers[audio]->Received();
      const auto &grabbed = host->samples[audio];
      ASSERT_GT(delivered.size(), 5u);
      ASSERT_EQ(grabbed.size(), delivered.size());
      for (size_t i = 0; i < delivered.size(); ++i) {
        SCOPED_TRACE(i);
        const filtertest::RecordView &r = grabbed[i].record;
        ASSERT_EQ(grabbed[i].copyResult, 0);
        EXPECT_EQ(grabbed[i].formatChanged, !audio && i == 0 ? 1 : 0);
        EXPECT_EQ(r.isAudio, audio);
        EXPECT_EQ(r.startMs, static_cast<double>(delivered[i].start / 10000));
        EXPECT_EQ(r.subtype, audio ? MEDIASUBTYPE_PCM : subtype);
        if (audio) {
          EXPECT_EQ(r.formatType, FORMAT_WaveFormatEx);
          EXPECT_EQ(r.format, std::vector<BYTE>(audioType.Format(), audioType.Format() + 18));
        } else {
          EXPECT_EQ(r.formatType, FORMAT_VideoInfo);
        }
        // Rows of the test movie fill whole DWORDs and the planar pin packs
        // its planes, so the tight image is the delivered sample.
        EXPECT_TRUE(r.data == delivered[i].data) << "the copy is not the delivered sample";
      }
    }
  }
};

TEST_P(GrabberPlayback, HostSeesEveryDeliveredSample_CopyHoldsIt) {
  const auto [subtype, turned] = GetParam();
  // A quarter turn: 144 x 176 pictures. ffmpeg writes the matrix of the
  // "rotate" tag when it copies the stream.
  const std::string movie =
      turned ? Movie("av_turned.mp4", "-i " + ff::ShellQuote(AvMovie()) + " -c copy -metadata:s:v:0 rotate=90")
             : AvMovie();
  ASSERT_EQ(Load(movie), S_OK);
  CMediaType offered;
  ASSERT_EQ(Video()->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER *>(offered.Format())->bmiHeader.biWidth, turned ? 144 : 176);
  IQuillSampleGrabber *grabber = nullptr;
  const HRESULT answer =
      filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, reinterpret_cast<void **>(&grabber));
  ASSERT_EQ(answer, S_OK);
  Host host;
  ASSERT_EQ(grabber->SetCallback(&OnSample, reinterpret_cast<LONG_PTR>(&host), 0), S_OK);
  peers[0]->keepData = peers[1]->keepData = true;
  ASSERT_EQ(ConnectVideo(subtype), S_OK);
  ASSERT_EQ(ConnectAudio(), S_OK);
  {
    SCOPED_TRACE("first start");
    PlayAndCompare(&host, subtype);
  }
  // A new output type starts extraction again: formatChanged once more.
  const GUID other = subtype == MEDIASUBTYPE_RGB32 ? MEDIASUBTYPE_YV12 : MEDIASUBTYPE_RGB32;
  ASSERT_EQ(Video()->Disconnect(), S_OK);
  peers[0]->Disconnect();
  ASSERT_EQ(ConnectVideo(other), S_OK);
  LONGLONG zero = 0;
  ASSERT_EQ(Seeking(Audio())->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
            S_OK);
  SCOPED_TRACE("after reconnection");
  PlayAndCompare(&host, other);
}

INSTANTIATE_TEST_SUITE_P(Seven, GrabberPlayback,
                         ::testing::Combine(::testing::ValuesIn(SevenSubtypes()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<GUID, bool>> &info) {
                           return "subtype" + std::to_string(info.index / 2) +
                                  (std::get<1>(info.param) ? "_turned" : "");
                         });

}  // namespace
}  // namespace tp::test
