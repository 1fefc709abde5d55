#include "container/SampleTable.h"

#include <gtest/gtest.h>

#include "container/MovieModel.h"

namespace tp::qt {
namespace {

class SampleTableTest : public ::testing::Test {
 protected:
  // Samples of durations 10,10,10,20,20 (times 0,10,20,30,50; end 70),
  // sizes 1..5, chunks of 2,2,1 samples at 1000, 2000, 3000, sync 1 and 4.
  void BuildStored() {
    t.SetTimeToSample({{3, 10}, {2, 20}});
    t.SetSizes({1, 2, 3, 4, 5});
    t.SetSampleToChunk({{1, 2, 1}, {3, 1, 1}});
    t.SetChunkOffsets({1000, 2000, 3000});
    t.SetSyncSamples({4, 1});
    ASSERT_EQ(t.Finalize(), kNoErr);
  }
  SampleRecord At(uint32_t i) {
    SampleRecord r;
    EXPECT_TRUE(t.Sample(i, &r)) << i;
    return r;
  }
  SampleTable t;
};

TEST_F(SampleTableTest, Sample_StoredTablesGiveTimesPositionsAndFlags) {
  BuildStored();
  ASSERT_EQ(t.count(), 5u);
  EXPECT_EQ(t.totalDuration(), 70);
  const int64_t times[] = {0, 10, 20, 30, 50};
  const uint64_t positions[] = {1000, 1001, 2000, 2003, 3000};
  for (uint32_t i = 0; i < 5; ++i) {
    const SampleRecord r = At(i);
    EXPECT_EQ(r.decodeTime, times[i]);
    EXPECT_EQ(r.size, i + 1);
    EXPECT_EQ(r.position, positions[i]);
    EXPECT_EQ((r.flags & kMediaSampleNotSync) != 0, i != 0 && i != 3) << i;
  }
  EXPECT_EQ(At(0).samplesLeftInChunk, 2u);
  EXPECT_EQ(At(3).samplesLeftInChunk, 1u);
  EXPECT_EQ(At(4).chunk, 2u);
  SampleRecord r;
  EXPECT_FALSE(t.Sample(5, &r));
  EXPECT_EQ(t.maxSampleSize(), 5u);
  EXPECT_EQ(t.DataEnd(), 3005u);
}

TEST_F(SampleTableTest, SampleAtTime_FindsContainingSampleAndRejectsOutside) {
  BuildStored();
  uint32_t i = 99;
  const std::pair<int64_t, uint32_t> cases[] = {{0, 0}, {9, 0}, {10, 1}, {29, 2}, {30, 3}, {49, 3}, {50, 4}, {69, 4}};
  for (auto [time, want] : cases) {
    ASSERT_TRUE(t.SampleAtTime(time, &i)) << time;
    EXPECT_EQ(i, want) << time;
  }
  EXPECT_FALSE(t.SampleAtTime(70, &i));
  EXPECT_FALSE(t.SampleAtTime(-1, &i));
}

TEST_F(SampleTableTest, NextAndPreviousSampleTime_RespectEdges) {
  BuildStored();
  int64_t s = -1;
  ASSERT_TRUE(t.NextSampleTime(10, true, &s));
  EXPECT_EQ(s, 10);
  ASSERT_TRUE(t.NextSampleTime(10, false, &s));
  EXPECT_EQ(s, 20);
  ASSERT_TRUE(t.NextSampleTime(31, false, &s));
  EXPECT_EQ(s, 50);
  ASSERT_TRUE(t.NextSampleTime(-5, false, &s));
  EXPECT_EQ(s, 0);
  EXPECT_FALSE(t.NextSampleTime(50, false, &s));
  ASSERT_TRUE(t.PreviousSampleTime(50, false, &s));
  EXPECT_EQ(s, 30);
  ASSERT_TRUE(t.PreviousSampleTime(50, true, &s));
  EXPECT_EQ(s, 50);
  ASSERT_TRUE(t.PreviousSampleTime(1000, false, &s));
  EXPECT_EQ(s, 50);
  EXPECT_FALSE(t.PreviousSampleTime(0, false, &s));
}

TEST_F(SampleTableTest, SyncLookups_FindNearestSyncSample) {
  BuildStored();
  uint32_t s = 0;
  ASSERT_TRUE(t.SyncAtOrBefore(2, &s));
  EXPECT_EQ(s, 0u);
  ASSERT_TRUE(t.SyncAtOrBefore(4, &s));
  EXPECT_EQ(s, 3u);
  ASSERT_TRUE(t.SyncAtOrAfter(1, &s));
  EXPECT_EQ(s, 3u);
  EXPECT_FALSE(t.SyncAtOrAfter(4, &s));
}

TEST_F(SampleTableTest, Flags_EmptySyncTableMeansNoSyncAndDependencyBitsMap) {
  t.SetTimeToSample({{3, 1}});
  t.SetConstantSize(4, 3);
  t.SetSampleToChunk({{1, 3, 1}});
  t.SetChunkOffsets({0});
  t.SetSyncSamples({});
  t.SetPartialSyncSamples({2});
  // sample 1: does not depend, depended on; 2: depends, not depended on,
  // redundant coding; 3: no byte.
  t.SetDependencyBytes({0x24, 0x19});
  ASSERT_EQ(t.Finalize(), kNoErr);
  EXPECT_EQ(At(0).flags, kMediaSampleNotSync | kMediaSampleDoesNotDependOnOthers | kMediaSampleIsDependedOnByOthers);
  EXPECT_EQ(At(1).flags, kMediaSampleNotSync | kMediaSamplePartialSync | kMediaSampleDependsOnOthers |
                             kMediaSampleIsNotDependedOnByOthers | kMediaSampleHasRedundantCoding);
  EXPECT_EQ(At(2).flags, kMediaSampleNotSync);
  uint32_t s = 0;
  EXPECT_FALSE(t.SyncAtOrBefore(2, &s));
}

TEST_F(SampleTableTest, AppendSample_CompressesRunsAndKeepsEveryField) {
  // Two chunks (a gap at 500), negative and positive offsets, one non-sync.
  ASSERT_TRUE(t.AppendSample(100, 200, 10, 100, true));
  ASSERT_TRUE(t.AppendSample(100, -100, 20, 110, false));
  ASSERT_TRUE(t.AppendSample(100, 0, 30, 130, true));
  ASSERT_TRUE(t.AppendSample(50, 0, 30, 500, true));
  EXPECT_FALSE(t.AppendSample(-1, 0, 1, 0, true));
  EXPECT_FALSE(t.AppendSample(1, int64_t(1) << 40, 1, 0, true));
  ASSERT_EQ(t.Finalize(), kNoErr);
  EXPECT_FALSE(t.AppendSample(1, 0, 1, 0, true));
  ASSERT_EQ(t.count(), 4u);
  EXPECT_EQ(t.totalDuration(), 350);
  EXPECT_EQ(At(1).displayOffset, -100);
  EXPECT_EQ(At(1).position, 110u);
  EXPECT_EQ(At(2).position, 130u);
  EXPECT_EQ(At(2).samplesLeftInChunk, 1u);
  EXPECT_EQ(At(3).position, 500u);
  EXPECT_EQ(At(3).chunk, 1u);
  EXPECT_EQ(At(3).decodeTime, 300);
  EXPECT_EQ(At(1).flags, kMediaSampleNotSync);
  EXPECT_EQ(At(2).flags, 0u);
}

TEST_F(SampleTableTest, CompositionOffsets_RunsAndDenseStorageAgree) {
  // Long runs stay runs; a short table past which offsets are 0.
  SampleTable runs;
  runs.SetTimeToSample({{300, 1}});
  runs.SetConstantSize(1, 300);
  runs.SetSampleToChunk({{1, 300, 1}});
  runs.SetChunkOffsets({0});
  runs.SetCompositionOffsets({{100, 5}, {100, -3}});
  ASSERT_EQ(runs.Finalize(), kNoErr);
  // Alternating offsets are stored one per sample.
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(t.AppendSample(1, i % 2 ? 2 : -1, 1, uint64_t(i), true));
  ASSERT_EQ(t.Finalize(), kNoErr);
  SampleRecord r;
  for (uint32_t i : {0u, 99u, 100u, 199u, 200u, 299u}) {
    ASSERT_TRUE(runs.Sample(i, &r));
    EXPECT_EQ(r.displayOffset, i < 100 ? 5 : (i < 200 ? -3 : 0)) << i;
    EXPECT_EQ(At(i).displayOffset, i % 2 ? 2 : -1) << i;
  }
  EXPECT_LT(t.MemoryUsed(), 300u * 4u + 1024u);
}

TEST_F(SampleTableTest, AppendSample_AllSyncAndNoOffsetsStoresNoTables) {
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(t.AppendSample(1, 0, 8, uint64_t(i) * 8, true));
  ASSERT_EQ(t.Finalize(), kNoErr);
  EXPECT_FALSE(t.hasSyncTable());
  EXPECT_FALSE(t.hasCompositionOffsets());
  EXPECT_EQ(At(9).position, 72u);
  EXPECT_EQ(At(9).samplesLeftInChunk, 1u);
}

TEST_F(SampleTableTest, Finalize_CutsSamplesWithoutPositionsAndExtendsShortTimeTable) {
  t.SetTimeToSample({{2, 5}});  // covers 2 of 4 samples
  t.SetSizes({1, 1, 1, 1});
  t.SetSampleToChunk({{1, 3, 1}});  // one chunk of 3: sample 4 has no position
  t.SetChunkOffsets({0});
  ASSERT_EQ(t.Finalize(), kNoErr);
  EXPECT_EQ(t.count(), 3u);
  EXPECT_EQ(At(2).decodeTime, 10);
  EXPECT_EQ(t.totalDuration(), 15);
}

TEST_F(SampleTableTest, Finalize_RejectsInconsistentTables) {
  struct Case {
    const char *name;
    std::vector<SampleTable::TimeToSampleEntry> stts;
    std::vector<SampleTable::SampleToChunkEntry> stsc;
    std::vector<uint64_t> chunks;
  };
  const Case cases[] = {
      {"chunk 0", {{2, 1}}, {{0, 1, 1}}, {0, 1}},
      {"out of order", {{2, 1}}, {{2, 1, 1}, {1, 1, 1}}, {0, 1}},
      {"description 0", {{2, 1}}, {{1, 1, 0}}, {0, 1}},
      {"no times", {}, {{1, 1, 1}}, {0, 1}},
      {"huge chunk offset", {{2, 1}}, {{1, 1, 1}}, {0, uint64_t(1) << 63}},
  };
  for (const auto &c : cases) {
    SampleTable s;
    s.SetTimeToSample(c.stts);
    s.SetConstantSize(1, 2);
    s.SetSampleToChunk(c.stsc);
    s.SetChunkOffsets(c.chunks);
    std::string why;
    EXPECT_EQ(s.Finalize(&why), kInvalidSampleTable) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
}

TEST_F(SampleTableTest, MillionSamples_StayCompactAndFast) {
  // Per-sample sizes, 10 samples per chunk, a sync sample every 30.
  std::vector<uint32_t> sizes(1000000);
  for (uint32_t i = 0; i < sizes.size(); ++i) sizes[i] = 10 + i % 7;
  std::vector<uint32_t> sync;
  for (uint32_t i = 1; i <= sizes.size(); i += 30) sync.push_back(i);
  std::vector<uint64_t> chunks(100000);
  uint64_t at = 0;
  for (uint32_t c = 0; c < chunks.size(); ++c) {
    chunks[c] = at;
    for (uint32_t k = 0; k < 10; ++k) at += sizes[c * 10 + k];
  }
  t.SetTimeToSample({{1000000, 1}});
  t.SetSizes(sizes);
  t.SetSampleToChunk({{1, 10, 1}});
  t.SetChunkOffsets(chunks);
  t.SetSyncSamples(sync);
  ASSERT_EQ(t.Finalize(), kNoErr);
  EXPECT_LT(t.MemoryUsed(), 6u * 1000000u);
  // Positions agree with a running sum.
  uint64_t expect = 0;
  for (uint32_t i = 0; i < 1000000; i += 1) {
    if (i % 99991 == 0) {
      EXPECT_EQ(At(i).position, expect) << i;
    }
    expect += sizes[i];
  }
  EXPECT_EQ(t.DataEnd(), at);
  uint32_t s = 0, idx = 0;
  ASSERT_TRUE(t.SampleAtTime(999999, &idx));
  ASSERT_TRUE(t.SyncAtOrBefore(idx, &s));
  EXPECT_EQ(s, 999990u);
}

}  // namespace
}  // namespace tp::qt
