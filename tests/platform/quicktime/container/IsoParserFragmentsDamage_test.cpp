// Movie fragments written by hand behind a movie whose track already holds
// samples: what each field does, and hostile counts, offsets and headers,
// each giving a clear error (or a result) without a huge allocation or loop.
#include <gtest/gtest.h>

#include <functional>

#include "container/IsoParser.h"
#include "support/MovieWriter.h"

namespace tp::qt {
namespace {

using test::Fcc;

void Put32(std::vector<uint8_t> *b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b->push_back(uint8_t(v >> s));
}
void Put64(std::vector<uint8_t> *b, uint64_t v) {
  Put32(b, uint32_t(v >> 32));
  Put32(b, uint32_t(v));
}
std::vector<uint8_t> Box(const char (&type)[5], const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> b;
  Put32(&b, uint32_t(8 + payload.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// One 'moof' with one track fragment and its 'mdat'.
struct FragmentSpec {
  uint32_t trackId = 1;
  uint32_t tfhdFlags = 0x020038;  // base is the 'moof'; default duration, size and flags follow
  bool truncateTfhd = false;
  uint32_t descriptionIndex = 0;  // written (flag 0x2) when not 0
  uint64_t tfdt = 40;             // the movie box's two samples end at 40
  bool trunFirst = false;         // 'trun' before 'tfhd'
  uint32_t trunFlags = 0x000205;  // data offset, first sample flags, one size per sample
  uint32_t count = 4;
  int64_t dataOffsetShift = 0;  // added to the offset of the 'mdat' payload
  uint32_t sampleSize = 10;
};

std::vector<uint8_t> Fragment(const FragmentSpec &f) {
  std::vector<uint8_t> tfhd;
  Put32(&tfhd, f.tfhdFlags | (f.descriptionIndex ? 0x2u : 0u));
  Put32(&tfhd, f.trackId);
  if (f.descriptionIndex) Put32(&tfhd, f.descriptionIndex);
  if (!f.truncateTfhd) {
    Put32(&tfhd, 20);          // default duration
    Put32(&tfhd, 99);          // default size (the run gives its own)
    Put32(&tfhd, 0x01010000);  // default flags: not sync, depends on others
  }
  std::vector<uint8_t> tfdt;
  Put32(&tfdt, 0x01000000);
  Put64(&tfdt, f.tfdt);
  auto trunWith = [&](uint32_t dataOffset) {
    std::vector<uint8_t> t;
    Put32(&t, f.trunFlags);
    Put32(&t, f.count);
    if (f.trunFlags & 0x1) Put32(&t, dataOffset);
    if (f.trunFlags & 0x4) Put32(&t, 0x02000000);  // first sample: sync
    for (uint32_t i = 0; (f.trunFlags & 0x200) && i < std::min<uint32_t>(f.count, 64); ++i) Put32(&t, f.sampleSize);
    return t;
  };
  auto moofWith = [&](uint32_t dataOffset) {
    std::vector<uint8_t> traf;
    const std::vector<uint8_t> h = Box("tfhd", tfhd), d = Box("tfdt", tfdt), r = Box("trun", trunWith(dataOffset));
    for (const auto *part : f.trunFirst ? std::vector{&r, &h, &d} : std::vector{&h, &d, &r})
      traf.insert(traf.end(), part->begin(), part->end());
    std::vector<uint8_t> mfhd;
    Put32(&mfhd, 0);
    Put32(&mfhd, 1);
    std::vector<uint8_t> payload = Box("mfhd", mfhd);
    const std::vector<uint8_t> t = Box("traf", traf);
    payload.insert(payload.end(), t.begin(), t.end());
    return Box("moof", payload);
  };
  const size_t moofSize = moofWith(0).size();
  std::vector<uint8_t> out = moofWith(uint32_t(int64_t(moofSize) + 8 + f.dataOffsetShift));
  const std::vector<uint8_t> mdat =
      Box("mdat", std::vector<uint8_t>(size_t(std::min<uint32_t>(f.count, 64)) * f.sampleSize, 0xAB));
  out.insert(out.end(), mdat.begin(), mdat.end());
  return out;
}

struct DamageCase {
  const char *name;
  std::function<void(FragmentSpec *)> change;
  QtErr error;
  uint32_t samples;  // of the track when it opens
};

TEST(IsoParserFragmentsDamageTest, EachFieldAndHostileValues) {
  test::WriterTrack v = test::SimpleVideoTrack(2, 10, 20, 1);
  const std::vector<uint8_t> movieBytes = test::BuildMovie({}, {v}).bytes;
  const DamageCase cases[] = {
      {"valid", [](FragmentSpec *) {}, kNoErr, 6},
      {"gap before the fragment", [](FragmentSpec *f) { f->tfdt = 100; }, kNoErr, 6},
      {"start before the samples so far", [](FragmentSpec *f) { f->tfdt = 0; }, kNoErr, 6},
      {"fragment of no track", [](FragmentSpec *f) { f->trackId = 9; }, kNoErr, 2},
      {"run of no samples", [](FragmentSpec *f) { f->count = 0; }, kNoErr, 2},
      {"more sizes claimed than the run holds", [](FragmentSpec *f) { f->count = 0xFFFFFFFF; }, kInvalidSampleTable, 0},
      {"billions of samples without fields",
       [](FragmentSpec *f) {
         f->trunFlags = 0x1;
         f->count = 0x7FFFFFFF;
       },
       kInvalidSampleTable, 0},
      {"data past the end of the file", [](FragmentSpec *f) { f->dataOffsetShift = 1000; }, kInvalidMovie, 0},
      {"data offset before the file", [](FragmentSpec *f) { f->dataOffsetShift = -100000; }, kInvalidMovie, 0},
      {"truncated fragment header", [](FragmentSpec *f) { f->truncateTfhd = true; }, kInvalidMovie, 0},
      {"run before its header", [](FragmentSpec *f) { f->trunFirst = true; }, kInvalidMovie, 0},
      {"missing description", [](FragmentSpec *f) { f->descriptionIndex = 5; }, kInvalidSampleDescIndex, 0},
  };
  for (const DamageCase &c : cases) {
    SCOPED_TRACE(c.name);
    FragmentSpec spec;
    c.change(&spec);
    std::vector<uint8_t> bytes = movieBytes;
    const std::vector<uint8_t> frag = Fragment(spec);
    bytes.insert(bytes.end(), frag.begin(), frag.end());
    MemoryByteSource source(bytes.data(), bytes.size());
    Movie movie;
    const ParseResult r = ParseIsoMovie(source, "memory", &movie);
    ASSERT_EQ(r.error, c.error) << r.message;
    if (c.error != kNoErr) {
      EXPECT_FALSE(r.message.empty());
      EXPECT_TRUE(movie.tracks.empty());
      continue;
    }
    const SampleTable &t = movie.tracks[0].media.samples;
    ASSERT_EQ(t.count(), c.samples);
    if (c.samples == 2) continue;
    SampleRecord s;
    ASSERT_TRUE(t.Sample(2, &s));
    // The gap goes to the last sample before the fragment; an earlier start
    // cannot move samples that are already placed.
    EXPECT_EQ(s.decodeTime, std::max<int64_t>(40, int64_t(spec.tfdt)));
    EXPECT_EQ(s.size, 10u);
    EXPECT_EQ(s.flags & kMediaSampleNotSync, 0u);
    EXPECT_EQ(s.position, bytes.size() - 40);
    ASSERT_TRUE(t.Sample(3, &s));
    EXPECT_NE(s.flags & kMediaSampleNotSync, 0u);
    EXPECT_NE(s.flags & kMediaSampleDependsOnOthers, 0u);
    EXPECT_EQ(s.position, bytes.size() - 30);
    EXPECT_EQ(t.totalDuration(), std::max<int64_t>(40, int64_t(spec.tfdt)) + 80);
    EXPECT_GE(movie.tracks[0].media.duration, t.totalDuration());
  }

  // An edit of no length in the movie box runs to the end of the fragments.
  test::WriterTrack edited = v;
  edited.edits = {{0, 20, 0x10000}};
  std::vector<uint8_t> withEdit = test::BuildMovie({}, {edited}).bytes;
  const std::vector<uint8_t> frag = Fragment(FragmentSpec());
  withEdit.insert(withEdit.end(), frag.begin(), frag.end());
  {
    MemoryByteSource source(withEdit.data(), withEdit.size());
    Movie movie;
    ASSERT_EQ(ParseIsoMovie(source, "memory", &movie).error, kNoErr);
    const Track &t = movie.tracks[0];
    ASSERT_EQ(t.edits.size(), 1u);
    EXPECT_EQ(t.edits[0].movieDuration, (120 - 20) * int64_t(movie.timeScale) / t.media.timeScale);
    EXPECT_EQ(movie.duration, t.edits[0].movieDuration);
  }

  // A fragment before the movie box has no track to belong to.
  std::vector<uint8_t> first = Fragment(FragmentSpec());
  first.insert(first.end(), movieBytes.begin(), movieBytes.end());
  MemoryByteSource source(first.data(), first.size());
  Movie movie;
  EXPECT_EQ(ParseIsoMovie(source, "memory", &movie).error, kInvalidMovie);
}

}  // namespace
}  // namespace tp::qt
