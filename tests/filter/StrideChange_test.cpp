// A renderer that moves to a surface of its own widens the rows mid-stream,
// as Windows' video renderers do: it asks the video pin's QueryAccept for
// the connected type at a wider biWidth, then attaches that type to the next
// buffer it hands out. From that buffer on, every frame must be the
// engine's picture laid out at the new stride; the types the pin must
// refuse while connected leave the frames as they were.
#include <cstring>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

// The downstream pin of such a renderer: its own allocator hands out
// buffers big enough for the wider rows, and after `widenAfter` samples it
// asks for `wide` and, when the pin agrees, attaches it to the next buffer.
class WideningPeer final : public TestInputPin {
 public:
  size_t widenAfter = 5;
  AM_MEDIA_TYPE wide{};  // format block owned by the test
  HRESULT queryResult = E_FAIL;

  STDMETHODIMP Receive(IMediaSample *pSample) override {
    const HRESULT hr = TestInputPin::Receive(pSample);
    if (++m_received == widenAfter) {
      IPin *source = Connector();
      // Renderers ask from their streaming thread, as here.
      queryResult = source ? source->QueryAccept(&wide) : E_FAIL;
      if (queryResult == S_OK && OwnAllocator()) OwnAllocator()->AttachToNextBuffer(wide);
    }
    return hr;
  }

 private:
  size_t m_received = 0;  // streaming thread only
};

struct Layout {
  bool planar;
  int bitsPerPixel;
};

Layout LayoutOf(const GUID &subtype) {
  if (IsEqualGUID(subtype, MEDIASUBTYPE_YV12) || IsEqualGUID(subtype, MEDIASUBTYPE_I420)) return {true, 12};
  if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB32)) return {false, 32};
  if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB24)) return {false, 24};
  return {false, 16};  // YUY2, RGB555, RGB565
}

LONG BitmapRow(int bitsPerPixel, LONG pixels) { return (bitsPerPixel * pixels + 31) / 32 * 4; }

// The bytes of a picture of width x height at rows `stride` pixels apart,
// with each row's picture bytes compared against `frame` (laid out at the
// picture's own width). Padding is not compared. Empty when equal, else
// where the first difference lies.
std::string CompareAtStride(const std::vector<BYTE> &got, const std::vector<BYTE> &frame, const GUID &subtype,
                            LONG width, LONG height, LONG stride) {
  const Layout layout = LayoutOf(subtype);
  struct Plane {
    size_t from, to;  // offsets of the first row in frame and in got
    LONG rowBytes, fromPitch, toPitch, rows;
  };
  std::vector<Plane> planes;
  if (layout.planar) {
    const size_t luma = static_cast<size_t>(width) * height, wideLuma = static_cast<size_t>(stride) * height;
    const size_t chroma = luma / 4, wideChroma = static_cast<size_t>(stride / 2) * (height / 2);
    planes.push_back({0, 0, width, width, stride, height});
    planes.push_back({luma, wideLuma, width / 2, width / 2, stride / 2, height / 2});
    planes.push_back({luma + chroma, wideLuma + wideChroma, width / 2, width / 2, stride / 2, height / 2});
  } else {
    const LONG row = BitmapRow(layout.bitsPerPixel, width);
    planes.push_back({0, 0, width * layout.bitsPerPixel / 8, row, BitmapRow(layout.bitsPerPixel, stride), height});
  }
  for (size_t p = 0; p < planes.size(); ++p) {
    const Plane &pl = planes[p];
    for (LONG r = 0; r < pl.rows; ++r) {
      const size_t a = pl.from + static_cast<size_t>(r) * pl.fromPitch, b = pl.to + static_cast<size_t>(r) * pl.toPitch;
      if (a + pl.rowBytes > frame.size() || b + pl.rowBytes > got.size())
        return "plane " + std::to_string(p) + " short";
      if (std::memcmp(frame.data() + a, got.data() + b, static_cast<size_t>(pl.rowBytes)) != 0)
        return "plane " + std::to_string(p) + " row " + std::to_string(r);
    }
  }
  return {};
}

// What the renderer proposes: the connected type with wider rows, or a
// change the pin must refuse while connected.
enum class Proposal { Wider, Narrower, Taller, Cropped, OddRows, OtherSubtype };

struct Case {
  const char *name;
  bool turned;  // a movie whose track matrix turns it a quarter
  GUID subtype;
  Proposal proposal;
};

// ffmpeg writes the track matrix from the "rotate" tag when it copies.
std::string TurnedMovie() {
  const std::string stored = VideoOnlyMovie();
  if (stored.empty()) return {};
  return Movie("turned.mp4", "-i " + ff::ShellQuote(stored) + " -c copy -metadata:s:v:0 rotate=90");
}

LONG ImageBytes(const GUID &subtype, LONG stride, LONG height) {
  const Layout layout = LayoutOf(subtype);
  return layout.planar ? stride * height * 3 / 2 : BitmapRow(layout.bitsPerPixel, stride) * height;
}

class StrideChangeTest : public FilterTest, public ::testing::WithParamInterface<Case> {
 protected:
  // The video pin's own type in subtype.
  bool OfferedType(const GUID &subtype, CMediaType *mt) {
    for (int i = 0; Video() && Video()->GetMediaType(i, mt) == S_OK; ++i) {
      if (IsEqualGUID(*mt->Subtype(), subtype)) return true;
    }
    return false;
  }
};

TEST_P(StrideChangeTest, Frames_AtTheAcceptedStrideFromTheMarkedBufferOn) {
  const Case &c = GetParam();
  const std::string file = c.turned ? TurnedMovie() : VideoOnlyMovie();
  ASSERT_FALSE(file.empty());
  const TrackOutput engine = EngineOutput(file, true, c.subtype);
  ASSERT_GT(engine.samples.size(), 10u);

  ASSERT_EQ(Load(file), S_OK);
  CMediaType connected;
  ASSERT_TRUE(OfferedType(c.subtype, &connected));
  VIDEOINFOHEADER info;
  std::memcpy(&info, connected.Format(), sizeof info);
  const LONG width = info.bmiHeader.biWidth, height = info.bmiHeader.biHeight;
  if (c.turned) {
    ASSERT_EQ(width, 144);  // the displayed width: the turn was applied
  }

  const LONG stride = width + (c.proposal == Proposal::OddRows ? 33 : 64);
  CMediaType wide(connected);
  VIDEOINFOHEADER proposed = info;
  proposed.bmiHeader.biWidth = stride;
  proposed.bmiHeader.biSizeImage = static_cast<DWORD>(ImageBytes(c.subtype, stride, height));
  proposed.rcSource = proposed.rcTarget = RECT{0, 0, width, height};
  switch (c.proposal) {
    case Proposal::Narrower:
      proposed.bmiHeader.biWidth = width - 16;
      break;
    case Proposal::Taller:
      proposed.bmiHeader.biHeight = height + 16;
      break;
    case Proposal::Cropped:
      proposed.rcSource.right = proposed.rcTarget.right = width / 2;
      break;
    case Proposal::OtherSubtype:
      wide.SetSubtype(IsEqualGUID(c.subtype, MEDIASUBTYPE_RGB24) ? &MEDIASUBTYPE_RGB32 : &MEDIASUBTYPE_RGB24);
      break;
    default:
      break;
  }
  ASSERT_TRUE(wide.SetFormat(reinterpret_cast<const BYTE *>(&proposed), sizeof proposed));
  const bool accepted = c.proposal == Proposal::Wider;

  auto *peer = new WideningPeer;
  peer->keepData = true;
  peer->allocatorMode = TestInputPin::AllocatorMode::Own;
  peer->ownAllocatorGrantAtLeast = ImageBytes(c.subtype, stride, height);
  peer->wide = wide;
  peers[0]->Release();
  peers[0] = peer;
  ASSERT_EQ(Video()->Connect(peer, &connected), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peer->WaitForEndOfStream());

  EXPECT_EQ(peer->queryResult, accepted ? S_OK : S_FALSE);
  const auto got = peer->Received();
  ASSERT_GT(got.size(), peer->widenAfter + 3);
  const size_t natural = static_cast<size_t>(info.bmiHeader.biSizeImage);
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<BYTE> &expected = engine.samples[i].bytes;
    if (accepted && i >= peer->widenAfter) {
      EXPECT_EQ(CompareAtStride(got[i].data, expected, c.subtype, width, height, stride), "");
    } else {
      ASSERT_GE(got[i].data.size(), natural);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got[i].data.begin())) << "frame bytes differ";
    }
  }
}

const Case kCases[] = {
    {"YV12", false, MEDIASUBTYPE_YV12, Proposal::Wider},
    {"YUY2", false, MEDIASUBTYPE_YUY2, Proposal::Wider},
    {"I420", false, MEDIASUBTYPE_I420, Proposal::Wider},
    {"RGB32", false, MEDIASUBTYPE_RGB32, Proposal::Wider},
    {"RGB24", false, MEDIASUBTYPE_RGB24, Proposal::Wider},
    {"RGB555", false, MEDIASUBTYPE_RGB555, Proposal::Wider},
    {"RGB565", false, MEDIASUBTYPE_RGB565, Proposal::Wider},
    // A quarter turn draws through the turning copy instead.
    {"TurnedYV12", true, MEDIASUBTYPE_YV12, Proposal::Wider},
    {"TurnedYUY2", true, MEDIASUBTYPE_YUY2, Proposal::Wider},
    {"TurnedRGB24", true, MEDIASUBTYPE_RGB24, Proposal::Wider},
    // Refused while connected: the frames stay as connected.
    {"Narrower", false, MEDIASUBTYPE_RGB32, Proposal::Narrower},
    {"Taller", false, MEDIASUBTYPE_YUY2, Proposal::Taller},
    {"Cropped", false, MEDIASUBTYPE_I420, Proposal::Cropped},
    {"OddRowsIn420", false, MEDIASUBTYPE_YV12, Proposal::OddRows},
    {"OtherSubtype", false, MEDIASUBTYPE_YV12, Proposal::OtherSubtype},
};

INSTANTIATE_TEST_SUITE_P(Renderers, StrideChangeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::test
