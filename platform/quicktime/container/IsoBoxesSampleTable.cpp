// Box handlers for the sample table: descriptions, times, offsets, sizes,
// chunks, sync and dependency tables. Each checks its entry count against
// its own size before it allocates anything.
#include <limits>

#include "container/IsoParserContext.h"

namespace tp::qt::iso {
namespace {

// A full box holding an entry count: checks version, that the count's
// entries of entrySize bytes fit after `fixed` bytes, and returns the count.
QtErr CountedTable(ParseContext &ctx, const Box &box, SeenBit bit, size_t fixed, size_t entrySize, uint32_t *count,
                   uint8_t *version = nullptr) {
  if (!ctx.track) return ctx.Fail(kInvalidMovie, Where(box) + " outside a track");
  if (!ctx.Once(bit)) return ctx.Fail(kInvalidSampleTable, "second " + Where(box));
  if (box.payload.size() < fixed) return ctx.Fail(kInvalidSampleTable, "truncated " + Where(box));
  if (version) *version = box.payload[0];
  const uint32_t n = Be32(box.payload.data() + fixed - 4);
  if (n > (box.payload.size() - fixed) / entrySize) {
    return ctx.Fail(kInvalidSampleTable, Where(box) + " claims " + std::to_string(n) + " entries, room for " +
                                             std::to_string((box.payload.size() - fixed) / entrySize));
  }
  *count = n;
  return kNoErr;
}

SampleTable &Table(ParseContext &ctx) { return ctx.track->media.samples; }

QtErr ReadSampleNumbers(ParseContext &ctx, const Box &box, SeenBit bit, bool partial) {
  uint32_t n = 0;
  if (QtErr e = CountedTable(ctx, box, bit, 8, 4, &n)) return e;
  std::vector<uint32_t> numbers(n);
  const uint8_t *p = box.payload.data() + 8;
  for (uint32_t i = 0; i < n; ++i) numbers[i] = Be32(p + 4 * i);
  if (partial) {
    Table(ctx).SetPartialSyncSamples(std::move(numbers));
  } else {
    Table(ctx).SetSyncSamples(std::move(numbers));
  }
  return kNoErr;
}

QtErr ReadChunkOffsets(ParseContext &ctx, const Box &box, size_t width) {
  uint32_t n = 0;
  if (QtErr e = CountedTable(ctx, box, kSeenStco, 8, width, &n)) return e;
  std::vector<uint64_t> offsets(n);
  const uint8_t *p = box.payload.data() + 8;
  for (uint32_t i = 0; i < n; ++i) offsets[i] = width == 8 ? Be64(p + 8 * i) : Be32(p + 4 * i);
  Table(ctx).SetChunkOffsets(std::move(offsets));
  return kNoErr;
}

}  // namespace

QtErr ParseStsd(ParseContext &ctx, const Box &box) {
  uint32_t n = 0;
  if (QtErr e = CountedTable(ctx, box, kSeenStsd, 8, kSampleDescriptionHeaderSize, &n)) return e;
  if (n > ctx.limits.maxDescriptions)
    return ctx.Fail(kInvalidSampleDescription, "too many descriptions in " + Where(box));
  auto &descriptions = ctx.track->media.sampleDescriptions;
  descriptions.reserve(n);
  size_t pos = 8;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t room = box.payload.size() - pos;
    const uint32_t size = room >= 4 ? Be32(box.payload.data() + pos) : 0;
    if (room < kSampleDescriptionHeaderSize || size < kSampleDescriptionHeaderSize || size > room) {
      return ctx.Fail(kInvalidSampleDescription,
                      "sample description " + std::to_string(i + 1) + " does not fit in " + Where(box));
    }
    const uint8_t *p = box.payload.data() + pos;
    descriptions.emplace_back(p, p + size);
    pos += size;
  }
  return kNoErr;
}

QtErr ParseStts(ParseContext &ctx, const Box &box) {
  uint32_t n = 0;
  if (QtErr e = CountedTable(ctx, box, kSeenStts, 8, 8, &n)) return e;
  std::vector<SampleTable::TimeToSampleEntry> entries(n);
  const uint8_t *p = box.payload.data() + 8;
  for (uint32_t i = 0; i < n; ++i) entries[i] = {Be32(p + 8 * i), Be32(p + 8 * i + 4)};
  Table(ctx).SetTimeToSample(std::move(entries));
  return kNoErr;
}

QtErr ParseCtts(ParseContext &ctx, const Box &box) {
  uint32_t n = 0;
  uint8_t version = 0;
  if (QtErr e = CountedTable(ctx, box, kSeenCtts, 8, 8, &n, &version)) return e;
  if (version > 1) return ctx.Fail(kInvalidSampleTable, "unknown version of " + Where(box));
  // Version 0 stores unsigned offsets, but writers put negative ones there
  // too; both versions are read as signed.
  std::vector<SampleTable::CompositionEntry> entries(n);
  const uint8_t *p = box.payload.data() + 8;
  for (uint32_t i = 0; i < n; ++i) entries[i] = {Be32(p + 8 * i), int32_t(Be32(p + 8 * i + 4))};
  Table(ctx).SetCompositionOffsets(std::move(entries));
  return kNoErr;
}

QtErr ParseStss(ParseContext &ctx, const Box &box) { return ReadSampleNumbers(ctx, box, kSeenStss, false); }
QtErr ParseStps(ParseContext &ctx, const Box &box) { return ReadSampleNumbers(ctx, box, kSeenStps, true); }

QtErr ParseStsz(ParseContext &ctx, const Box &box) {
  if (!ctx.track) return ctx.Fail(kInvalidMovie, Where(box) + " outside a track");
  if (!ctx.Once(kSeenStsz)) return ctx.Fail(kInvalidSampleTable, "second sample size box " + Where(box));
  if (box.payload.size() < 12) return ctx.Fail(kInvalidSampleTable, "truncated " + Where(box));
  const uint32_t constant = Be32(box.payload.data() + 4);
  const uint32_t n = Be32(box.payload.data() + 8);
  if (n > SampleTable::kMaxSamples) return ctx.Fail(kInvalidSampleTable, "too many samples in " + Where(box));
  if (constant != 0) {
    Table(ctx).SetConstantSize(constant, n);
    return kNoErr;
  }
  if (n > (box.payload.size() - 12) / 4) {
    return ctx.Fail(kInvalidSampleTable, Where(box) + " claims " + std::to_string(n) + " sizes");
  }
  std::vector<uint32_t> sizes(n);
  const uint8_t *p = box.payload.data() + 12;
  for (uint32_t i = 0; i < n; ++i) sizes[i] = Be32(p + 4 * i);
  Table(ctx).SetSizes(std::move(sizes));
  return kNoErr;
}

QtErr ParseStz2(ParseContext &ctx, const Box &box) {
  if (!ctx.track) return ctx.Fail(kInvalidMovie, Where(box) + " outside a track");
  if (!ctx.Once(kSeenStsz)) return ctx.Fail(kInvalidSampleTable, "second sample size box " + Where(box));
  if (box.payload.size() < 12) return ctx.Fail(kInvalidSampleTable, "truncated " + Where(box));
  const uint8_t fieldSize = box.payload[7];
  const uint32_t n = Be32(box.payload.data() + 8);
  if (fieldSize != 4 && fieldSize != 8 && fieldSize != 16) {
    return ctx.Fail(kInvalidSampleTable, "field size " + std::to_string(fieldSize) + " in " + Where(box));
  }
  const uint64_t bytes = (uint64_t(n) * fieldSize + 7) / 8;
  if (bytes > box.payload.size() - 12) {
    return ctx.Fail(kInvalidSampleTable, Where(box) + " claims " + std::to_string(n) + " sizes");
  }
  std::vector<uint32_t> sizes(n);
  const uint8_t *p = box.payload.data() + 12;
  for (uint32_t i = 0; i < n; ++i) {
    if (fieldSize == 16) {
      sizes[i] = Be16(p + 2 * i);
    } else if (fieldSize == 8) {
      sizes[i] = p[i];
    } else {
      sizes[i] = (i % 2 == 0) ? (p[i / 2] >> 4) : (p[i / 2] & 0x0F);
    }
  }
  Table(ctx).SetSizes(std::move(sizes));
  return kNoErr;
}

QtErr ParseStsc(ParseContext &ctx, const Box &box) {
  uint32_t n = 0;
  if (QtErr e = CountedTable(ctx, box, kSeenStsc, 8, 12, &n)) return e;
  std::vector<SampleTable::SampleToChunkEntry> entries(n);
  const uint8_t *p = box.payload.data() + 8;
  for (uint32_t i = 0; i < n; ++i) entries[i] = {Be32(p + 12 * i), Be32(p + 12 * i + 4), Be32(p + 12 * i + 8)};
  Table(ctx).SetSampleToChunk(std::move(entries));
  return kNoErr;
}

QtErr ParseStco(ParseContext &ctx, const Box &box) { return ReadChunkOffsets(ctx, box, 4); }
QtErr ParseCo64(ParseContext &ctx, const Box &box) { return ReadChunkOffsets(ctx, box, 8); }

QtErr ParseSdtp(ParseContext &ctx, const Box &box) {
  if (!ctx.track) return ctx.Fail(kInvalidMovie, Where(box) + " outside a track");
  if (!ctx.Once(kSeenSdtp)) return ctx.Fail(kInvalidSampleTable, "second " + Where(box));
  if (box.payload.size() < 4) return ctx.Fail(kInvalidSampleTable, "truncated " + Where(box));
  Table(ctx).SetDependencyBytes(std::vector<uint8_t>(box.payload.begin() + 4, box.payload.end()));
  return kNoErr;
}

}  // namespace tp::qt::iso
