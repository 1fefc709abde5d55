// The filter's IAMStreamSelect on a movie with two sound tracks: the
// streams it lists, switching while stopped (the next run plays the new
// track) and while running (a flush, then the new track from where the old
// one was, in the same segment, its stamps going on), and the switches it
// refuses with the old track playing on.
#include <dshow.h>

#include <algorithm>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

// Silence in English, then a tone in French: after a switch, the samples
// show which track they came from. Both at 44.1 kHz, so the pin's type
// stays; a third track at 22.05 kHz is a new type.
std::string TwoLanguageMovie() {
  return Movie("languages.mov",
               "-f lavfi -i testsrc=size=64x48:rate=25:duration=4 "
               "-f lavfi -i anullsrc=r=44100:cl=stereo -f lavfi -i sine=frequency=660:sample_rate=44100 "
               "-f lavfi -i sine=frequency=880:sample_rate=22050 -map 0 -map 1 -map 2 -map 3 -t 4 "
               "-c:v libx264 -g 25 -pix_fmt yuv420p -c:a pcm_s16le -ac 2 "
               "-metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -metadata:s:a:2 language=spa");
}

bool Silent(const ReceivedSample &s) {
  return std::all_of(s.data.begin(), s.data.end(), [](BYTE b) { return b == 0; });
}

class StreamSelectTest : public FilterTest {
 protected:
  IAMStreamSelect *Select() {
    IAMStreamSelect *select = nullptr;
    filter->NonDelegatingQueryInterface(IID_IAMStreamSelect, reinterpret_cast<void **>(&select));
    if (select) select->Release();  // the test holds the filter
    return select;
  }
  std::basic_string<WCHAR> Name(LONG index, DWORD *flags, LCID *lcid, DWORD *group) {
    WCHAR *name = nullptr;
    AM_MEDIA_TYPE *type = nullptr;
    IUnknown *object = nullptr;
    EXPECT_EQ(Select()->Info(index, &type, flags, lcid, group, &name, &object, nullptr), S_OK);
    std::basic_string<WCHAR> text = name ? name : TEXT("");
    CoTaskMemFree(name);
    if (type) DeleteMediaType(type);
    if (object) object->Release();
    return text;
  }
  LONG AudioRate() {
    CMediaType mt;
    Audio()->GetMediaType(0, &mt);
    return reinterpret_cast<const WAVEFORMATEX *>(mt.Format())->nSamplesPerSec;
  }
};

TEST_F(StreamSelectTest, Streams_NamedByLanguageAndCodec_SwitchedWhileStopped) {
  ASSERT_FALSE(TwoLanguageMovie().empty());
  ASSERT_EQ(Load(TwoLanguageMovie()), S_OK);
  IAMStreamSelect *select = Select();
  ASSERT_NE(select, nullptr);
  DWORD count = 0;
  ASSERT_EQ(select->Count(&count), S_OK);
  ASSERT_EQ(count, 4u);
  struct Expected {
    const WCHAR *name;
    LCID lcid;
    DWORD group;
    bool selected;
  } expected[] = {{TEXT("Unknown (H.264, 64x48)"), 0, 0, true},
                  {TEXT("English (sowt, 2 ch)"), 0x0409, 1, true},
                  {TEXT("French (sowt, 2 ch)"), 0x040C, 1, false},
                  {TEXT("Spanish (sowt, 2 ch)"), 0x0C0A, 1, false}};
  for (LONG i = 0; i < 4; ++i) {
    DWORD flags = 0, group = 9;
    LCID lcid = 1;
    EXPECT_EQ(Name(i, &flags, &lcid, &group), expected[i].name) << i;
    EXPECT_EQ(lcid, expected[i].lcid) << i;
    EXPECT_EQ(group, expected[i].group) << i;
    EXPECT_EQ((flags & AMSTREAMSELECTINFO_ENABLED) != 0, expected[i].selected) << i;
  }
  EXPECT_EQ(select->Info(4, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(select->Enable(7, AMSTREAMSELECTENABLE_ENABLE), E_INVALIDARG);
  EXPECT_EQ(select->Enable(2, 0), E_NOTIMPL);
  EXPECT_EQ(select->Enable(2, AMSTREAMSELECTENABLE_ENABLEALL), E_NOTIMPL);
  EXPECT_EQ(select->Enable(1, AMSTREAMSELECTENABLE_ENABLE), S_OK);  // already playing

  // Stopped: the pin offers the new track's type, and the run plays it.
  EXPECT_EQ(AudioRate(), 44100);
  ASSERT_EQ(select->Enable(3, AMSTREAMSELECTENABLE_ENABLE), S_OK);
  EXPECT_EQ(AudioRate(), 22050);
  ASSERT_EQ(select->Enable(2, AMSTREAMSELECTENABLE_ENABLE), S_OK);
  EXPECT_EQ(AudioRate(), 44100);
  DWORD flags = 0;
  Name(2, &flags, nullptr, nullptr);
  EXPECT_TRUE(flags & AMSTREAMSELECTINFO_ENABLED);
  Name(1, &flags, nullptr, nullptr);
  EXPECT_FALSE(flags & AMSTREAMSELECTINFO_ENABLED);

  peers[1]->keepData = true;
  ASSERT_EQ(ConnectAudio(), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[1]->WaitForReceived(5));
  filter->Stop();
  const std::vector<ReceivedSample> got = peers[1]->Received();
  EXPECT_EQ(got.front().start, 0);
  EXPECT_TRUE(std::none_of(got.begin(), got.end(), Silent));
}

TEST_F(StreamSelectTest, Enable_WhileRunning_FlushesAndGoesOnFromTheSamePlace) {
  ASSERT_EQ(Load(TwoLanguageMovie()), S_OK);
  IAMStreamSelect *select = Select();
  // The peer holds each sample (one buffer): the worker waits for the test
  // before it fills the next, so the switch lands while the stream runs.
  peers[1]->keepData = true;
  peers[1]->holdSamples = true;
  ASSERT_EQ(ConnectAudio(), S_OK);
  const REFERENCE_TIME block = 500000;  // one twentieth of a second
  auto step = [&](size_t n) {
    for (size_t k = peers[1]->Received().size(); k < n; ++k) {
      peers[1]->ReleaseHeld();
      if (!peers[1]->WaitForReceived(k + 1)) return false;
    }
    return true;
  };
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[1]->WaitForReceived(1));
  ASSERT_TRUE(step(4));

  // A new type that downstream refuses: the old track plays on.
  peers[1]->queryAcceptResult = S_FALSE;
  EXPECT_EQ(select->Enable(3, AMSTREAMSELECTENABLE_ENABLE), VFW_E_TYPE_NOT_ACCEPTED);
  DWORD flags = 0;
  Name(1, &flags, nullptr, nullptr);
  EXPECT_TRUE(flags & AMSTREAMSELECTINFO_ENABLED);

  const size_t before = peers[1]->Received().size();
  ASSERT_EQ(select->Enable(2, AMSTREAMSELECTENABLE_ENABLE), S_OK);
  ASSERT_TRUE(peers[1]->WaitForReceived(before + 1));
  ASSERT_TRUE(step(before + 6));
  peers[1]->ReleaseHeld();
  filter->Stop();

  const std::vector<ReceivedSample> got = peers[1]->Received();
  const auto first = std::find_if(got.begin(), got.end(), [](const ReceivedSample &s) { return !Silent(s); });
  ASSERT_NE(first, got.end());
  ASSERT_NE(first, got.begin());
  // Silence up to the switch, the tone from the first sample after it on.
  EXPECT_TRUE(std::all_of(got.begin(), first, Silent));
  EXPECT_TRUE(std::none_of(first, got.end(), Silent));
  // The stamps go on where the old track's left off: at most one buffer
  // (the one the flush took) is skipped, and none repeats.
  const REFERENCE_TIME gap = first->start - (first - 1)->stop;
  EXPECT_GE(gap, 0);
  EXPECT_LE(gap, block);
  EXPECT_TRUE(first->discontinuity);
  for (auto it = got.begin() + 1; it != got.end(); ++it) {
    if (it != first) {
      EXPECT_EQ(it->start, (it - 1)->stop);
    }
  }
  // The same segment: the switch announced no new start.
  for (const ReceivedSegment &s : peers[1]->Segments()) EXPECT_EQ(s.start, 0);
}

}  // namespace
}  // namespace tp::test
