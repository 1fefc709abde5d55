// Movie model: description field readers and movie-time / media-time mapping.
#include "container/MovieModel.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tp::qt {
namespace {

uint16_t Be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t Be64(const uint8_t *p) { return (uint64_t(Be32(p)) << 32) | Be32(p + 4); }

using Wide = __int128;

// Media time playing at movie time t of an edit that starts at movie time s
// and media time m0 (rate > 0). Floors.
int64_t MediaAt(const EditSegment &e, int64_t s, int64_t t, uint32_t movieScale, uint32_t mediaScale) {
  const Wide num = Wide(t - s) * mediaScale * e.mediaRate;
  const Wide den = Wide(movieScale) * kFixed1;
  Wide q = num / den;
  if (num % den != 0 && num < 0) --q;
  const Wide r = Wide(e.mediaTime) + q;
  if (r > Wide(std::numeric_limits<int64_t>::max())) return std::numeric_limits<int64_t>::max();
  if (r < Wide(std::numeric_limits<int64_t>::min())) return std::numeric_limits<int64_t>::min();
  return int64_t(r);
}

// First movie time of that edit at which media time ms (>= m0) plays. Ceils.
int64_t MovieAt(const EditSegment &e, int64_t s, int64_t ms, uint32_t movieScale, uint32_t mediaScale) {
  const Wide num = Wide(ms - e.mediaTime) * movieScale * kFixed1;
  const Wide den = Wide(mediaScale) * e.mediaRate;
  Wide q = num / den;
  if (num % den != 0 && num > 0) ++q;
  const Wide r = Wide(s) + q;
  return r > Wide(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(r);
}

bool PrintableFourCC(const uint8_t *p) {
  for (int i = 0; i < 4; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  }
  return true;
}

// ISO files may mark an audio entry version 1 without QuickTime's four
// version-1 fields: the extension atoms then start right after the version-0
// record. Where QuickTime has bytesPerPacket, such an entry has an atom type,
// which no real packet size looks like.
bool IsoStyleVersion1(std::span<const uint8_t> d) {
  if (d.size() < kSoundDescriptionV0Size + 8 || Be16(d.data() + 16) != 1) return false;
  const uint32_t atomSize = Be32(d.data() + 36);
  return atomSize >= 8 && atomSize <= d.size() - kSoundDescriptionV0Size && PrintableFourCC(d.data() + 40);
}

}  // namespace

std::string FourCCString(uint32_t code) {
  std::string s(4, '.');
  for (int i = 0; i < 4; ++i) {
    const char c = char((code >> (24 - 8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) s[size_t(i)] = c;
  }
  return s;
}

bool ReadImageDescription(std::span<const uint8_t> d, ImageDescriptionInfo *out) {
  if (!out || d.size() < kImageDescriptionSize) return false;
  const uint8_t *p = d.data();
  ImageDescriptionInfo i;
  i.codecType = Be32(p + 4);
  i.version = int16_t(Be16(p + 16));
  i.revisionLevel = int16_t(Be16(p + 18));
  i.vendor = Be32(p + 20);
  i.width = int16_t(Be16(p + 32));
  i.height = int16_t(Be16(p + 34));
  i.hRes = int32_t(Be32(p + 36));
  i.vRes = int32_t(Be32(p + 40));
  i.frameCount = int16_t(Be16(p + 48));
  const size_t nameLength = std::min<size_t>(p[50], 31);
  i.name.assign(reinterpret_cast<const char *>(p + 51), nameLength);
  i.depth = int16_t(Be16(p + 82));
  i.clutID = int16_t(Be16(p + 84));
  *out = i;
  return true;
}

bool ReadSoundDescription(std::span<const uint8_t> d, SoundDescriptionInfo *out) {
  if (!out || d.size() < kSoundDescriptionV0Size) return false;
  const uint8_t *p = d.data();
  SoundDescriptionInfo s;
  s.dataFormat = Be32(p + 4);
  s.version = int16_t(Be16(p + 16));
  s.numChannels = Be16(p + 24);
  s.sampleSize = Be16(p + 26);
  s.compressionID = int16_t(Be16(p + 28));
  s.packetSize = int16_t(Be16(p + 30));
  s.sampleRate = Be32(p + 32);
  s.sampleRateHz = double(s.sampleRate) / 65536.0;
  if (s.version == 1 && IsoStyleVersion1(d)) {
    s.isoVersion1 = true;
  } else if (s.version == 1) {
    if (d.size() < kSoundDescriptionV1Size) return false;
    s.samplesPerPacket = Be32(p + 36);
    s.bytesPerPacket = Be32(p + 40);
    s.bytesPerFrame = Be32(p + 44);
    s.bytesPerSample = Be32(p + 48);
  } else if (s.version == 2) {
    if (d.size() < kSoundDescriptionV2Size) return false;
    const uint64_t bits = Be64(p + 40);
    double rate = 0;
    std::memcpy(&rate, &bits, sizeof rate);
    if (!(rate >= 0 && rate <= 1e9)) rate = 0;  // also rejects NaN
    s.sampleRateHz = rate;
    s.sampleRate = rate * 65536.0 >= 4294967295.0 ? UINT32_MAX : uint32_t(rate * 65536.0);
    s.numChannels = Be32(p + 48);
    s.sampleSize = Be32(p + 56);
    s.formatSpecificFlags = Be32(p + 60);
    s.constBytesPerAudioPacket = Be32(p + 64);
    s.constLPCMFramesPerAudioPacket = Be32(p + 68);
  }
  *out = s;
  return true;
}

size_t DescriptionExtensionsOffset(std::span<const uint8_t> d, uint32_t mediaType) {
  if (mediaType == kVideoMediaType) return d.size() >= kImageDescriptionSize ? kImageDescriptionSize : 0;
  if (mediaType == kSoundMediaType) {
    if (d.size() < kSoundDescriptionV0Size) return 0;
    switch (Be16(d.data() + 16)) {
      case 1:
        if (IsoStyleVersion1(d)) return kSoundDescriptionV0Size;
        return d.size() >= kSoundDescriptionV1Size ? kSoundDescriptionV1Size : 0;
      case 2:
        return d.size() >= kSoundDescriptionV2Size ? kSoundDescriptionV2Size : 0;
      default:
        return kSoundDescriptionV0Size;
    }
  }
  return d.size() >= kSampleDescriptionHeaderSize ? kSampleDescriptionHeaderSize : 0;
}

std::optional<std::span<const uint8_t>> FindAtom(std::span<const uint8_t> atoms, uint32_t type) {
  size_t pos = 0;
  while (atoms.size() - pos >= 8) {
    const uint32_t size = Be32(atoms.data() + pos);
    const uint32_t t = Be32(atoms.data() + pos + 4);
    if (size < 8 || size > atoms.size() - pos) break;
    if (t == type) return atoms.subspan(pos + 8, size - 8);
    pos += size;
  }
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> FindDescriptionExtension(std::span<const uint8_t> desc, uint32_t mediaType,
                                                                 uint32_t type) {
  const size_t offset = DescriptionExtensionsOffset(desc, mediaType);
  if (offset == 0) return std::nullopt;
  return FindAtom(desc.subspan(offset), type);
}

std::span<const uint8_t> Media::Description(uint32_t n) const {
  if (n == 0 || n > sampleDescriptions.size()) return {};
  return sampleDescriptions[n - 1];
}

int64_t Track::EditedDuration() const {
  int64_t sum = 0;
  for (const auto &e : edits) {
    if (e.movieDuration > 0 && __builtin_add_overflow(sum, e.movieDuration, &sum)) {
      return std::numeric_limits<int64_t>::max();
    }
  }
  return sum;
}

bool Track::MovieToMediaTime(int64_t movieTime, uint32_t movieTimeScale, int64_t *mediaTime,
                             size_t *segmentIndex) const {
  if (movieTime < 0 || movieTimeScale == 0 || media.timeScale == 0) return false;
  int64_t start = 0;
  for (size_t i = 0; i < edits.size(); ++i) {
    const EditSegment &e = edits[i];
    if (e.movieDuration <= 0) continue;
    const int64_t end = start + e.movieDuration;  // EditedDuration-bounded by the importer
    if (movieTime < end) {
      if (e.mediaTime < 0) return false;
      if (segmentIndex) *segmentIndex = i;
      if (mediaTime) {
        *mediaTime = e.mediaRate > 0 ? MediaAt(e, start, movieTime, movieTimeScale, media.timeScale) : e.mediaTime;
      }
      return true;
    }
    start = end;
  }
  return false;
}

bool Track::NextSampleTime(int64_t movieTime, uint32_t movieTimeScale, bool edgeOK, bool backwards, int64_t *outTime,
                           int64_t *duration) const {
  const SampleTable &st = media.samples;
  if (!outTime || movieTimeScale == 0 || media.timeScale == 0 || st.count() == 0) return false;
  const uint32_t mediaScale = media.timeScale;

  // Movie time span [t, until) of the sample playing at movie time t in edit e.
  auto spanAt = [&](const EditSegment &e, int64_t s, int64_t end, int64_t t) {
    if (e.mediaRate <= 0) return end - t;
    uint32_t idx = 0;
    if (!st.SampleAtTime(MediaAt(e, s, t, movieTimeScale, mediaScale), &idx)) return int64_t(0);
    SampleRecord r;
    st.Sample(idx, &r);
    const int64_t until = std::min(end, MovieAt(e, s, r.decodeTime + r.decodeDuration, movieTimeScale, mediaScale));
    return std::max<int64_t>(0, until - t);
  };
  auto found = [&](const EditSegment &e, int64_t s, int64_t end, int64_t t) {
    *outTime = t;
    if (duration) *duration = spanAt(e, s, end, t);
    return true;
  };
  uint32_t unused = 0;

  if (!backwards) {
    if (!edgeOK && movieTime == std::numeric_limits<int64_t>::max()) return false;
    const int64_t lo = edgeOK ? movieTime : movieTime + 1;  // first acceptable time
    int64_t end = 0;
    for (size_t i = 0; i < edits.size(); ++i) {
      const EditSegment &e = edits[i];
      const int64_t start = end;
      end = start + std::max<int64_t>(0, e.movieDuration);
      if (e.movieDuration <= 0 || e.mediaTime < 0 || end <= lo) continue;
      if (lo <= start) {
        if (st.SampleAtTime(e.mediaTime, &unused)) return found(e, start, end, start);
        int64_t ms = 0;
        if (e.mediaRate > 0 && st.NextSampleTime(e.mediaTime, true, &ms)) {
          const int64_t t = MovieAt(e, start, ms, movieTimeScale, mediaScale);
          if (t < end) return found(e, start, end, t);
        }
        continue;
      }
      if (e.mediaRate <= 0) continue;
      // Sample starts after the media time playing at lo - 1 play from lo on.
      int64_t ms = 0;
      if (st.NextSampleTime(MediaAt(e, start, lo - 1, movieTimeScale, mediaScale), false, &ms)) {
        const int64_t t = MovieAt(e, start, ms, movieTimeScale, mediaScale);
        if (t < end) return found(e, start, end, t);
      }
    }
    return false;
  }

  if (!edgeOK && movieTime == std::numeric_limits<int64_t>::min()) return false;
  const int64_t hi = edgeOK ? movieTime : movieTime - 1;  // last acceptable time
  int64_t start = EditedDuration();
  for (size_t i = edits.size(); i-- > 0;) {
    const EditSegment &e = edits[i];
    const int64_t end = start;
    start = end - std::max<int64_t>(0, e.movieDuration);
    if (e.movieDuration <= 0 || e.mediaTime < 0 || start > hi) continue;
    const int64_t top = std::min(hi, end - 1);
    if (e.mediaRate > 0) {
      int64_t ms = 0;
      if (st.PreviousSampleTime(MediaAt(e, start, top, movieTimeScale, mediaScale), true, &ms) && ms > e.mediaTime) {
        return found(e, start, end, MovieAt(e, start, ms, movieTimeScale, mediaScale));
      }
    }
    if (st.SampleAtTime(e.mediaTime, &unused)) return found(e, start, end, start);
  }
  return false;
}

const Track *Movie::TrackById(uint32_t id) const {
  for (const auto &t : tracks) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

const Track *Movie::FirstTrackOfType(uint32_t handlerType) const {
  for (const auto &t : tracks) {
    if (t.media.handlerType == handlerType) return &t;
  }
  return nullptr;
}

bool Movie::NextInterestingTime(std::span<const uint32_t> mediaTypes, int64_t time, bool edgeOK, bool backwards,
                                int64_t *outTime, int64_t *duration) const {
  if (!outTime) return false;
  bool any = false;
  int64_t best = 0, bestDuration = 0;
  for (const auto &t : tracks) {
    if (!mediaTypes.empty() &&
        std::find(mediaTypes.begin(), mediaTypes.end(), t.media.handlerType) == mediaTypes.end()) {
      continue;
    }
    int64_t when = 0, span = 0;
    if (!t.NextSampleTime(time, timeScale, edgeOK, backwards, &when, &span)) continue;
    if (!any || (backwards ? when > best : when < best)) {
      best = when;
      bestDuration = span;
      any = true;
    }
  }
  if (!any) return false;
  *outTime = best;
  if (duration) *duration = bestDuration;
  return true;
}

}  // namespace tp::qt
