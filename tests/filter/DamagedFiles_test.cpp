// Damaged and unopenable files end cleanly: Load returns, every connected
// pin delivers end of stream, and (under the asan preset) nothing is read
// or written out of bounds.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>

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

struct Damage {
  const char *name;
  Edit edit;  // on the movie's bytes; null: `place` makes the path itself
  std::function<bool(const std::string &path)> place;
  bool cutAfterLoad;  // the file is cut in its sample data once loaded
  int opens;          // 1: it opens and plays; 0: it does not open; -1: either
};

const Damage kDamages[] = {
    // The runtime checks the sample table against the file when it opens
    // it, so a file cut short, or with offsets past its end, does not open;
    // cut while the filter has it open, it ends the streams early.
    {"TruncatedInSampleData", CutInSampleData, nullptr, false, 0},
    {"TruncatedWhileLoaded", nullptr, nullptr, true, 1},
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
     nullptr, false, 0},
    {"ZeroSizeSample",
     [](std::vector<uint8_t> *b) {
       size_t at = 0;
       uint32_t count = 0;
       if (!TableEntry(*b, 0, "stsz", &at, &count)) return false;
       PutBe32(b, at + 4 * (count / 2), 0);
       return true;
     },
     nullptr, false, 1},
    {"CorruptFrameInTheMiddle",
     [](std::vector<uint8_t> *b) {
       size_t at = 0;
       uint32_t count = 0;
       if (!TableEntry(*b, 0, "stco", &at, &count)) return false;
       const size_t frame = Be32(*b, at + 4 * (count / 2));
       for (size_t i = frame + 4; i < frame + 260 && i < b->size(); ++i) (*b)[i] = static_cast<uint8_t>(i * 37);
       return true;
     },
     nullptr, false, 1},
    {"EmptyFile", [](std::vector<uint8_t> *b) { return b->clear(), true; }, nullptr, false, 0},
    {"Directory", nullptr, [](const std::string &p) { return std::filesystem::create_directory(p); }, false, 0},
    {"Missing", nullptr, [](const std::string &) { return true; }, false, 0},
    // Root reads it anyway; either way the load must end cleanly.
    {"Unreadable", [](std::vector<uint8_t> *) { return true; },
     [](const std::string &p) { return ::chmod(p.c_str(), 0) == 0; }, false, -1},
};

class DamagedFiles : public FilterTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFiles, LoadReturns_EveryConnectedPinEnds) {
  const Damage &d = GetParam();
  const std::string source = Movie("faststart.mp4",
                                   "-f lavfi -i testsrc=size=176x144:rate=25:duration=2 "
                                   "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
                                   "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -movflags +faststart");
  ASSERT_FALSE(source.empty());
  ff::TempDir dir;
  const std::string path = dir.File("damaged.mp4");
  if (d.edit || d.cutAfterLoad) {
    std::vector<uint8_t> bytes = ff::ReadFileBytes(source);
    ASSERT_TRUE(!d.edit || d.edit(&bytes)) << "the movie does not have the boxes to damage";
    ASSERT_TRUE(ff::WriteFileBytes(path, bytes));
  }
  if (d.place) {
    ASSERT_TRUE(d.place(path));
  }

  TraceLines trace;
  ASSERT_EQ(Load(path), S_OK);
  if (d.opens == 0 || filter->GetPinCount() == 0) {
    EXPECT_NE(d.opens, 1) << "the damaged movie did not open";
    EXPECT_EQ(filter->GetPinCount(), 0);
    const auto lines = trace.Take();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string &l) { return l.rfind("QT decoder initialized failed(", 0) == 0; }),
              lines.end());
    return;
  }
  if (d.cutAfterLoad) {
    std::vector<uint8_t> bytes = ff::ReadFileBytes(path);
    ASSERT_TRUE(CutInSampleData(&bytes));
    ASSERT_TRUE(ff::WriteFileBytes(path, bytes));
  }
  // Both pins stream to the end, video in a planar and a packed layout.
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
    const int ends = subtype == MEDIASUBTYPE_YV12 ? 1 : 2;
    ASSERT_EQ(filter->Run(0), S_OK);
    for (TestInputPin *peer : connected) EXPECT_TRUE(peer->WaitForEndOfStream(ends)) << "a pin did not end";
    ASSERT_EQ(filter->Stop(), S_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFiles, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::test
