// SampleTable: the sample table of one media, stored the way the file stores
// it (runs of durations, composition offsets and chunk layouts; one size per
// sample only when sizes vary) so that a movie of millions of samples opens in
// a few megabytes. Every lookup is O(1) or O(log n).
//
// Two ways to fill it, then Finalize() once:
//  - the ISO parser hands over the decoded boxes (Set* calls), exactly as
//    stored;
//  - an importer that sees one packet at a time calls AppendSample() in decode
//    order; runs are compressed on the fly.
// After Finalize() the table is immutable and may be read from any thread.
// The table owns all its storage; SampleRecord results are plain copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tp::qt {

// QuickTime MediaSampleFlags bits as handed out with each sample.
enum MediaSampleFlagBits : uint32_t {
  kMediaSampleNotSync = 1u << 0,
  kMediaSampleShadowSync = 1u << 1,
  kMediaSamplePartialSync = 1u << 16,
  kMediaSampleHasRedundantCoding = 1u << 24,
  kMediaSampleHasNoRedundantCoding = 1u << 25,
  kMediaSampleIsDependedOnByOthers = 1u << 26,
  kMediaSampleIsNotDependedOnByOthers = 1u << 27,
  kMediaSampleDependsOnOthers = 1u << 28,
  kMediaSampleDoesNotDependOnOthers = 1u << 29,
  kMediaSampleEarlierDisplayTimesAllowed = 1u << 30,
};

// Everything known about one sample. Times are in media time units.
struct SampleRecord {
  uint32_t index = 0;               // 0-based sample number in decode order
  int64_t decodeTime = 0;           // start of the sample in decode order
  int64_t decodeDuration = 0;       // its decode duration (may be 0)
  int64_t displayOffset = 0;        // composition offset; presentation = decodeTime + displayOffset
  uint32_t size = 0;                // bytes
  uint64_t position = 0;            // byte offset in the media's data (file or blob)
  uint32_t flags = 0;               // MediaSampleFlagBits
  uint32_t descriptionIndex = 1;    // 1-based sample description index
  uint32_t chunk = 0;               // 0-based chunk number
  uint32_t samplesLeftInChunk = 1;  // this sample and the ones after it in the same chunk
};

class SampleTable {
 public:
  // Hard bounds on hostile input: no table may claim more than this.
  static constexpr uint32_t kMaxSamples = 0x7FFFFFFF;

  // --- Filling from stored boxes (any order), then Finalize(). ---
  struct TimeToSampleEntry {
    uint32_t count;
    uint32_t delta;
  };
  struct CompositionEntry {
    uint32_t count;
    int32_t offset;
  };
  struct SampleToChunkEntry {
    uint32_t firstChunk;  // 1-based, as stored
    uint32_t samplesPerChunk;
    uint32_t descriptionIndex;
  };
  void SetTimeToSample(std::vector<TimeToSampleEntry> entries);
  void SetCompositionOffsets(std::vector<CompositionEntry> entries);
  void SetConstantSize(uint32_t size, uint32_t count);
  void SetSizes(std::vector<uint32_t> sizes);
  void SetSampleToChunk(std::vector<SampleToChunkEntry> entries);
  void SetChunkOffsets(std::vector<uint64_t> offsets);
  // 1-based sample numbers as stored in stss / stps; any order, duplicates ok.
  void SetSyncSamples(std::vector<uint32_t> oneBased);
  void SetPartialSyncSamples(std::vector<uint32_t> oneBased);
  // One sdtp byte per sample (may be shorter than the sample count).
  void SetDependencyBytes(std::vector<uint8_t> bytes);

  // --- Filling one sample at a time, in decode order. ---
  // Returns false (and leaves the table unchanged) when the sample cannot be
  // represented: duration outside 0..UINT32_MAX, offset outside int32, or
  // after Finalize().
  bool AppendSample(int64_t decodeDuration, int64_t displayOffset, uint32_t size, uint64_t position, bool sync,
                    uint32_t descriptionIndex = 1);

  // Lengthens the last appended sample by `extra` units (a gap before the
  // next one). False when there is no such sample or it would not fit.
  bool ExtendLastSample(int64_t extra);

  // Checks the pieces against each other and builds the lookup indexes. The
  // sample count is the size table's count, cut to what the time table and
  // the chunk table cover (samples without a time or a position cannot be
  // served). Returns 0 or a QuickTime error (invalidSampleTable) with a
  // message in *why when given.
  int16_t Finalize(std::string *why = nullptr);
  bool finalized() const { return finalized_; }

  // --- Queries (after Finalize). ---
  uint32_t count() const { return count_; }
  // Sum of all decode durations (the end of the last sample).
  int64_t totalDuration() const { return totalDuration_; }
  bool hasCompositionOffsets() const { return !offsetRuns_.empty() || !denseOffsets_.empty(); }
  bool hasSyncTable() const { return !allSync_; }
  bool hasDependencyFlags() const { return !dependency_.empty(); }
  // Largest sample size (for buffer sizing).
  uint32_t maxSampleSize() const { return maxSize_; }

  // Sample by 0-based index; false when out of range.
  bool Sample(uint32_t index, SampleRecord *out) const;
  // The sample whose decode interval [t, t + duration) contains t, or the
  // first of several zero-duration samples starting at t when no interval
  // contains it. False when t < 0 or t >= totalDuration().
  bool SampleAtTime(int64_t t, uint32_t *index) const;
  // Decode time of a sample (index < count()).
  int64_t DecodeTime(uint32_t index) const;
  // The nearest sync sample at or before / at or after index; false if none.
  bool SyncAtOrBefore(uint32_t index, uint32_t *syncIndex) const;
  bool SyncAtOrAfter(uint32_t index, uint32_t *syncIndex) const;
  // Sample boundaries in media time: the smallest decode time > t (>= t when
  // edgeOK), or the largest < t (<= t when edgeOK) going backwards. False
  // when there is none.
  bool NextSampleTime(int64_t t, bool edgeOK, int64_t *start) const;
  bool PreviousSampleTime(int64_t t, bool edgeOK, int64_t *start) const;

  // One past the last byte of sample data (the largest chunk end); 0 when
  // there are no samples. Linear in the number of chunks.
  uint64_t DataEnd() const;
  // Largest sample description index any chunk names (0 without samples).
  uint32_t MaxDescriptionIndex() const;

  // Bytes of heap held (for the size check of large tables).
  size_t MemoryUsed() const;

 private:
  struct TimeRun {
    uint32_t firstSample;
    uint32_t count;
    uint32_t delta;
    int64_t firstTime;
  };
  struct OffsetRun {
    uint32_t firstSample;
    uint32_t count;
    int32_t offset;
  };
  struct ChunkRun {
    uint32_t firstChunk;  // 0-based
    uint32_t samplesPerChunk;
    uint32_t descriptionIndex;
    uint32_t firstSample;
  };

  size_t TimeRunFor(uint32_t index) const;
  bool FirstStartAtOrAfter(int64_t t, int64_t *start) const;
  bool LastStartBefore(int64_t t, int64_t *start) const;
  int32_t OffsetFor(uint32_t index) const;
  uint32_t SizeOf(uint32_t index) const;
  uint64_t SizeSum(uint32_t first, uint32_t end) const;  // sizes of [first, end)
  uint32_t FlagsFor(uint32_t index) const;

  bool finalized_ = false;
  uint32_t count_ = 0;
  int64_t totalDuration_ = 0;
  uint32_t maxSize_ = 0;

  // As handed in (or appended), until Finalize builds the indexes below.
  std::vector<TimeToSampleEntry> stts_;
  std::vector<CompositionEntry> ctts_;
  std::vector<SampleToChunkEntry> stsc_;
  bool stssPresent_ = false;
  std::vector<uint32_t> stssRaw_;
  std::vector<uint32_t> stpsRaw_;

  std::vector<TimeRun> timeRuns_;  // count > 0 only, in decode order
  std::vector<OffsetRun> offsetRuns_;
  // When offsets hardly repeat (B-frame patterns), one per sample is smaller
  // than runs: then this holds them and offsetRuns_ is empty.
  std::vector<int32_t> denseOffsets_;
  uint32_t constantSize_ = 0;
  uint32_t constantSizeCount_ = 0;
  bool sizesVary_ = false;
  std::vector<uint32_t> sizes_;
  std::vector<uint64_t> sizePrefix_;  // sum of the sizes before sample k * kPrefixStep
  std::vector<uint64_t> chunkOffsets_;
  std::vector<ChunkRun> chunkRuns_;  // samplesPerChunk > 0 only
  bool allSync_ = true;
  std::vector<uint32_t> sync_;  // sorted, unique, 0-based
  std::vector<uint32_t> partialSync_;
  std::vector<uint8_t> dependency_;

  // Append mode: the open chunk (samples, end position, description).
  bool appending_ = false;
  uint32_t appendChunkSamples_ = 0;
  uint64_t appendChunkEnd_ = 0;
  uint32_t appendChunkDescription_ = 0;
  bool appendSawNonSync_ = false;
  void FlushAppendChunk();
};

}  // namespace tp::qt
