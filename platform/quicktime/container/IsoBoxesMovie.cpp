// Box handlers for the movie, track and media headers, the edit list and the
// data reference, and the completion of a track.
#include <algorithm>
#include <limits>

#include "container/IsoParserContext.h"

namespace tp::qt::iso {
namespace {

constexpr uint32_t kAllOnes32 = 0xFFFFFFFFu;

// Version and flags of a full box; false when the payload is too short.
bool FullBoxHeader(const Box &box, uint8_t *version, uint32_t *flags) {
  if (box.payload.size() < 4) return false;
  *version = box.payload[0];
  *flags = Be32(box.payload.data()) & 0xFFFFFF;
  return true;
}

QtErr NeedTrack(ParseContext &ctx, const Box &box) {
  return ctx.track ? QtErr(kNoErr) : ctx.Fail(kInvalidMovie, Where(box) + " outside a track");
}

QtErr Duplicate(ParseContext &ctx, const Box &box) {
  return ctx.Fail(kInvalidTrack, "track " + std::to_string(ctx.track->id) + ": second " + Where(box));
}

}  // namespace

QtErr RefuseCompressedMovie(ParseContext &ctx, const Box &box) {
  return ctx.Fail(kFeatureUnsupported, "compressed movie headers (" + Where(box) + ") are not supported");
}

QtErr ParseMvhd(ParseContext &ctx, const Box &box) {
  if (ctx.haveMovieHeader) return ctx.Fail(kInvalidMovie, "second movie header " + Where(box));
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBoxHeader(box, &version, &flags) || version > 1) return ctx.Fail(kInvalidMovie, "bad " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  const size_t need = version == 1 ? 108 : 96;
  if (box.payload.size() - 4 < need) return ctx.Fail(kInvalidMovie, "truncated " + Where(box));
  Movie &m = *ctx.movie;
  uint64_t duration = 0;
  if (version == 1) {
    m.timeScale = Be32(p + 16);
    duration = Be64(p + 20);
    p += 28;
  } else {
    m.timeScale = Be32(p + 8);
    duration = Be32(p + 12);
    p += 16;
  }
  if (m.timeScale == 0) return ctx.Fail(kInvalidMovie, "movie time scale 0 in " + Where(box));
  if (duration > uint64_t(std::numeric_limits<int64_t>::max())) {
    return ctx.Fail(kInvalidDuration, "movie duration out of range in " + Where(box));
  }
  m.duration = int64_t(duration);
  m.preferredRate = int32_t(Be32(p));
  m.preferredVolume = int16_t(Be16(p + 4));
  m.nextTrackId = Be32(p + 76);
  ctx.haveMovieHeader = true;
  return kNoErr;
}

QtErr ParseTrak(ParseContext &ctx, const Box &box) {
  Movie &m = *ctx.movie;
  if (m.tracks.size() >= ctx.limits.maxTracks) return ctx.Fail(kInvalidMovie, "too many tracks");
  m.tracks.emplace_back();
  ctx.track = &m.tracks.back();
  ctx.track->media.data.path = m.path;
  ctx.seen = 0;
  ctx.mediaDurationRaw = 0;
  QtErr e = ParseChildren(ctx, box);
  if (e == kNoErr) e = FinishTrack(ctx, box);
  ctx.track = nullptr;
  return e;
}

QtErr ParseTkhd(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenTkhd)) return Duplicate(ctx, box);
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBoxHeader(box, &version, &flags) || version > 1) return ctx.Fail(kInvalidTrack, "bad " + Where(box));
  const size_t need = version == 1 ? 92 : 80;
  if (box.payload.size() - 4 < need) return ctx.Fail(kInvalidTrack, "truncated " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  Track &t = *ctx.track;
  uint64_t duration = 0;
  if (version == 1) {
    t.id = Be32(p + 16);
    duration = Be64(p + 24);
    p += 32;
  } else {
    t.id = Be32(p + 8);
    duration = Be32(p + 16);
    if (duration == kAllOnes32) duration = 0;  // unknown
    p += 20;
  }
  if (duration > uint64_t(std::numeric_limits<int64_t>::max())) duration = 0;
  t.duration = int64_t(duration);
  t.headerFlags = flags;
  t.enabled = (flags & 1) != 0;
  t.layer = int16_t(Be16(p + 8));
  t.alternateGroup = int16_t(Be16(p + 10));
  t.volume = int16_t(Be16(p + 12));
  for (int i = 0; i < 9; ++i) t.matrix[i] = int32_t(Be32(p + 16 + 4 * i));
  t.width = int32_t(Be32(p + 52));
  t.height = int32_t(Be32(p + 56));
  return kNoErr;
}

QtErr ParseElst(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenElst)) return Duplicate(ctx, box);
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBoxHeader(box, &version, &flags) || version > 1 || box.payload.size() < 8) {
    return ctx.Fail(kBadEditList, "bad " + Where(box));
  }
  const uint32_t count = Be32(box.payload.data() + 4);
  const size_t entrySize = version == 1 ? 20 : 12;
  if (count > (box.payload.size() - 8) / entrySize || count > ctx.limits.maxEdits) {
    return ctx.Fail(kBadEditList, Where(box) + " claims " + std::to_string(count) + " entries");
  }
  std::vector<EditSegment> edits;
  edits.reserve(count);
  const uint8_t *p = box.payload.data() + 8;
  int64_t total = 0;
  for (uint32_t i = 0; i < count; ++i, p += entrySize) {
    uint64_t duration = 0;
    int64_t mediaTime = 0;
    int32_t rate = 0;
    if (version == 1) {
      duration = Be64(p);
      mediaTime = int64_t(Be64(p + 8));
      rate = int32_t(Be32(p + 16));
    } else {
      duration = Be32(p);
      mediaTime = int32_t(Be32(p + 4));
      rate = int32_t(Be32(p + 8));
    }
    if (duration > uint64_t(std::numeric_limits<int64_t>::max()) || mediaTime < -1 ||
        __builtin_add_overflow(total, int64_t(duration), &total)) {
      return ctx.Fail(kBadEditList, "edit " + std::to_string(i + 1) + " out of range in " + Where(box));
    }
    edits.push_back({int64_t(duration), mediaTime, rate});
  }
  ctx.track->edits = std::move(edits);
  ctx.track->hasEditList = !ctx.track->edits.empty();
  return kNoErr;
}

QtErr ParseMdia(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenMdia)) return Duplicate(ctx, box);
  return ParseChildren(ctx, box);
}

QtErr ParseStbl(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenStbl)) return Duplicate(ctx, box);
  return ParseChildren(ctx, box);
}

QtErr ParseMdhd(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenMdhd)) return Duplicate(ctx, box);
  uint8_t version = 0;
  uint32_t flags = 0;
  if (!FullBoxHeader(box, &version, &flags) || version > 1) return ctx.Fail(kInvalidMedia, "bad " + Where(box));
  const size_t need = version == 1 ? 32 : 20;
  if (box.payload.size() - 4 < need) return ctx.Fail(kInvalidMedia, "truncated " + Where(box));
  const uint8_t *p = box.payload.data() + 4;
  Media &m = ctx.track->media;
  if (version == 1) {
    m.timeScale = Be32(p + 16);
    ctx.mediaDurationRaw = Be64(p + 20);
    p += 28;
  } else {
    m.timeScale = Be32(p + 8);
    ctx.mediaDurationRaw = Be32(p + 12);
    if (ctx.mediaDurationRaw == kAllOnes32) ctx.mediaDurationRaw = ~uint64_t(0);
    p += 16;
  }
  if (m.timeScale == 0) return ctx.Fail(kInvalidMedia, "media time scale 0 in " + Where(box));
  m.language = Be16(p);
  m.quality = Be16(p + 2);
  return kNoErr;
}

QtErr ParseHdlr(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenHdlr)) return Duplicate(ctx, box);
  if (box.payload.size() < 24) return ctx.Fail(kInvalidMedia, "truncated " + Where(box));
  Media &m = ctx.track->media;
  const uint8_t *p = box.payload.data();
  m.handlerType = Be32(p + 8);
  // The name is a Pascal string in QuickTime files, a C string in ISO ones.
  std::span<const uint8_t> name = box.payload.subspan(24);
  if (!name.empty() && name[0] == name.size() - 1 && Be32(p + 4) != 0) name = name.subspan(1);
  size_t n = 0;
  while (n < name.size() && n < 255 && name[n] != 0) ++n;
  m.handlerName.assign(reinterpret_cast<const char *>(name.data()), n);
  return kNoErr;
}

QtErr ParseDref(ParseContext &ctx, const Box &box) {
  if (QtErr e = NeedTrack(ctx, box)) return e;
  if (!ctx.Once(kSeenDref)) return Duplicate(ctx, box);
  if (box.payload.size() < 8) return ctx.Fail(kInvalidMedia, "truncated " + Where(box));
  const uint32_t count = Be32(box.payload.data() + 4);
  if (count > (box.payload.size() - 8) / 12) {
    return ctx.Fail(kInvalidMedia, Where(box) + " claims " + std::to_string(count) + " entries");
  }
  size_t pos = 8;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t room = box.payload.size() - pos;
    const uint32_t size = room >= 4 ? Be32(box.payload.data() + pos) : 0;
    if (room < 12 || size < 12 || size > room) {
      return ctx.Fail(kInvalidMedia, "data reference " + std::to_string(i + 1) + " does not fit in " + Where(box));
    }
    pos += size;
  }
  if (count == 0) return kNoErr;
  // Data reference 1 is the one every chunk of ours uses; flag 1 means "in
  // this file". Others name another file, which we do not follow.
  const uint32_t flags = Be32(box.payload.data() + 16) & 0xFFFFFF;
  ctx.track->media.data.selfContained = (flags & 1) != 0;
  return kNoErr;
}

QtErr FinishTrack(ParseContext &ctx, const Box &trak) {
  Track &t = *ctx.track;
  Media &m = t.media;
  const std::string name = "track " + std::to_string(t.id);
  if (!(ctx.seen & kSeenTkhd))
    return ctx.Fail(kInvalidTrack, "track without a track header ('tkhd') at " + Where(trak));
  if (!(ctx.seen & kSeenMdia)) return ctx.Fail(kInvalidTrack, name + " has no media ('mdia')");
  if (!(ctx.seen & kSeenMdhd)) return ctx.Fail(kInvalidMedia, name + " has no media header ('mdhd')");
  if (!(ctx.seen & kSeenHdlr)) return ctx.Fail(kInvalidMedia, name + " has no handler ('hdlr')");
  if (!(ctx.seen & kSeenStbl)) return ctx.Fail(kInvalidMedia, name + " has no sample table ('stbl')");

  const uint32_t tableParts = ctx.seen & (kSeenStts | kSeenStsz | kSeenStsc | kSeenStco);
  if (tableParts != 0 && tableParts != (kSeenStts | kSeenStsz | kSeenStsc | kSeenStco)) {
    const char *missing = !(tableParts & kSeenStts)   ? "'stts'"
                          : !(tableParts & kSeenStsz) ? "'stsz'"
                          : !(tableParts & kSeenStsc) ? "'stsc'"
                                                      : "'stco'";
    return ctx.Fail(kInvalidSampleTable, name + ": sample table without " + missing);
  }
  std::string why;
  if (QtErr e = m.samples.Finalize(&why)) return ctx.Fail(e, name + ": " + why);
  if (m.samples.MaxDescriptionIndex() > m.sampleDescriptions.size()) {
    return ctx.Fail(kInvalidSampleDescIndex, name + ": chunks name sample description " +
                                                 std::to_string(m.samples.MaxDescriptionIndex()) + " of " +
                                                 std::to_string(m.sampleDescriptions.size()));
  }
  for (size_t i = 0; i < m.sampleDescriptions.size(); ++i) {
    const auto &d = m.sampleDescriptions[i];
    if (m.handlerType == kVideoMediaType && d.size() < kImageDescriptionSize) {
      return ctx.Fail(kBadImageDescription, name + ": image description " + std::to_string(i + 1) + " too short");
    }
    SoundDescriptionInfo info;
    if (m.handlerType == kSoundMediaType && !ReadSoundDescription(d, &info)) {
      return ctx.Fail(kInvalidSampleDescription,
                      name + ": sound description " + std::to_string(i + 1) + " too short for its version");
    }
  }

  // Media duration as stored; an unknown one (all ones) is the samples' end.
  if (ctx.mediaDurationRaw > uint64_t(std::numeric_limits<int64_t>::max())) {
    m.duration = m.samples.totalDuration();
  } else {
    m.duration = int64_t(ctx.mediaDurationRaw);
  }

  return kNoErr;
}

}  // namespace tp::qt::iso
