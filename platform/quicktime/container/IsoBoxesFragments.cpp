// Box handlers for movie fragments: the defaults of 'mvex' ('trex', 'mehd')
// and each 'moof' with its track fragments ('traf': 'tfhd', 'tfdt', 'trun').
// Fragment samples are appended to a per-track table in decode order, behind
// the samples the movie box already holds, so that a fragmented movie ends up
// with one ordinary sample table per track. Sample data is never read: a run
// gives every sample's size and position.
#include <algorithm>
#include <limits>

#include "container/IsoParserContext.h"

namespace tp::qt::iso {
namespace {

// 'tfhd' flags.
constexpr uint32_t kTfhdBaseDataOffset = 0x000001;
constexpr uint32_t kTfhdDescriptionIndex = 0x000002;
constexpr uint32_t kTfhdDefaultDuration = 0x000008;
constexpr uint32_t kTfhdDefaultSize = 0x000010;
constexpr uint32_t kTfhdDefaultFlags = 0x000020;
constexpr uint32_t kTfhdDefaultBaseIsMoof = 0x020000;
// 'trun' flags.
constexpr uint32_t kTrunDataOffset = 0x000001;
constexpr uint32_t kTrunFirstSampleFlags = 0x000004;
constexpr uint32_t kTrunDuration = 0x000100;
constexpr uint32_t kTrunSize = 0x000200;
constexpr uint32_t kTrunFlags = 0x000400;
constexpr uint32_t kTrunCompositionOffset = 0x000800;
// Sample flags: not a sync sample, and "depends on others" (bits 24-25 = 1).
constexpr uint32_t kSampleNonSync = 0x00010000;
constexpr uint32_t kSampleDependsOnMask = 0x03000000;
constexpr uint32_t kSampleDependsOnYes = 0x01000000;

bool FullBox(const Box &box, uint8_t *version, uint32_t *flags) {
  if (box.payload.size() < 4) return false;
  *version = box.payload[0];
  *flags = Be32(box.payload.data()) & 0xFFFFFF;
  return true;
}

// The sdtp byte of a fragment sample's flags (leading, depends on, depended
// on, redundancy: bits 20 to 27).
uint8_t DependencyByte(uint32_t sampleFlags) { return uint8_t(sampleFlags >> 20); }

// The sdtp byte back from the flags a finished table hands out.
uint8_t DependencyByteOf(uint32_t flags) {
  uint8_t b = 0;
  if (flags & kMediaSampleDependsOnOthers) b |= 1 << 4;
  if (flags & kMediaSampleDoesNotDependOnOthers) b |= 2 << 4;
  if (flags & kMediaSampleIsDependedOnByOthers) b |= 1 << 2;
  if (flags & kMediaSampleIsNotDependedOnByOthers) b |= 2 << 2;
  if (flags & kMediaSampleHasRedundantCoding) b |= 1;
  if (flags & kMediaSampleHasNoRedundantCoding) b |= 2;
  return b;
}

void AddDependency(FragmentedTrack &f, uint8_t dep) {
  if (dep != 0 && f.dependency.size() < f.samples) f.dependency.resize(f.samples, 0);
  if (dep != 0 || !f.dependency.empty()) f.dependency.push_back(dep);
  ++f.samples;
}

// The first track with the id (SIZE_MAX when none).
size_t TrackIndex(const ParseContext &ctx, uint32_t trackId) {
  auto it = std::lower_bound(ctx.trackById.begin(), ctx.trackById.end(), std::make_pair(trackId, size_t(0)));
  return it != ctx.trackById.end() && it->first == trackId ? it->second : SIZE_MAX;
}

// The first fragment of a track: its table restarts in append mode with the
// samples the movie box gave it.
QtErr StartFragmentedTrack(ParseContext &ctx, size_t index) {
  if (ctx.fragments.size() < ctx.movie->tracks.size()) ctx.fragments.resize(ctx.movie->tracks.size());
  FragmentedTrack &f = ctx.fragments[index];
  if (f.started) return kNoErr;
  f.started = true;
  const SampleTable &stored = ctx.movie->tracks[index].media.samples;
  SampleRecord s;
  for (uint32_t i = 0; i < stored.count(); ++i) {
    stored.Sample(i, &s);
    if (!f.table.AppendSample(s.decodeDuration, s.displayOffset, s.size, s.position,
                              (s.flags & kMediaSampleNotSync) == 0, s.descriptionIndex)) {
      return ctx.Fail(kInvalidSampleTable, "track " + std::to_string(ctx.movie->tracks[index].id) + ": sample " +
                                               std::to_string(i + 1) + " cannot be kept");
    }
    AddDependency(f, DependencyByteOf(s.flags));
  }
  f.nextDecodeTime = stored.totalDuration();
  return kNoErr;
}

}  // namespace

QtErr ParseMvex(ParseContext &ctx, const Box &box) {
  if (ctx.fragmented) return ctx.Fail(kInvalidMovie, "second " + Where(box));
  ctx.fragmented = true;
  return ParseChildren(ctx, box);
}

QtErr ParseMehd(ParseContext &ctx, const Box &box) {
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBox(box, &version, &flags) || version > 1 || box.payload.size() < (version == 1 ? 12u : 8u)) {
    return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  }
  const uint8_t *p = box.payload.data() + 4;
  ctx.fragmentDuration = version == 1 ? Be64(p) : Be32(p);
  return kNoErr;
}

QtErr ParseTrex(ParseContext &ctx, const Box &box) {
  if (box.payload.size() < 24) return ctx.Fail(kInvalidMovie, "truncated " + Where(box));
  if (ctx.extends.size() >= ctx.limits.maxTracks) return ctx.Fail(kInvalidMovie, "too many " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  TrackExtends t;
  t.trackId = Be32(p);
  t.descriptionIndex = Be32(p + 4);
  t.duration = Be32(p + 8);
  t.size = Be32(p + 12);
  t.flags = Be32(p + 16);
  for (const TrackExtends &e : ctx.extends) {
    if (e.trackId == t.trackId) return ctx.Fail(kInvalidMovie, "second " + Where(box) + " for one track");
  }
  ctx.extends.push_back(t);
  return kNoErr;
}

QtErr ParseMovieFragment(ParseContext &ctx, const Box &moof) {
  if (ctx.trackById.empty()) {
    for (size_t i = 0; i < ctx.movie->tracks.size(); ++i) ctx.trackById.emplace_back(ctx.movie->tracks[i].id, i);
    std::sort(ctx.trackById.begin(), ctx.trackById.end());
    std::sort(ctx.extends.begin(), ctx.extends.end(),
              [](const TrackExtends &a, const TrackExtends &b) { return a.trackId < b.trackId; });
  }
  ctx.moofOffset = moof.offset;
  ctx.firstTrafInMoof = true;
  ctx.previousTrafDataEnd = moof.offset;
  return ParseChildren(ctx, moof);
}

QtErr ParseTraf(ParseContext &ctx, const Box &box) {
  ctx.traf = TrackFragment();
  const QtErr e = ParseChildren(ctx, box);
  if (e == kNoErr && ctx.traf.haveHeader) ctx.previousTrafDataEnd = ctx.traf.nextDataOffset;
  ctx.firstTrafInMoof = false;
  ctx.traf = TrackFragment();
  return e;
}

QtErr ParseTfhd(ParseContext &ctx, const Box &box) {
  TrackFragment &t = ctx.traf;
  if (t.haveHeader || t.trackIndex == SIZE_MAX) return ctx.Fail(kInvalidMovie, "second " + Where(box));
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBox(box, &version, &flags) || box.payload.size() < 8) return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  const size_t need = 8 + ((flags & kTfhdBaseDataOffset) ? 8 : 0) + ((flags & kTfhdDescriptionIndex) ? 4 : 0) +
                      ((flags & kTfhdDefaultDuration) ? 4 : 0) + ((flags & kTfhdDefaultSize) ? 4 : 0) +
                      ((flags & kTfhdDefaultFlags) ? 4 : 0);
  if (box.payload.size() < need) return ctx.Fail(kInvalidMovie, "truncated " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  const uint32_t trackId = Be32(p);
  p += 4;
  t.trackIndex = TrackIndex(ctx, trackId);
  if (t.trackIndex == SIZE_MAX) return kNoErr;  // a fragment of no track: its runs are skipped
  TrackExtends defaults;
  auto ext = std::lower_bound(ctx.extends.begin(), ctx.extends.end(), trackId,
                              [](const TrackExtends &e, uint32_t id) { return e.trackId < id; });
  if (ext != ctx.extends.end() && ext->trackId == trackId) defaults = *ext;
  t.descriptionIndex = defaults.descriptionIndex;
  t.defaultDuration = defaults.duration;
  t.defaultSize = defaults.size;
  t.defaultFlags = defaults.flags;
  if (flags & kTfhdBaseDataOffset) {
    t.baseDataOffset = Be64(p);
    p += 8;
  } else if ((flags & kTfhdDefaultBaseIsMoof) || ctx.firstTrafInMoof) {
    t.baseDataOffset = ctx.moofOffset;
  } else {
    t.baseDataOffset = ctx.previousTrafDataEnd;
  }
  if (flags & kTfhdDescriptionIndex) {
    t.descriptionIndex = Be32(p);
    p += 4;
  }
  if (flags & kTfhdDefaultDuration) {
    t.defaultDuration = Be32(p);
    p += 4;
  }
  if (flags & kTfhdDefaultSize) {
    t.defaultSize = Be32(p);
    p += 4;
  }
  if (flags & kTfhdDefaultFlags) t.defaultFlags = Be32(p);
  if (t.descriptionIndex == 0) return ctx.Fail(kInvalidSampleDescIndex, "description 0 in " + Where(box));
  t.nextDataOffset = t.baseDataOffset;
  t.haveHeader = true;
  return StartFragmentedTrack(ctx, t.trackIndex);
}

QtErr ParseTfdt(ParseContext &ctx, const Box &box) {
  const TrackFragment &t = ctx.traf;
  if (t.trackIndex == SIZE_MAX) return kNoErr;
  if (!t.haveHeader) return ctx.Fail(kInvalidMovie, Where(box) + " before the fragment header");
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBox(box, &version, &flags) || version > 1 || box.payload.size() < (version == 1 ? 12u : 8u)) {
    return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  }
  const uint64_t base = version == 1 ? Be64(box.payload.data() + 4) : Be32(box.payload.data() + 4);
  FragmentedTrack &f = ctx.fragments[t.trackIndex];
  // A later start than the samples so far reach is a gap, which the last
  // sample so far covers (its decode duration grows). An earlier one cannot
  // be represented and is ignored: samples keep following each other. So is
  // a start before the first sample: decode times begin at 0.
  if (base > uint64_t(std::numeric_limits<int64_t>::max())) return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  const int64_t start = int64_t(base);
  if (start > f.nextDecodeTime && f.samples > 0) {
    if (!f.table.ExtendLastSample(start - f.nextDecodeTime)) {
      return ctx.Fail(kInvalidSampleTable, "decode time gap too large at " + Where(box));
    }
    f.nextDecodeTime = start;
  }
  return kNoErr;
}

QtErr ParseTrun(ParseContext &ctx, const Box &box) {
  TrackFragment &t = ctx.traf;
  if (t.trackIndex == SIZE_MAX) return kNoErr;
  if (!t.haveHeader) return ctx.Fail(kInvalidMovie, Where(box) + " before the fragment header");
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBox(box, &version, &flags) || box.payload.size() < 8) return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  const uint32_t count = Be32(p);
  size_t pos = 8;
  uint64_t dataOffset = t.nextDataOffset;
  if (flags & kTrunDataOffset) {
    if (box.payload.size() < pos + 4) return ctx.Fail(kInvalidMovie, "truncated " + Where(box));
    const int64_t relative = int32_t(Be32(box.payload.data() + pos));
    if (relative < 0 && uint64_t(-relative) > t.baseDataOffset) {
      return ctx.Fail(kInvalidMovie, "data offset before the file in " + Where(box));
    }
    dataOffset = t.baseDataOffset + uint64_t(relative);
    pos += 4;
  }
  uint32_t firstFlags = 0;
  const bool haveFirstFlags = (flags & kTrunFirstSampleFlags) != 0;
  if (haveFirstFlags) {
    if (box.payload.size() < pos + 4) return ctx.Fail(kInvalidMovie, "truncated " + Where(box));
    firstFlags = Be32(box.payload.data() + pos);
    pos += 4;
  }
  const size_t entrySize = 4 * (size_t((flags & kTrunDuration) != 0) + size_t((flags & kTrunSize) != 0) +
                                size_t((flags & kTrunFlags) != 0) + size_t((flags & kTrunCompositionOffset) != 0));
  // Entries are checked against the box; runs without per-sample fields
  // against the bound on all fragment samples, before anything is appended.
  if (entrySize > 0 && count > (box.payload.size() - pos) / entrySize) {
    return ctx.Fail(kInvalidSampleTable, Where(box) + " claims " + std::to_string(count) + " samples");
  }
  if (count > ctx.limits.maxFragmentSamples - std::min(ctx.fragmentSamples, ctx.limits.maxFragmentSamples)) {
    return ctx.Fail(kInvalidSampleTable, "too many samples in the fragments at " + Where(box));
  }
  ctx.fragmentSamples += count;
  FragmentedTrack &f = ctx.fragments[t.trackIndex];
  const uint8_t *e = box.payload.data() + pos;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t duration = t.defaultDuration;
    uint32_t size = t.defaultSize;
    uint32_t sampleFlags = (i == 0 && haveFirstFlags) ? firstFlags : t.defaultFlags;
    int64_t offset = 0;
    if (flags & kTrunDuration) duration = Be32(e), e += 4;
    if (flags & kTrunSize) size = Be32(e), e += 4;
    if (flags & kTrunFlags) {
      const uint32_t v = Be32(e);
      e += 4;
      if (!(i == 0 && haveFirstFlags)) sampleFlags = v;
    }
    if (flags & kTrunCompositionOffset) {
      // Version 0 stores unsigned offsets, but writers put negative ones
      // there too; both versions are read as signed, as 'ctts' is.
      offset = int32_t(Be32(e));
      e += 4;
    }
    const bool sync =
        (sampleFlags & kSampleNonSync) == 0 && (sampleFlags & kSampleDependsOnMask) != kSampleDependsOnYes;
    if (!f.table.AppendSample(duration, offset, size, dataOffset, sync, t.descriptionIndex)) {
      return ctx.Fail(kInvalidSampleTable,
                      "sample " + std::to_string(i + 1) + " of " + Where(box) + " cannot be represented");
    }
    AddDependency(f, DependencyByte(sampleFlags));
    if (__builtin_add_overflow(dataOffset, uint64_t(size), &dataOffset) ||
        __builtin_add_overflow(f.nextDecodeTime, int64_t(duration), &f.nextDecodeTime)) {
      return ctx.Fail(kInvalidSampleTable, "sample positions or times overflow in " + Where(box));
    }
  }
  t.nextDataOffset = dataOffset;
  return kNoErr;
}

QtErr FinishFragments(ParseContext &ctx) {
  Movie &movie = *ctx.movie;
  for (size_t i = 0; i < ctx.fragments.size() && i < movie.tracks.size(); ++i) {
    FragmentedTrack &f = ctx.fragments[i];
    if (!f.started) continue;
    Track &track = movie.tracks[i];
    Media &media = track.media;
    const std::string name = "track " + std::to_string(track.id);
    if (!f.dependency.empty()) f.table.SetDependencyBytes(std::move(f.dependency));
    std::string why;
    if (QtErr e = f.table.Finalize(&why)) return ctx.Fail(e, name + ": " + why);
    if (f.table.MaxDescriptionIndex() > media.sampleDescriptions.size()) {
      return ctx.Fail(kInvalidSampleDescIndex, name + ": fragments name sample description " +
                                                   std::to_string(f.table.MaxDescriptionIndex()) + " of " +
                                                   std::to_string(media.sampleDescriptions.size()));
    }
    media.samples = std::move(f.table);
    media.duration = std::max(media.duration, media.samples.totalDuration());
    // The track header only knows the samples of the movie box; without an
    // edit list the track plays all its media. Writers of an empty movie box
    // leave the length of its last edit at 0: it runs to the media's end.
    if (!track.hasEditList) track.duration = 0;
    if (track.hasEditList && track.edits.back().movieDuration == 0 && track.edits.back().mediaTime >= 0 &&
        media.timeScale > 0) {
      const __int128 rest = __int128(std::max<int64_t>(0, media.duration - track.edits.back().mediaTime)) *
                            movie.timeScale / media.timeScale;
      track.edits.back().movieDuration = rest > INT64_MAX ? INT64_MAX : int64_t(rest);
    }
  }
  ctx.fragments.clear();
  return kNoErr;
}

}  // namespace tp::qt::iso
