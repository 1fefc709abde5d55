#include "sound/MovieAudioExtraction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sound/AudioDecode.h"
#include "container/DataFile.h"
#include "toolbox/LiveTable.h"
#include "container/MovieModel.h"
#include "toolbox/MovieToolbox.h"

namespace tp::qt {
namespace {

constexpr int kMaxChannels = 8;
constexpr uint32_t kMaxBuffers = 64;
constexpr uint32_t kMaxPacketBytes = 16u << 20;  // one sample read from the file
constexpr uint32_t kPcmBatchBytes = 64u << 10;   // fixed-size samples read together
constexpr UInt32 kPropertyCanGet = 1, kPropertyCanSet = 2;
// CoreAudio channel labels of the usual layout for 2 to 8 channels: left,
// right, centre, LFE, rear left, rear right, rear centre, side left, side
// right, as in ffmpeg's default layouts (3: 2.1; 4: 4.0; 5: 5.0 with rear
// surrounds; 7: 6.1 with sides and a rear centre; 8: 7.1 with sides).
constexpr UInt32 kDefaultLabels[9][8] = {
    {},
    {},
    {1, 2},
    {1, 2, 4},
    {1, 2, 3, 9},
    {1, 2, 3, 5, 6},
    {1, 2, 3, 4, 5, 6},
    {1, 2, 3, 4, 9, 10, 11},
    {1, 2, 3, 4, 5, 6, 10, 11},
};

using i128 = __int128;

// floor(a * b / c) without overflow; c > 0.
int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
  i128 q = i128(a) * b / c;
  if (i128(a) * b % c != 0 && (i128(a) * b < 0)) --q;
  if (q > INT64_MAX) return INT64_MAX;
  if (q < INT64_MIN) return INT64_MIN;
  return int64_t(q);
}

struct Session {
  std::mutex mutex;  // leaf; guards everything below
  std::shared_ptr<const Movie> movie;
  const Track *track = nullptr;  // into *movie
  DataFile file;
  OSErr refusal = noErr;  // what every fill answers, when set
  AudioCodecSetup setup;
  double trackRate = 0;
  int trackChannels = 0;

  AudioStreamBasicDescription asbd{};
  std::vector<uint8_t> layout;  // 'clay' as set, empty for the track's own

  // Output position and the decode state behind it.
  int64_t outFrame = 0;  // frames of the output rate since movie time 0
  int64_t endFrame = 0;
  bool needSeek = true;
  size_t segment = 0;
  int64_t segmentEnd = 0;  // output frame where the current segment stops
  bool silent = false;     // an empty edit, or the media ran out
  uint32_t nextSample = 0;
  bool mediaDone = false;
  int64_t feedStartTime = 0;  // media time of the first sample fed after the seek
  int64_t targetTime = 0;     // media time that plays at the seek point
  bool positioned = false;    // the first decoded frame after a seek has fixed nativePos
  int64_t nativePos = 0;      // decoded frames (at the decoder's rate) since media time 0
  int64_t nativeTarget = 0;
  std::unique_ptr<AudioDecoder> decoder;
  PcmConverter converter;
  bool converterReady = false;
  std::vector<uint8_t> readBuf;
};

LiveTable<void *, Session> gSessions;

std::shared_ptr<Session> Find(MovieAudioExtractionRef ref) { return gSessions.Find(ref); }

bool IsFloat(const AudioStreamBasicDescription &d) { return d.mFormatFlags & kAudioFormatFlagIsFloat; }
bool IsPlanar(const AudioStreamBasicDescription &d) { return d.mFormatFlags & kAudioFormatFlagIsNonInterleaved; }

// The sample type for a stream description, or kNone when it is not one
// this runtime produces.
SampleType SampleTypeOf(const AudioStreamBasicDescription &d) {
  if (d.mFormatID != kAudioFormatLinearPCM || d.mChannelsPerFrame < 1 || d.mChannelsPerFrame > kMaxChannels ||
      !(d.mSampleRate >= 1) || d.mSampleRate > 768000 || d.mFramesPerPacket != 1)
    return SampleType::kNone;
  SampleType f = SampleType::kNone;
  if (IsFloat(d)) {
    f = d.mBitsPerChannel == 32 ? SampleType::kF32 : d.mBitsPerChannel == 64 ? SampleType::kF64 : f;
  } else if (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) {
    f = d.mBitsPerChannel == 16 ? SampleType::kS16 : d.mBitsPerChannel == 32 ? SampleType::kS32 : f;
  }
  if (f == SampleType::kNone) return f;
  const UInt32 bytesPerFrame = d.mBitsPerChannel / 8 * (IsPlanar(d) ? 1 : d.mChannelsPerFrame);
  if (d.mBytesPerFrame != bytesPerFrame || d.mBytesPerPacket != bytesPerFrame) return SampleType::kNone;
  return f;
}

int64_t ToOutputFrames(const Session &s, int64_t movieTime) {
  const i128 v = i128(movieTime) * i128(std::llround(s.asbd.mSampleRate * 1000)) / (i128(s.movie->timeScale) * 1000);
  return v > INT64_MAX ? INT64_MAX : int64_t(v);
}

// Places the decode state at s.outFrame: finds the edit that plays then,
// and the sample to start feeding from.
void Seek(Session &s) {
  s.needSeek = false;
  s.silent = true;
  s.segmentEnd = s.endFrame;
  s.decoder.reset();
  s.converter.Reset();
  s.mediaDone = false;
  s.positioned = false;
  const Track &t = *s.track;
  const SampleTable &table = t.media.samples;
  int64_t start = 0;
  for (size_t i = 0; i < t.edits.size(); ++i) {
    const EditSegment &e = t.edits[i];
    if (e.movieDuration <= 0) continue;
    const int64_t end = start > INT64_MAX - e.movieDuration ? INT64_MAX : start + e.movieDuration;
    const int64_t startFrame = ToOutputFrames(s, start);
    const int64_t endFrame = std::min(ToOutputFrames(s, end), s.endFrame);
    if (s.outFrame < endFrame) {
      s.segment = i;
      s.segmentEnd = endFrame;
      if (e.mediaTime < 0 || s.outFrame < startFrame) return;  // an empty edit plays silence
      // Media time at the seek point (edits at other rates play at 1.0).
      const int64_t offset = MulDiv(s.outFrame - startFrame, t.media.timeScale, std::llround(s.asbd.mSampleRate));
      s.targetTime = e.mediaTime + offset;
      uint32_t index = 0;
      if (!table.SampleAtTime(s.targetTime, &index)) return;  // past the media: silence
      index = index > uint32_t(s.setup.prerollPackets) ? index - uint32_t(s.setup.prerollPackets) : 0;
      s.nextSample = index;
      s.feedStartTime = table.DecodeTime(index);
      if (CreateAudioDecoder(s.setup, &s.decoder) != noErr) {
        s.decoder.reset();
        return;
      }
      s.silent = false;
      return;
    }
    start = end;
  }
}

// Reads the next sample (several for fixed-size formats) into readBuf.
// False at the end of the media, and on a read error with *readError set
// (the data is missing: not the media's end).
bool ReadNext(Session &s, OSErr *readError) {
  const Media &m = s.track->media;
  SampleRecord r;
  if (!m.samples.Sample(s.nextSample, &r) || r.size > kMaxPacketBytes) return false;
  uint64_t bytes = r.size;
  uint32_t count = 1;
  if (s.setup.blockAlign > 0) {
    SampleRecord next;
    while (bytes < kPcmBatchBytes && m.samples.Sample(s.nextSample + count, &next) &&
           next.position == r.position + bytes && next.descriptionIndex == r.descriptionIndex &&
           next.size <= kMaxPacketBytes) {
      bytes += next.size;
      ++count;
    }
  }
  s.readBuf.resize(size_t(bytes));
  if (m.data.blob) {
    const auto &blob = *m.data.blob;
    if (r.position > blob.size() || bytes > blob.size() - r.position) return false;
    std::memcpy(s.readBuf.data(), blob.data() + r.position, size_t(bytes));
  } else {
    if (OSErr e = s.file.ReadAt(r.position, s.readBuf.data(), size_t(bytes)); e != noErr) {
      *readError = e;
      return false;
    }
  }
  s.nextSample += count;
  return true;
}

OSErr OnFrame(Session &s, const PcmFrames &frame) {
  if (!s.positioned) {
    s.positioned = true;
    const int64_t rate = frame.format.rate > 0 ? frame.format.rate : s.setup.sampleRate;
    s.nativePos = MulDiv(s.feedStartTime, rate, s.track->media.timeScale);
    s.nativeTarget = MulDiv(s.targetTime, rate, s.track->media.timeScale);
  }
  int skip = 0;
  if (s.nativePos < s.nativeTarget) skip = int(std::min<int64_t>(s.nativeTarget - s.nativePos, frame.frames));
  s.nativePos += frame.frames;
  return s.converter.Push(frame, skip);
}

// Decodes until the converter holds `frames` frames or the media ends.
OSErr Produce(Session &s, size_t frames) {
  auto sink = [&s](const PcmFrames &f) { return OnFrame(s, f); };
  while (s.converter.FramesHeld() < frames && !s.mediaDone) {
    OSErr readError = noErr;
    if (!ReadNext(s, &readError)) {
      if (readError != noErr) return readError;
      s.mediaDone = true;
      if (OSErr e = s.decoder->Drain(sink); e != noErr) return e;
      return s.converter.Drain();
    }
    OSErr e = s.setup.blockAlign > 0 ? s.decoder->DecodePacket(s.readBuf, sink) : s.decoder->Decode(s.readBuf, sink);
    if (e != noErr) return e;
  }
  return noErr;
}

void WriteSilence(const Session &s, uint8_t *const *dst, size_t frames, size_t bytesPerFrame, int planes) {
  for (int p = 0; p < planes; ++p) std::memset(dst[p], 0, frames * bytesPerFrame);
  (void)s;
}

void SwapBytes(uint8_t *p, size_t bytes, size_t width) {
  for (size_t i = 0; i + width <= bytes; i += width) std::reverse(p + i, p + i + width);
}

std::vector<uint8_t> TrackLayout(const Session &s) {
  const int n = s.trackChannels;
  std::vector<uint8_t> out(12 + 20 * size_t(n), 0);
  auto put = [&](size_t at, UInt32 v) { std::memcpy(out.data() + at, &v, 4); };
  put(0, kAudioChannelLayoutTag_UseChannelDescriptions);
  put(8, UInt32(n));
  for (int i = 0; i < n; ++i) {
    const UInt32 label = n == 1 ? UInt32(kAudioChannelLabel_Mono) : kDefaultLabels[n][i];
    put(12 + 20 * size_t(i), label);
  }
  return out;
}

OSErr ApplyAsbd(Session &s, const AudioStreamBasicDescription &d) {
  const SampleType f = SampleTypeOf(d);
  if (f == SampleType::kNone) return paramErr;
  if (OSErr e = s.converter.SetOutput(f, IsPlanar(d), int(d.mChannelsPerFrame), int(std::lround(d.mSampleRate)));
      e != noErr)
    return e;
  s.asbd = d;
  s.endFrame = ToOutputFrames(s, s.movie->duration);
  s.needSeek = true;
  return noErr;
}

}  // namespace

OSStatus MaeBegin(::Movie movie, UInt32 flags, MovieAudioExtractionRef *outSession) {
  (void)flags;
  if (!outSession) return paramErr;
  *outSession = nullptr;
  std::shared_ptr<const Movie> model = MovieToolbox::Instance().MovieModel(movie);
  if (!model) return invalidMovie;
  // The sound track that plays now: the first enabled one, else the first.
  const Track *track = MovieToolbox::Instance().DefaultTrackOfType(movie, kSoundMediaType, &model);
  if (!track || model->timeScale == 0 || track->media.timeScale == 0) return invalidTrack;
  auto s = std::make_shared<Session>();
  s->movie = model;
  s->track = track;
  SoundDescriptionInfo info;
  std::span<const uint8_t> desc = track->media.Description(1);
  if (!ReadSoundDescription(desc, &info)) return invalidMedia;
  const size_t extAt = DescriptionExtensionsOffset(desc, kSoundMediaType);
  std::span<const uint8_t> atoms = extAt ? desc.subspan(extAt) : std::span<const uint8_t>{};
  std::span<const uint8_t> lavc;
  if (auto l = FindAtom(atoms, FourCC("lavc"))) lavc = *l;
  s->trackChannels = int(std::clamp<uint32_t>(info.numChannels, 1, kMaxChannels));
  s->trackRate = info.sampleRateHz >= 1 && info.sampleRateHz <= 768000 ? info.sampleRateHz : 44100;
  OSErr codec = MakeAudioCodecSetup(info.dataFormat, int(info.numChannels), int(info.sampleSize), info.sampleRateHz,
                                    atoms, lavc, &s->setup, info.formatSpecificFlags);
  if (codec == noErr && IsSpeechCodecFormat(s->setup.format)) codec = featureUnsupported;
  if (codec == noErr) {
    // A format this system has no decoder for is refused like one nothing
    // names, so the caller ends the track instead of playing silence.
    std::unique_ptr<AudioDecoder> probe;
    if (OSErr e = CreateAudioDecoder(s->setup, &probe); e == noCodecErr || e == codecErr) codec = e;
  }
  if (codec == paramErr) codec = invalidMedia;
  s->refusal = codec;
  if (codec == noErr) {
    s->trackChannels = s->setup.channels;
    s->trackRate = s->setup.sampleRate;
  }
  if (!track->media.data.blob) {
    if (!s->file.Open(track->media.data.path)) s->refusal = couldNotResolveDataRef;
  }
  AudioStreamBasicDescription d{};
  d.mSampleRate = s->trackRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
  d.mBytesPerPacket = 4;
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = 4;
  d.mChannelsPerFrame = UInt32(s->trackChannels);
  d.mBitsPerChannel = 32;
  if (OSErr e = ApplyAsbd(*s, d); e != noErr) return e;
  auto *ref = reinterpret_cast<MovieAudioExtractionRef>(s.get());
  gSessions.Add(ref, std::move(s));
  *outSession = ref;
  return noErr;
}

OSStatus MaeEnd(MovieAudioExtractionRef session) {
  // The session goes when a fill still running on it returns.
  if (!gSessions.Remove(session)) return paramErr;
  return noErr;
}

OSStatus MaeFillBuffer(MovieAudioExtractionRef session, UInt32 *ioNumFrames, AudioBufferList *ioData,
                       UInt32 *outFlags) {
  std::shared_ptr<Session> found = Find(session);
  if (outFlags) *outFlags = 0;
  if (!found || !ioNumFrames || !ioData) {
    if (ioNumFrames) *ioNumFrames = 0;
    return paramErr;
  }
  Session &s = *found;
  std::lock_guard lock(s.mutex);
  const UInt32 wanted = *ioNumFrames;
  *ioNumFrames = 0;
  if (s.refusal != noErr) return s.refusal;
  const bool planar = IsPlanar(s.asbd);
  const int planes = planar ? int(s.asbd.mChannelsPerFrame) : 1;
  if (ioData->mNumberBuffers != UInt32(planes) || ioData->mNumberBuffers > kMaxBuffers) return paramErr;
  const size_t bpf = s.asbd.mBytesPerFrame;
  size_t capacity = wanted;
  std::vector<uint8_t *> dst(static_cast<size_t>(planes));
  for (int p = 0; p < planes; ++p) {
    AudioBuffer &b = ioData->mBuffers[p];
    if (!b.mData && b.mDataByteSize > 0) return paramErr;
    capacity = std::min<size_t>(capacity, b.mDataByteSize / bpf);
    dst[size_t(p)] = static_cast<uint8_t *>(b.mData);
  }
  size_t done = 0;
  while (done < capacity && s.outFrame < s.endFrame) {
    if (s.needSeek) Seek(s);
    const size_t n = size_t(std::min<int64_t>(int64_t(capacity - done), s.segmentEnd - s.outFrame));
    std::vector<uint8_t *> at(static_cast<size_t>(planes));
    for (int p = 0; p < planes; ++p) at[size_t(p)] = dst[size_t(p)] + done * bpf;
    size_t got = 0;
    if (!s.silent) {
      if (OSErr e = Produce(s, n); e != noErr) {
        s.needSeek = true;
        // Frames filled before a read failed go out; the next fill starts
        // again where they end and meets the failure itself.
        if (done == 0 || (e != ioErr && e != eofErr)) return e;
        break;
      }
      got = s.converter.Take(at.data(), n);
      if (got < n) s.silent = true;  // the media ran out inside this edit
    }
    if (got < n) {
      std::vector<uint8_t *> rest(static_cast<size_t>(planes));
      for (int p = 0; p < planes; ++p) rest[size_t(p)] = at[size_t(p)] + got * bpf;
      WriteSilence(s, rest.data(), n - got, bpf, planes);
    }
    done += n;
    s.outFrame += int64_t(n);
    if (s.outFrame >= s.segmentEnd) s.needSeek = true;
  }
  if (s.asbd.mFormatFlags & kAudioFormatFlagIsBigEndian) {
    for (int p = 0; p < planes; ++p) SwapBytes(dst[size_t(p)], done * bpf, s.asbd.mBitsPerChannel / 8);
  }
  for (int p = 0; p < planes; ++p) ioData->mBuffers[p].mDataByteSize = UInt32(done * bpf);
  *ioNumFrames = UInt32(done);
  if (outFlags && s.outFrame >= s.endFrame) *outFlags = kQTMovieAudioExtractionComplete;
  return noErr;
}

OSStatus MaeGetPropertyInfo(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id,
                            QTPropertyValueType *outType, ByteCount *outSize, UInt32 *outFlags) {
  std::shared_ptr<Session> s = Find(session);
  if (!s) return paramErr;
  std::lock_guard lock(s->mutex);
  ByteCount size = 0;
  if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
      id == kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription) {
    size = sizeof(AudioStreamBasicDescription);
  } else if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
             id == kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout) {
    size = s->layout.empty() ? TrackLayout(*s).size() : s->layout.size();
  } else if (propClass == kQTPropertyClass_MovieAudioExtraction_Movie &&
             id == kQTMovieAudioExtractionMoviePropertyID_CurrentTime) {
    size = sizeof(TimeRecord);
  } else {
    return paramErr;
  }
  if (outType) *outType = id;
  if (outSize) *outSize = size;
  if (outFlags) *outFlags = kPropertyCanGet | kPropertyCanSet;
  return noErr;
}

OSStatus MaeGetProperty(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id, ByteCount size,
                        QTPropertyValuePtr value, ByteCount *sizeUsed) {
  std::shared_ptr<Session> s = Find(session);
  if (sizeUsed) *sizeUsed = 0;
  if (!s || !value) return paramErr;
  std::lock_guard lock(s->mutex);
  std::vector<uint8_t> bytes;
  if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
      id == kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription) {
    bytes.resize(sizeof(AudioStreamBasicDescription));
    std::memcpy(bytes.data(), &s->asbd, bytes.size());
  } else if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
             id == kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout) {
    bytes = s->layout.empty() ? TrackLayout(*s) : s->layout;
  } else if (propClass == kQTPropertyClass_MovieAudioExtraction_Movie &&
             id == kQTMovieAudioExtractionMoviePropertyID_CurrentTime) {
    TimeRecord r{};
    const int64_t t = MulDiv(s->outFrame, s->movie->timeScale, std::llround(s->asbd.mSampleRate));
    r.value.lo = UInt32(uint64_t(t) & 0xFFFFFFFFu);
    r.value.hi = SInt32(t >> 32);
    r.scale = TimeScale(s->movie->timeScale);
    bytes.resize(sizeof(r));
    std::memcpy(bytes.data(), &r, sizeof(r));
  } else {
    return paramErr;
  }
  // A time record without its base (a caller with 32-bit pointers) is enough.
  const size_t minimum = id == kQTMovieAudioExtractionMoviePropertyID_CurrentTime ? 12 : bytes.size();
  if (size < minimum) return paramErr;
  const size_t n = std::min<size_t>(size, bytes.size());
  std::memcpy(value, bytes.data(), n);
  if (sizeUsed) *sizeUsed = n;
  return noErr;
}

OSStatus MaeSetProperty(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id, ByteCount size,
                        ConstQTPropertyValuePtr value) {
  std::shared_ptr<Session> s = Find(session);
  if (!s || !value) return paramErr;
  std::lock_guard lock(s->mutex);
  if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
      id == kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription) {
    if (size < sizeof(AudioStreamBasicDescription)) return paramErr;
    AudioStreamBasicDescription d;
    std::memcpy(&d, value, sizeof(d));
    return ApplyAsbd(*s, d);
  }
  if (propClass == kQTPropertyClass_MovieAudioExtraction_Audio &&
      id == kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout) {
    if (size < 12 || size > 12 + 20 * 64) return paramErr;
    UInt32 tag, count;
    std::memcpy(&tag, value, 4);
    std::memcpy(&count, static_cast<const uint8_t *>(value) + 8, 4);
    if (count > 64 || size < 12 + 20 * size_t(count)) return paramErr;
    const UInt32 tagChannels = tag & 0xFFFF;
    if (tag != kAudioChannelLayoutTag_UseChannelDescriptions && (tagChannels < 1 || tagChannels > kMaxChannels))
      return paramErr;
    if (tag == kAudioChannelLayoutTag_UseChannelDescriptions && (count < 1 || count > kMaxChannels)) return paramErr;
    const auto *p = static_cast<const uint8_t *>(value);
    s->layout.assign(p, p + 12 + 20 * size_t(count));
    return noErr;
  }
  if (propClass == kQTPropertyClass_MovieAudioExtraction_Movie &&
      id == kQTMovieAudioExtractionMoviePropertyID_CurrentTime) {
    if (size < 12) return paramErr;
    TimeRecord r{};
    std::memcpy(&r, value, 12);
    const int64_t t = int64_t((uint64_t(uint32_t(r.value.hi)) << 32) | r.value.lo);
    if (r.scale <= 0 || t < 0) return paramErr;
    s->outFrame = std::min(MulDiv(t, std::llround(s->asbd.mSampleRate), r.scale), s->endFrame);
    s->needSeek = true;
    return noErr;
  }
  return paramErr;
}

size_t MaeSessionCount() { return gSessions.Count(); }

}  // namespace tp::qt
