// Damaged and hostile files: each must give an error (or, for edits that
// keep the file valid, a result), never a crash, hang or huge allocation.
// Run under ASan for the memory-safety half of the check.
#include <gtest/gtest.h>

#include <cstring>

#include "container/IsoParser.h"
#include "support/MovieWriter.h"

namespace tp::qt {
namespace {

using test::Fcc;

ParseResult ParseBytes(const std::vector<uint8_t> &bytes, Movie *movie) {
  MemoryByteSource source(bytes.data(), bytes.size());
  return ParseIsoMovie(source, "memory", movie);
}

uint32_t TypeAt(const std::vector<uint8_t> &b, uint64_t at) {
  return (uint32_t(b[at + 4]) << 24) | (uint32_t(b[at + 5]) << 16) | (uint32_t(b[at + 6]) << 8) | b[at + 7];
}
void Put32(std::vector<uint8_t> &b, uint64_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}

class IsoParserDamageTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    test::WriterOptions o;
    o.mdatFirst = GetParam();
    test::WriterTrack v = test::SimpleVideoTrack(30, 0, 20, 6);
    for (uint32_t i = 0; i < 30; ++i) v.sizes[i] = 10 + i;
    v.compositionOffsets.assign(30, 40);
    v.sdtp.assign(30, 0x10);
    v.partialSyncSamples = {3};
    v.edits = {{100, -1, 0x10000}, {500, 40, 0x10000}};
    test::WriterTrack a;
    a.handler = Fcc("soun");
    a.format = Fcc("twos");
    a.durations.assign(10, 441);
    a.sizes.assign(10, 100);
    a.samplesPerChunk = 3;
    a.timeScale = 44100;
    written_ = test::BuildMovie(o, {v, a});
    Movie m;
    const ParseResult r = ParseBytes(written_.bytes, &m);
    ASSERT_EQ(r.error, kNoErr) << r.message;
  }
  test::WrittenMovie written_;
};

TEST_P(IsoParserDamageTest, TruncatedAtEveryBoxBoundary_GivesAnError) {
  for (uint64_t at : written_.boxOffsets) {
    for (uint64_t extra : {0, 3, 9}) {
      if (at + extra >= written_.bytes.size()) continue;
      std::vector<uint8_t> cut(written_.bytes.begin(), written_.bytes.begin() + long(at + extra));
      Movie m;
      const ParseResult r = ParseBytes(cut, &m);
      EXPECT_NE(r.error, kNoErr) << "cut at " << at + extra;
      EXPECT_FALSE(r.message.empty());
      EXPECT_TRUE(m.tracks.empty());
    }
  }
}

TEST_P(IsoParserDamageTest, HugeBoxSizes_GiveAnError) {
  for (uint64_t at : written_.boxOffsets) {
    for (uint32_t size : {0xFFFFFFFFu, 0x7FFFFFFFu, 7u, 1u}) {
      std::vector<uint8_t> b = written_.bytes;
      Put32(b, at, size);
      if (size == 1) {
        // 64-bit size form whose large size is absurd (it overwrites the
        // first payload bytes).
        if (at + 16 > b.size()) continue;
        Put32(b, at + 8, 0xFFFFFFFF);
        Put32(b, at + 12, 0xFFFFFFF0);
      }
      Movie m;
      EXPECT_NE(ParseBytes(b, &m).error, kNoErr) << "box " << FourCCString(TypeAt(b, at)) << " size " << size;
    }
  }
}

TEST_P(IsoParserDamageTest, HugeEntryCounts_GiveAnErrorBeforeAllocating) {
  const uint32_t counted[] = {Fcc("stts"), Fcc("ctts"), Fcc("stss"), Fcc("stps"), Fcc("stsc"),
                              Fcc("stco"), Fcc("stsd"), Fcc("elst"), Fcc("dref")};
  int tried = 0;
  for (uint64_t at : written_.boxOffsets) {
    const uint32_t type = TypeAt(written_.bytes, at);
    uint64_t countAt = 0;
    if (type == Fcc("stsz")) {
      // With one size for all samples the count is no table length: the
      // chunks decide how many samples there are.
      if (written_.bytes[at + 15] != 0 || written_.bytes[at + 14] != 0) continue;
      countAt = at + 16;
    } else if (std::find(std::begin(counted), std::end(counted), type) != std::end(counted)) {
      countAt = at + 12;
    } else {
      continue;
    }
    for (uint32_t count : {0xFFFFFFFFu, 0x40000000u, 0x10000u}) {
      std::vector<uint8_t> b = written_.bytes;
      Put32(b, countAt, count);
      Movie m;
      const ParseResult r = ParseBytes(b, &m);
      EXPECT_NE(r.error, kNoErr) << FourCCString(type) << " count " << count;
      ++tried;
    }
  }
  EXPECT_GE(tried, 30);
}

TEST_P(IsoParserDamageTest, RandomByteEdits_NeverCrash) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33);
  };
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> b = written_.bytes;
    const int edits = 1 + int(next() % 4);
    for (int e = 0; e < edits; ++e) {
      // Mostly inside the movie box, where the structure is.
      const uint64_t at = written_.moovOffset + next() % written_.moovSize;
      b[at] = (next() % 3 == 0) ? 0xFF : uint8_t(next());
    }
    Movie m;
    const ParseResult r = ParseBytes(b, &m);
    if (r.error != kNoErr) {
      ++failures;
      EXPECT_FALSE(r.message.empty());
      continue;
    }
    // Whatever parsed must answer every query without leaving its data.
    for (const Track &t : m.tracks) {
      const SampleTable &st = t.media.samples;
      for (uint32_t i = 0; i < st.count(); ++i) {
        SampleRecord rec;
        ASSERT_TRUE(st.Sample(i, &rec));
        ASSERT_LE(rec.position + rec.size, b.size());
      }
      int64_t when = 0;
      t.NextSampleTime(0, m.timeScale, true, false, &when);
      t.NextSampleTime(1000, m.timeScale, false, true, &when);
    }
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, IsoParserDamageTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "mdat_first" : "moov_first"; });

std::vector<uint8_t> Box(const char (&type)[5], const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> b(8);
  Put32(b, 0, uint32_t(8 + payload.size()));
  std::memcpy(b.data() + 4, type, 4);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

TEST(IsoParserHostileTest, DeeplyNestedBoxes_StopWithoutRecursingFar) {
  // 5000 levels of trak/mdia/minf/stbl-like nesting inside one movie box.
  std::vector<uint8_t> inner;
  const char *kinds[] = {"trak", "mdia", "minf", "edts", "dinf", "stbl"};
  for (int i = 0; i < 5000; ++i) {
    char t[5] = {};
    std::memcpy(t, kinds[i % 6], 4);
    std::vector<uint8_t> b(8);
    Put32(b, 0, uint32_t(8 + inner.size()));
    std::memcpy(b.data() + 4, t, 4);
    b.insert(b.end(), inner.begin(), inner.end());
    inner.swap(b);
  }
  const std::vector<uint8_t> file = Box("moov", inner);
  Movie m;
  const ParseResult r = ParseBytes(file, &m);
  EXPECT_NE(r.error, kNoErr);
}

TEST(IsoParserHostileTest, ManyTinyBoxes_AreBounded) {
  // A movie box of a million empty 'free' boxes is refused, not walked.
  std::vector<uint8_t> payload;
  payload.reserve(8u * 1000000u);
  for (int i = 0; i < 1000000; ++i) {
    const std::vector<uint8_t> f = Box("free", {});
    payload.insert(payload.end(), f.begin(), f.end());
  }
  Movie m;
  const ParseResult r = ParseBytes(Box("moov", payload), &m);
  EXPECT_EQ(r.error, kInvalidMovie);
  EXPECT_NE(r.message.find("too many"), std::string::npos);
}

}  // namespace
}  // namespace tp::qt
