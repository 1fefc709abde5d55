// Load's result for every kind of file it cannot open, and what the pins do
// with a file whose data goes missing while they stream: each row's HRESULT,
// no pins after a failure and a second Load that works; a movie that plays
// ends every connected pin; a read that fails mid-stream ends both pins
// without an end of stream and raises EC_ERRORABORT with the cause. Under
// the asan preset nothing is read or written out of bounds.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>

#include <evcode.h>
#include <tidepool/Tidepool.h>
#include <vfwmsgs.h>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

// Where a box's payload lies in an ISO file.
struct Box {
  size_t payload = 0;
  size_t size = 0;  // payload bytes
};

uint32_t Be32(const std::vector<uint8_t> &b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

void PutBe32(std::vector<uint8_t> *b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The first box at the end of `path` (e.g. {"moov", "trak", "mdia", "minf",
// "stbl", "stco"}), taking the n-th match of the second name (the track).
bool FindBox(const std::vector<uint8_t> &b, const std::vector<std::string> &path, int track, Box *out) {
  size_t begin = 0, end = b.size();
  for (size_t level = 0; level < path.size(); ++level) {
    int skip = level == 1 ? track : 0;
    bool found = false;
    for (size_t at = begin; at + 8 <= end;) {
      const size_t size = Be32(b, at);
      if (size < 8 || at + size > end) return false;
      if (std::string(b.begin() + at + 4, b.begin() + at + 8) == path[level] && skip-- == 0) {
        begin = at + 8;
        end = at + size;
        found = true;
        break;
      }
      at += size;
    }
    if (!found) return false;
  }
  *out = {begin, end - begin};
  return true;
}

const std::vector<std::string> kTable = {"moov", "trak", "mdia", "minf", "stbl"};

// Entry i of a track's chunk offset or sample size table ('stco' / 'stsz').
bool TableEntry(const std::vector<uint8_t> &b, int track, const char *name, size_t *at, uint32_t *count) {
  std::vector<std::string> path = kTable;
  path.push_back(name);
  Box box;
  if (!FindBox(b, path, track, &box)) return false;
  const bool sizes = std::string(name) == "stsz";
  const size_t header = sizes ? 12 : 8;  // version/flags, [sample size,] count
  if (box.size < header) return false;
  if (sizes && Be32(b, box.payload + 4) != 0) return false;  // one size for all: no table
  *count = Be32(b, box.payload + header - 4);
  *at = box.payload + header;
  return *count > 0 && *at + size_t(*count) * 4 <= box.payload + box.size;
}

using Edit = std::function<bool(std::vector<uint8_t> *bytes)>;

bool CutInSampleData(std::vector<uint8_t> *b) {
  Box mdat;
  if (!FindBox(*b, {"mdat"}, 0, &mdat)) return false;
  b->resize(mdat.payload + mdat.size / 2 + 7);
  return true;
}

// Offset of the middle of the movie's sample data.
size_t MiddleOfSampleData(const std::vector<uint8_t> &b) {
  Box mdat;
  return FindBox(b, {"mdat"}, 0, &mdat) ? mdat.payload + mdat.size / 2 : 0;
}

// What happens once a loaded movie streams.
enum class Play {
  kNone,     // it does not load
  kToEnd,    // every connected pin reaches its end of stream
  kAborted,  // its data fails mid-stream: EC_ERRORABORT with `fault`, no end of stream
};

constexpr HRESULT kEither = 1;  // S_OK or E_ACCESSDENIED (root reads anything)

struct Damage {
  const char *name;
  Edit edit;  // on the movie's bytes; null: `place` makes the path itself
  std::function<bool(const std::string &path)> place;
  HRESULT load;  // Load's result
  Play play;
  // Once loaded: the file is cut in its sample data, or (with `inject`)
  // the data-file layer's fault seam fails reads from its middle on.
  bool cutAfterLoad = false;
  const char *inject = nullptr;  // "eof" or "io"
  HRESULT fault = S_OK;          // the EC_ERRORABORT's cause
};

// The movie codecs.mov with its codec names replaced by one nothing decodes.
Edit Unplayable(std::vector<std::string> codes) {
  return [codes](std::vector<uint8_t> *b) {
    std::string text(b->begin(), b->end());
    for (const std::string &code : codes) {
      const size_t at = text.find(code);
      if (at == std::string::npos) return false;
      text.replace(at, 4, "zzzz");
    }
    b->assign(text.begin(), text.end());
    return true;
  };
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const HRESULT kCutShort = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
const HRESULT kReadFault = HRESULT_FROM_WIN32(ERROR_READ_FAULT);

const Damage kDamages[] = {
    // The runtime checks the sample table against the file when it opens
    // it, so a file cut short, or with offsets past its end, does not open.
    {"TruncatedInSampleData", CutInSampleData, nullptr, VFW_E_INVALID_FILE_FORMAT, Play::kNone},
    {"ChunkOffsetsPastEnd",
     [](std::vector<uint8_t> *b) {
       for (int track = 0; track < 2; ++track) {
         size_t at = 0;
         uint32_t count = 0;
         if (!TableEntry(*b, track, "stco", &at, &count)) return false;
         for (uint32_t i = count / 2; i < count; ++i) PutBe32(b, at + 4 * i, 0x7ffffff0u - i);
       }
       return true;
     },
     nullptr, VFW_E_INVALID_FILE_FORMAT, Play::kNone},
    {"TruncatedMovieBox", [](std::vector<uint8_t> *b) { return b->resize(b->size() > 600 ? 600 : 0), true; }, nullptr,
     VFW_E_INVALID_FILE_FORMAT, Play::kNone},
    {"EmptyFile", [](std::vector<uint8_t> *b) { return b->clear(), true; }, nullptr, VFW_E_UNKNOWN_FILE_TYPE,
     Play::kNone},
    {"RandomBytes",
     [](std::vector<uint8_t> *b) {
       uint32_t x = 12345;
       for (uint8_t &byte : *b) byte = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
       return true;
     },
     nullptr, VFW_E_UNKNOWN_FILE_TYPE, Play::kNone},
    {"Directory", nullptr, [](const std::string &p) { return std::filesystem::create_directory(p); }, kNotFound,
     Play::kNone},
    {"Missing", nullptr, [](const std::string &) { return true; }, kNotFound, Play::kNone},
    // Root reads it anyway; either way the load must end cleanly.
    {"Unreadable", [](std::vector<uint8_t> *) { return true; },
     [](const std::string &p) { return ::chmod(p.c_str(), 0) == 0; }, kEither, Play::kToEnd},
    {"NoDecoderForAnyTrack", Unplayable({"jpeg", "sowt"}), nullptr, VFW_E_UNSUPPORTED_VIDEO, Play::kNone},
    {"NoDecoderForTheOnlySound", Unplayable({"sowt"}), nullptr, VFW_E_UNSUPPORTED_AUDIO, Play::kNone},
    {"NoVideoOrSoundTrack", nullptr, nullptr, VFW_E_UNSUPPORTED_STREAM, Play::kNone},
    // Damage inside the data plays on.
    {"ZeroSizeSample",
     [](std::vector<uint8_t> *b) {
       size_t at = 0;
       uint32_t count = 0;
       if (!TableEntry(*b, 0, "stsz", &at, &count)) return false;
       PutBe32(b, at + 4 * (count / 2), 0);
       return true;
     },
     nullptr, S_OK, Play::kToEnd},
    {"CorruptFrameInTheMiddle",
     [](std::vector<uint8_t> *b) {
       size_t at = 0;
       uint32_t count = 0;
       if (!TableEntry(*b, 0, "stco", &at, &count)) return false;
       const size_t frame = Be32(*b, at + 4 * (count / 2));
       for (size_t i = frame + 4; i < frame + 260 && i < b->size(); ++i) (*b)[i] = static_cast<uint8_t>(i * 37);
       return true;
     },
     nullptr, S_OK, Play::kToEnd},
    // Data that goes missing while the pins stream is no end of the movie.
    {"TruncatedWhileLoaded", nullptr, nullptr, S_OK, Play::kAborted, true, nullptr, kCutShort},
    {"ShortReadsInjected", nullptr, nullptr, S_OK, Play::kAborted, false, "eof", kCutShort},
    {"ReadErrorsInjected", nullptr, nullptr, S_OK, Play::kAborted, false, "io", kReadFault},
};

// The movie a row damages.
std::string SourceFor(const Damage &d) {
  const std::string name = d.name;
  if (name.rfind("NoDecoder", 0) == 0) {
    return Movie(name == "NoDecoderForTheOnlySound" ? "sound.mov" : "codecs.mov",
                 name == "NoDecoderForTheOnlySound"
                     ? "-f lavfi -i sine=sample_rate=8000 -t 1 -c:a pcm_s16le"
                     : "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
                       "-c:v mjpeg -c:a pcm_s16le");
  }
  if (name == "NoVideoOrSoundTrack") {
    static ff::TempDir subtitles;
    const std::string srt = subtitles.File("text.srt");
    if (!ff::WriteFileBytes(
            srt, {'1', '\n', '0', '0', ':', '0', '0', ':', '0', '0', ',', '0', '0', '0',  ' ', '-', '-',  '>',
                  ' ', '0',  '0', ':', '0', '0', ':', '0', '1', ',', '0', '0', '0', '\n', 'h', 'i', '\n', '\n'}))
      return {};
    return Movie("text.mov", "-i " + ff::ShellQuote(srt) + " -c:s mov_text");
  }
  return Movie("faststart.mp4",
               "-f lavfi -i testsrc=size=176x144:rate=25:duration=2 "
               "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
               "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -movflags +faststart");
}

class DamagedFiles : public FilterTest, public ::testing::WithParamInterface<Damage> {
 protected:
  void TearDown() override {
    unsetenv("TP_DATAFILE_FAULT");
    FilterTest::TearDown();
  }
};

TEST_P(DamagedFiles, LoadSaysWhy_ThePinsEndOrAbort) {
  const Damage &d = GetParam();
  const std::string source = SourceFor(d);
  ASSERT_FALSE(source.empty());
  ff::TempDir dir;
  const std::string path = dir.File(std::string("damaged") + std::filesystem::path(source).extension().string());
  std::vector<uint8_t> bytes = ff::ReadFileBytes(source);
  ASSERT_TRUE(!d.edit || d.edit(&bytes)) << "the movie does not have the boxes to damage";
  if (!d.place || d.edit) {
    ASSERT_TRUE(ff::WriteFileBytes(path, bytes));
  }
  if (d.place) {
    ASSERT_TRUE(d.place(path));
  }
  if (d.inject) {
    const std::string fault = std::string(d.inject) + "@" + std::to_string(MiddleOfSampleData(bytes));
    setenv("TP_DATAFILE_FAULT", fault.c_str(), 1);
  }

  TraceLines trace;
  const HRESULT hr = Load(path);
  if (d.load == kEither) {
    EXPECT_TRUE(hr == S_OK || hr == E_ACCESSDENIED) << std::hex << hr;
  } else {
    EXPECT_EQ(hr, d.load) << std::hex << hr;
  }
  if (FAILED(hr)) {
    EXPECT_EQ(filter->GetPinCount(), 0);
    const auto lines = trace.Take();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string &l) {
                             return l.rfind("QT decoder initialized failed(", 0) == 0 ||
                                    l.rfind("The movie has no video", 0) == 0;
                           }),
              lines.end());
    // A failed Load leaves the filter open to another.
    EXPECT_EQ(filter->Load(Wide(AvMovie()).c_str(), nullptr), S_OK);
    EXPECT_EQ(filter->GetPinCount(), 2);
    return;
  }
  ASSERT_NE(d.play, Play::kNone) << "the damaged movie loaded";
  if (d.cutAfterLoad) {
    std::vector<uint8_t> cut = ff::ReadFileBytes(path);
    ASSERT_TRUE(CutInSampleData(&cut));
    ASSERT_TRUE(ff::WriteFileBytes(path, cut));
  }
  // Both pins stream, video in a planar and a packed layout; the second
  // run starts after Stop and meets the same end.
  for (const GUID &subtype : {MEDIASUBTYPE_YV12, MEDIASUBTYPE_RGB24}) {
    SCOPED_TRACE(subtype == MEDIASUBTYPE_YV12 ? "YV12" : "RGB24");
    std::vector<TestInputPin *> connected;
    if (Video()) {
      Video()->Disconnect();
      peers[0]->Disconnect();
      ASSERT_EQ(ConnectVideo(subtype), S_OK);
      connected.push_back(peers[0]);
    }
    if (Audio() && !Audio()->IsConnected()) {
      ASSERT_EQ(ConnectAudio(), S_OK);
    }
    if (Audio()) connected.push_back(peers[1]);
    const int run = subtype == MEDIASUBTYPE_YV12 ? 1 : 2;
    const size_t eventsBefore = graph.Events().size();
    std::vector<size_t> receivedBefore;
    for (TestInputPin *peer : connected) receivedBefore.push_back(peer->Received().size());
    ASSERT_EQ(filter->Run(0), S_OK);
    if (d.play == Play::kToEnd) {
      for (TestInputPin *peer : connected) EXPECT_TRUE(peer->WaitForEndOfStream(run)) << "a pin did not end";
    } else {
      ASSERT_TRUE(graph.WaitForEvents(eventsBefore + 1)) << "no event for the failed read";
      const auto events = graph.Events();
      EXPECT_EQ(events[eventsBefore].code, EC_ERRORABORT);
      EXPECT_EQ(static_cast<HRESULT>(events[eventsBefore].param1), d.fault) << std::hex << events[eventsBefore].param1;
      // What was read before the fault was delivered (the pin that is
      // ahead may stop the other before its first sample); the other pin
      // stops too, and neither claims the movie's end.
      size_t delivered = 0;
      for (size_t i = 0; i < connected.size(); ++i) delivered += connected[i]->Received().size() - receivedBefore[i];
      EXPECT_GT(delivered, 0u);
      ASSERT_EQ(filter->Stop(), S_OK);
      for (TestInputPin *peer : connected) EXPECT_EQ(peer->EndOfStreamCount(), 0);
      EXPECT_EQ(graph.Events().size(), eventsBefore + 1) << "one event for the filter";
    }
    ASSERT_EQ(filter->Stop(), S_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFiles, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::test
