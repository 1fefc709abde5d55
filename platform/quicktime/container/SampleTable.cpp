// SampleTable: run-length storage and logarithmic lookups.
#include "container/SampleTable.h"

#include <algorithm>
#include <limits>

#include "container/MovieModel.h"

namespace tp::qt {
namespace {

// One partial size sum every kPrefixStep samples: a position costs at most
// kPrefixStep additions and 8 / kPrefixStep bytes per sample.
constexpr uint32_t kPrefixStep = 64;
// Chunk offsets above this could overflow when sizes are added to them.
constexpr uint64_t kMaxChunkOffset = uint64_t(1) << 62;

int16_t Fail(std::string *why, const char *text) {
  if (why) *why = text;
  return kInvalidSampleTable;
}

std::vector<uint32_t> ToSortedZeroBased(const std::vector<uint32_t> &oneBased, uint32_t count) {
  std::vector<uint32_t> out;
  out.reserve(oneBased.size());
  for (uint32_t n : oneBased) {
    if (n >= 1 && n <= count) out.push_back(n - 1);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

template <typename T>
void Release(std::vector<T> &v) {
  std::vector<T>().swap(v);
}

}  // namespace

void SampleTable::SetTimeToSample(std::vector<TimeToSampleEntry> entries) { stts_ = std::move(entries); }
void SampleTable::SetCompositionOffsets(std::vector<CompositionEntry> entries) { ctts_ = std::move(entries); }
void SampleTable::SetConstantSize(uint32_t size, uint32_t count) {
  sizesVary_ = false;
  sizes_.clear();
  constantSize_ = size;
  constantSizeCount_ = count;
}
void SampleTable::SetSizes(std::vector<uint32_t> sizes) {
  sizesVary_ = true;
  sizes_ = std::move(sizes);
}
void SampleTable::SetSampleToChunk(std::vector<SampleToChunkEntry> entries) { stsc_ = std::move(entries); }
void SampleTable::SetChunkOffsets(std::vector<uint64_t> offsets) { chunkOffsets_ = std::move(offsets); }
void SampleTable::SetSyncSamples(std::vector<uint32_t> oneBased) {
  stssPresent_ = true;
  stssRaw_ = std::move(oneBased);
}
void SampleTable::SetPartialSyncSamples(std::vector<uint32_t> oneBased) { stpsRaw_ = std::move(oneBased); }
void SampleTable::SetDependencyBytes(std::vector<uint8_t> bytes) { dependency_ = std::move(bytes); }

bool SampleTable::AppendSample(int64_t decodeDuration, int64_t displayOffset, uint32_t size, uint64_t position,
                               bool sync, uint32_t descriptionIndex) {
  if (finalized_ || decodeDuration < 0 || decodeDuration > int64_t(UINT32_MAX) ||
      displayOffset < std::numeric_limits<int32_t>::min() || displayOffset > std::numeric_limits<int32_t>::max() ||
      position >= kMaxChunkOffset || descriptionIndex == 0) {
    return false;
  }
  const uint32_t n = sizesVary_ ? uint32_t(sizes_.size()) : constantSizeCount_;
  if (n >= kMaxSamples) return false;
  appending_ = true;

  const uint32_t delta = uint32_t(decodeDuration);
  if (!stts_.empty() && stts_.back().delta == delta && stts_.back().count < UINT32_MAX) {
    ++stts_.back().count;
  } else {
    stts_.push_back({1, delta});
  }
  const int32_t offset = int32_t(displayOffset);
  if (!ctts_.empty() && ctts_.back().offset == offset && ctts_.back().count < UINT32_MAX) {
    ++ctts_.back().count;
  } else {
    ctts_.push_back({1, offset});
  }
  if (!sizesVary_ && (n == 0 || size == constantSize_)) {
    constantSize_ = size;
    ++constantSizeCount_;
  } else {
    if (!sizesVary_) {
      sizes_.assign(constantSizeCount_, constantSize_);
      sizesVary_ = true;
    }
    sizes_.push_back(size);
  }
  const bool continuesChunk = appendChunkSamples_ > 0 && position == appendChunkEnd_ &&
                              descriptionIndex == appendChunkDescription_ && appendChunkSamples_ < UINT32_MAX;
  if (!continuesChunk) {
    FlushAppendChunk();
    chunkOffsets_.push_back(position);
    appendChunkDescription_ = descriptionIndex;
    appendChunkEnd_ = position;
  }
  ++appendChunkSamples_;
  appendChunkEnd_ += size;
  if (sync) {
    stssRaw_.push_back(n + 1);
  } else {
    appendSawNonSync_ = true;
  }
  return true;
}

bool SampleTable::ExtendLastSample(int64_t extra) {
  if (finalized_ || !appending_ || stts_.empty() || extra < 0) return false;
  TimeToSampleEntry &last = stts_.back();
  if (uint64_t(last.delta) + uint64_t(extra) > UINT32_MAX) return false;
  const uint32_t delta = last.delta + uint32_t(extra);
  if (last.count == 1) {
    last.delta = delta;
  } else {
    --last.count;
    stts_.push_back({1, delta});
  }
  return true;
}

void SampleTable::FlushAppendChunk() {
  if (appendChunkSamples_ == 0) return;
  const uint32_t chunkNumber = uint32_t(chunkOffsets_.size());  // 1-based number of the open chunk
  if (stsc_.empty() || stsc_.back().samplesPerChunk != appendChunkSamples_ ||
      stsc_.back().descriptionIndex != appendChunkDescription_) {
    stsc_.push_back({chunkNumber, appendChunkSamples_, appendChunkDescription_});
  }
  appendChunkSamples_ = 0;
}

int16_t SampleTable::Finalize(std::string *why) {
  if (finalized_) return kNoErr;
  if (appending_) {
    FlushAppendChunk();
    stssPresent_ = appendSawNonSync_;
    if (!stssPresent_) stssRaw_.clear();
    bool anyOffset = false;
    for (const auto &e : ctts_) anyOffset = anyOffset || e.offset != 0;
    if (!anyOffset) ctts_.clear();
  }

  const uint64_t sizeCount = sizesVary_ ? sizes_.size() : constantSizeCount_;
  if (sizeCount > kMaxSamples) return Fail(why, "too many samples");

  // Chunks: which samples each stsc run covers.
  chunkRuns_.clear();
  uint64_t chunkCoverage = 0;
  const uint64_t chunkCount = chunkOffsets_.size();
  for (uint64_t c : chunkOffsets_) {
    if (c >= kMaxChunkOffset) return Fail(why, "chunk offset out of range");
  }
  for (size_t i = 0; i < stsc_.size(); ++i) {
    const auto &e = stsc_[i];
    if (e.firstChunk == 0) return Fail(why, "sample-to-chunk entry names chunk 0");
    if (i > 0 && e.firstChunk <= stsc_[i - 1].firstChunk) return Fail(why, "sample-to-chunk entries out of order");
    if (e.descriptionIndex == 0) return Fail(why, "sample-to-chunk entry names description 0");
    if (e.firstChunk > chunkCount) break;
    const uint64_t end =
        (i + 1 < stsc_.size()) ? std::min<uint64_t>(stsc_[i + 1].firstChunk - 1, chunkCount) : chunkCount;
    const uint64_t chunks = end - (e.firstChunk - 1);
    if (e.samplesPerChunk == 0 || chunks == 0) continue;
    if (chunkCoverage >= sizeCount) break;
    chunkRuns_.push_back({e.firstChunk - 1, e.samplesPerChunk, e.descriptionIndex, uint32_t(chunkCoverage)});
    chunkCoverage += chunks * e.samplesPerChunk;  // < 2^32 * 2^32: cannot overflow
    if (chunkCoverage > kMaxSamples) chunkCoverage = uint64_t(kMaxSamples) + 1;
  }
  uint64_t count = std::min(sizeCount, chunkCoverage);

  // Times.
  timeRuns_.clear();
  timeRuns_.reserve(stts_.size() + 1);
  uint64_t timeCoverage = 0;
  int64_t time = 0;
  for (const auto &e : stts_) {
    if (timeCoverage >= count) break;
    if (e.count == 0) continue;
    const uint32_t n = uint32_t(std::min<uint64_t>(e.count, count - timeCoverage));
    timeRuns_.push_back({uint32_t(timeCoverage), n, e.delta, time});
    int64_t span = 0;
    if (__builtin_mul_overflow(int64_t(n), int64_t(e.delta), &span) || __builtin_add_overflow(time, span, &time)) {
      return Fail(why, "decode times overflow");
    }
    timeCoverage += n;
  }
  if (count > 0 && timeCoverage == 0) return Fail(why, "samples without decode times");
  if (timeCoverage < count) {
    // A short time table: the remaining samples keep the last duration, as
    // players do, rather than losing samples that have data.
    const uint32_t delta = timeRuns_.back().delta;
    const uint32_t n = uint32_t(count - timeCoverage);
    timeRuns_.push_back({uint32_t(timeCoverage), n, delta, time});
    int64_t span = 0;
    if (__builtin_mul_overflow(int64_t(n), int64_t(delta), &span) || __builtin_add_overflow(time, span, &time)) {
      return Fail(why, "decode times overflow");
    }
  }
  count_ = uint32_t(count);
  totalDuration_ = time;

  // Composition offsets: past the table's end the offset is 0.
  offsetRuns_.clear();
  denseOffsets_.clear();
  offsetRuns_.reserve(ctts_.size());
  uint64_t offsetCoverage = 0;
  for (const auto &e : ctts_) {
    if (offsetCoverage >= count) break;
    if (e.count == 0) continue;
    const uint32_t n = uint32_t(std::min<uint64_t>(e.count, count - offsetCoverage));
    offsetRuns_.push_back({uint32_t(offsetCoverage), n, e.offset});
    offsetCoverage += n;
  }
  if (offsetRuns_.size() * sizeof(OffsetRun) > uint64_t(count) * sizeof(int32_t)) {
    denseOffsets_.assign(count_, 0);
    for (const auto &r : offsetRuns_) {
      std::fill_n(denseOffsets_.begin() + r.firstSample, r.count, r.offset);
    }
    Release(offsetRuns_);
  }

  // Sizes and their partial sums.
  maxSize_ = 0;
  sizePrefix_.clear();
  if (sizesVary_) {
    sizes_.resize(count_);
    sizes_.shrink_to_fit();
    sizePrefix_.reserve(count_ / kPrefixStep + 1);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count_; ++i) {
      if (i % kPrefixStep == 0) sizePrefix_.push_back(sum);
      sum += sizes_[i];
      maxSize_ = std::max(maxSize_, sizes_[i]);
    }
  } else {
    constantSizeCount_ = count_;
    maxSize_ = count_ > 0 ? constantSize_ : 0;
  }

  allSync_ = !stssPresent_;
  sync_ = ToSortedZeroBased(stssRaw_, count_);
  partialSync_ = ToSortedZeroBased(stpsRaw_, count_);
  if (dependency_.size() > count_) dependency_.resize(count_);
  // The inputs are indexed now; give their memory back.
  Release(stts_);
  Release(ctts_);
  Release(stsc_);
  Release(stssRaw_);
  Release(stpsRaw_);
  finalized_ = true;
  return kNoErr;
}

size_t SampleTable::TimeRunFor(uint32_t index) const {
  auto it = std::upper_bound(timeRuns_.begin(), timeRuns_.end(), index,
                             [](uint32_t i, const TimeRun &r) { return i < r.firstSample; });
  return size_t(it - timeRuns_.begin()) - 1;
}

int64_t SampleTable::DecodeTime(uint32_t index) const {
  const TimeRun &r = timeRuns_[TimeRunFor(index)];
  return r.firstTime + int64_t(index - r.firstSample) * r.delta;
}

int32_t SampleTable::OffsetFor(uint32_t index) const {
  if (!denseOffsets_.empty()) return denseOffsets_[index];
  auto it = std::upper_bound(offsetRuns_.begin(), offsetRuns_.end(), index,
                             [](uint32_t i, const OffsetRun &r) { return i < r.firstSample; });
  if (it == offsetRuns_.begin()) return 0;
  --it;
  return index - it->firstSample < it->count ? it->offset : 0;
}

uint32_t SampleTable::SizeOf(uint32_t index) const { return sizesVary_ ? sizes_[index] : constantSize_; }

uint64_t SampleTable::SizeSum(uint32_t first, uint32_t end) const {
  if (!sizesVary_) return uint64_t(end - first) * constantSize_;
  auto prefix = [this](uint32_t i) {
    const uint32_t block = i / kPrefixStep;
    if (block >= sizePrefix_.size()) {
      // i == count_ at a block boundary: the sum of everything.
      uint64_t s = sizePrefix_.empty() ? 0 : sizePrefix_.back();
      for (uint32_t k = uint32_t(sizePrefix_.size() - (sizePrefix_.empty() ? 0 : 1)) * kPrefixStep; k < i; ++k) {
        s += sizes_[k];
      }
      return s;
    }
    uint64_t s = sizePrefix_[block];
    for (uint32_t k = block * kPrefixStep; k < i; ++k) s += sizes_[k];
    return s;
  };
  return prefix(end) - prefix(first);
}

uint32_t SampleTable::FlagsFor(uint32_t index) const {
  uint32_t flags = 0;
  if (!allSync_ && !std::binary_search(sync_.begin(), sync_.end(), index)) flags |= kMediaSampleNotSync;
  if (std::binary_search(partialSync_.begin(), partialSync_.end(), index)) flags |= kMediaSamplePartialSync;
  if (index < dependency_.size()) {
    const uint8_t b = dependency_[index];
    static constexpr uint32_t kDependsOn[4] = {0, kMediaSampleDependsOnOthers, kMediaSampleDoesNotDependOnOthers, 0};
    static constexpr uint32_t kDependedOn[4] = {0, kMediaSampleIsDependedOnByOthers,
                                                kMediaSampleIsNotDependedOnByOthers, 0};
    static constexpr uint32_t kRedundancy[4] = {0, kMediaSampleHasRedundantCoding, kMediaSampleHasNoRedundantCoding, 0};
    flags |= kDependsOn[(b >> 4) & 3] | kDependedOn[(b >> 2) & 3] | kRedundancy[b & 3];
  }
  return flags;
}

bool SampleTable::Sample(uint32_t index, SampleRecord *out) const {
  if (!finalized_ || index >= count_ || !out) return false;
  SampleRecord s;
  s.index = index;
  const TimeRun &tr = timeRuns_[TimeRunFor(index)];
  s.decodeTime = tr.firstTime + int64_t(index - tr.firstSample) * tr.delta;
  s.decodeDuration = tr.delta;
  s.displayOffset = OffsetFor(index);
  s.size = SizeOf(index);
  auto it = std::upper_bound(chunkRuns_.begin(), chunkRuns_.end(), index,
                             [](uint32_t i, const ChunkRun &r) { return i < r.firstSample; });
  const ChunkRun &cr = *(it - 1);
  const uint32_t k = (index - cr.firstSample) / cr.samplesPerChunk;
  const uint32_t chunkFirst = cr.firstSample + k * cr.samplesPerChunk;
  s.chunk = cr.firstChunk + k;
  s.position = chunkOffsets_[s.chunk] + SizeSum(chunkFirst, index);
  s.samplesLeftInChunk = std::min<uint32_t>(chunkFirst + cr.samplesPerChunk, count_) - index;
  s.descriptionIndex = cr.descriptionIndex;
  s.flags = FlagsFor(index);
  *out = s;
  return true;
}

bool SampleTable::SampleAtTime(int64_t t, uint32_t *index) const {
  if (!finalized_ || t < 0 || count_ == 0) return false;
  auto it = std::partition_point(timeRuns_.begin(), timeRuns_.end(),
                                 [t](const TimeRun &r) { return r.firstTime + int64_t(r.count) * r.delta <= t; });
  if (it != timeRuns_.end()) {
    if (it->delta == 0) {
      // Zero-duration run starting at t (the test above excludes t < firstTime).
      *index = it->firstSample;
      return true;
    }
    *index = it->firstSample + uint32_t((t - it->firstTime) / it->delta);
    return true;
  }
  return false;
}

bool SampleTable::FirstStartAtOrAfter(int64_t t, int64_t *start) const {
  auto it = std::partition_point(timeRuns_.begin(), timeRuns_.end(),
                                 [t](const TimeRun &r) { return r.firstTime + int64_t(r.count - 1) * r.delta < t; });
  if (it == timeRuns_.end()) return false;
  if (it->firstTime >= t) {
    *start = it->firstTime;
  } else {
    const int64_t k = (t - it->firstTime + it->delta - 1) / it->delta;  // delta > 0 here
    *start = it->firstTime + k * it->delta;
  }
  return true;
}

bool SampleTable::LastStartBefore(int64_t t, int64_t *start) const {
  auto it = std::partition_point(timeRuns_.begin(), timeRuns_.end(), [t](const TimeRun &r) { return r.firstTime < t; });
  if (it == timeRuns_.begin()) return false;
  --it;
  if (it->delta == 0) {
    *start = it->firstTime;
  } else {
    const int64_t k = std::min<int64_t>(it->count - 1, (t - 1 - it->firstTime) / it->delta);
    *start = it->firstTime + k * it->delta;
  }
  return true;
}

bool SampleTable::NextSampleTime(int64_t t, bool edgeOK, int64_t *start) const {
  if (!finalized_ || !start || count_ == 0) return false;
  if (!edgeOK) {
    if (t == std::numeric_limits<int64_t>::max()) return false;
    ++t;
  }
  return FirstStartAtOrAfter(t, start);
}

bool SampleTable::PreviousSampleTime(int64_t t, bool edgeOK, int64_t *start) const {
  if (!finalized_ || !start || count_ == 0) return false;
  if (edgeOK) {
    if (t == std::numeric_limits<int64_t>::max()) return LastStartBefore(t, start);
    ++t;
  }
  return LastStartBefore(t, start);
}

bool SampleTable::SyncAtOrBefore(uint32_t index, uint32_t *syncIndex) const {
  if (!finalized_ || count_ == 0 || !syncIndex) return false;
  index = std::min(index, count_ - 1);
  if (allSync_) {
    *syncIndex = index;
    return true;
  }
  auto it = std::upper_bound(sync_.begin(), sync_.end(), index);
  if (it == sync_.begin()) return false;
  *syncIndex = *(it - 1);
  return true;
}

bool SampleTable::SyncAtOrAfter(uint32_t index, uint32_t *syncIndex) const {
  if (!finalized_ || index >= count_ || !syncIndex) return false;
  if (allSync_) {
    *syncIndex = index;
    return true;
  }
  auto it = std::lower_bound(sync_.begin(), sync_.end(), index);
  if (it == sync_.end()) return false;
  *syncIndex = *it;
  return true;
}

uint64_t SampleTable::DataEnd() const {
  uint64_t end = 0;
  for (size_t r = 0; r < chunkRuns_.size(); ++r) {
    const ChunkRun &cr = chunkRuns_[r];
    const uint32_t runEnd = r + 1 < chunkRuns_.size() ? chunkRuns_[r + 1].firstSample : count_;
    uint32_t chunk = cr.firstChunk;
    for (uint32_t first = cr.firstSample; first < runEnd && first < count_; first += cr.samplesPerChunk, ++chunk) {
      const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(first) + cr.samplesPerChunk, count_));
      end = std::max(end, chunkOffsets_[chunk] + SizeSum(first, last));
    }
  }
  return end;
}

uint32_t SampleTable::MaxDescriptionIndex() const {
  uint32_t m = 0;
  for (const auto &cr : chunkRuns_) {
    if (cr.firstSample < count_) m = std::max(m, cr.descriptionIndex);
  }
  return m;
}

size_t SampleTable::MemoryUsed() const {
  return timeRuns_.capacity() * sizeof(TimeRun) + offsetRuns_.capacity() * sizeof(OffsetRun) +
         denseOffsets_.capacity() * sizeof(int32_t) + sizes_.capacity() * sizeof(uint32_t) +
         sizePrefix_.capacity() * sizeof(uint64_t) + chunkOffsets_.capacity() * sizeof(uint64_t) +
         chunkRuns_.capacity() * sizeof(ChunkRun) + (sync_.capacity() + partialSync_.capacity()) * sizeof(uint32_t) +
         dependency_.capacity() + (stts_.capacity() + ctts_.capacity()) * 8 + stsc_.capacity() * 12 +
         stssRaw_.capacity() * 4;
}

}  // namespace tp::qt
