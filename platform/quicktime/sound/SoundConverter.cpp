#include "sound/SoundConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sound/AudioDecode.h"
#include "toolbox/LiveTable.h"
#include "toolbox/MemoryManager.h"
#include "container/MovieModel.h"

namespace tp::qt {
namespace {

constexpr SInt32 kMaxInputBytes = 256 << 20;  // one buffer from the fill procedure
constexpr size_t kMaxWaveBytes = 1 << 20;

enum class OutKind { kU8, kS16LE, kS16BE, kS24LE, kS32LE };

struct Converter {
  std::mutex mutex;  // leaf; guards everything below, held across a call
  SoundComponentData in{};
  SoundComponentData out{};
  double inRate = 0;      // Hz: the input's 16.16 rate, or the stream description's
  uint32_t pcmFlags = 0;  // linear PCM format flags of a stream description
  OutKind kind = OutKind::kS16LE;
  int outBytesPerSample = 2;
  int outChannels = 0;
  int outRate = 0;
  bool clientAcceptsVbr = false;
  std::vector<uint8_t> wave;
  AudioCodecSetup setup;
  bool begun = false;
  std::unique_ptr<AudioDecoder> decoder;
  PcmConverter pcm;
  bool sourceEnded = false;
  bool drained = false;
  std::vector<uint8_t> chunk;
};

LiveTable<void *, Converter> gConverters;

std::shared_ptr<Converter> Find(SoundConverter sc) { return gConverters.Find(sc); }

double Rate(UnsignedFixed f) { return double(f) / 65536.0; }

OSErr MakeSetup(const Converter &c, AudioCodecSetup *setup) {
  return MakeAudioCodecSetup(c.in.format, c.in.numChannels, c.in.sampleSize, c.inRate, c.wave, {}, setup, c.pcmFlags);
}

// Linear PCM whose rate and flags come later, by siInputStreamDescription.
bool AwaitsStreamDescription(const SoundComponentData &in) {
  return in.format == kLinearPCMFormat && in.sampleRate == 0;
}

size_t OutBytesPerFrame(const Converter &c) { return size_t(c.outBytesPerSample) * size_t(c.outChannels); }

// Converts `frames` frames of packed s16 or s32 held samples into the output
// layout at dst.
void Emit(const Converter &c, const uint8_t *src, size_t frames, uint8_t *dst) {
  const size_t samples = frames * size_t(c.outChannels);
  switch (c.kind) {
    case OutKind::kU8:
    case OutKind::kS16LE:
      std::memcpy(dst, src, samples * size_t(c.outBytesPerSample));
      break;
    case OutKind::kS16BE:
      for (size_t i = 0; i < samples; ++i) {
        dst[2 * i] = src[2 * i + 1];
        dst[2 * i + 1] = src[2 * i];
      }
      break;
    case OutKind::kS24LE:
      for (size_t i = 0; i < samples; ++i) std::memcpy(dst + 3 * i, src + 4 * i + 1, 3);  // top 24 bits
      break;
    case OutKind::kS32LE:
      std::memcpy(dst, src, samples * 4);
      break;
  }
}

// Bytes of one input buffer described by the procedure's record.
OSErr InputBytes(const Converter &c, const SoundComponentData *d, size_t *bytes, SInt32 *commonFrame) {
  *commonFrame = 0;
  if (d->flags & kExtendedSoundData) {
    const auto *x = reinterpret_cast<const ExtendedSoundComponentData *>(d);
    if (x->extendedFlags & kExtendedSoundBufferSizeValid) {
      if (x->bufferSize < 0 || x->bufferSize > kMaxInputBytes) return paramErr;
      *bytes = size_t(x->bufferSize);
      if (x->extendedFlags & kExtendedSoundCommonFrameSizeValid) *commonFrame = x->commonFrameSize;
      return noErr;
    }
  }
  // Without a byte count the sample count tells it, for fixed-size formats.
  if (c.setup.blockAlign <= 0 || c.setup.framesPerPacket <= 0 || d->sampleCount < 0) return paramErr;
  const int64_t b = int64_t(d->sampleCount) / c.setup.framesPerPacket * c.setup.blockAlign;
  if (b > kMaxInputBytes) return paramErr;
  *bytes = size_t(b);
  return noErr;
}

OSErr Feed(Converter &c, const uint8_t *data, size_t bytes, SInt32 commonFrame) {
  auto sink = [&c](const PcmFrames &f) { return c.pcm.Push(f); };
  std::span<const uint8_t> all(data, bytes);
  if (c.setup.blockAlign > 0) {
    const size_t whole = bytes / size_t(c.setup.blockAlign) * size_t(c.setup.blockAlign);
    return whole ? c.decoder->DecodePacket(all.first(whole), sink) : OSErr(noErr);
  }
  // Equal-size packets of a format that cannot find its own frame edges.
  if (!c.setup.splitByParser && commonFrame > 0 && bytes % size_t(commonFrame) == 0 && c.setup.codec != "aac") {
    for (size_t at = 0; at < bytes; at += size_t(commonFrame)) {
      if (OSErr e = c.decoder->DecodePacket(all.subspan(at, size_t(commonFrame)), sink); e != noErr) return e;
    }
    return noErr;
  }
  return c.decoder->Decode(all, sink);
}

}  // namespace

OSErr ScOpen(const SoundComponentData *input, const SoundComponentData *output, SoundConverter *sc) {
  if (sc) *sc = nullptr;
  if (!input || !output || !sc) return paramErr;
  auto c = std::make_shared<Converter>();
  c->in = *input;
  c->out = *output;
  c->in.buffer = nullptr;
  c->out.buffer = nullptr;
  const bool later = AwaitsStreamDescription(c->in);
  if (c->in.numChannels < 1 || c->in.numChannels > 8 || (c->in.sampleRate == 0 && !later)) return paramErr;
  c->inRate = Rate(c->in.sampleRate);
  c->outChannels = output->numChannels > 0 ? output->numChannels : input->numChannels;
  c->outRate = int(Rate(output->sampleRate != 0 ? output->sampleRate : input->sampleRate));
  if (c->outChannels > 8 || c->outRate > 768000 || (c->outRate < 1 && !later)) return paramErr;
  const OSType f = output->format;
  const int bits = output->sampleSize;
  if (f == kSoundNotCompressed && bits == 8) {
    c->kind = OutKind::kU8;
  } else if ((f == kSoundNotCompressed || f == k16BitLittleEndianFormat) && bits == 16) {
    c->kind = OutKind::kS16LE;
  } else if (f == k16BitBigEndianFormat && bits == 16) {
    c->kind = OutKind::kS16BE;
  } else if (f == kSoundNotCompressed && bits == 24) {
    c->kind = OutKind::kS24LE;
  } else if (f == kSoundNotCompressed && bits == 32) {
    c->kind = OutKind::kS32LE;
  } else {
    return kBadFormatErr;
  }
  c->outBytesPerSample = bits / 8;
  // The input format must be one that decodes (its 'wave' or its stream
  // description may still come).
  if (OSErr e = later ? OSErr(noErr) : MakeSetup(*c, &c->setup); e != noErr) return e == noCodecErr ? kBadFormatErr : e;
  auto *ref = reinterpret_cast<SoundConverter>(c.get());
  gConverters.Add(ref, std::move(c));
  *sc = ref;
  return noErr;
}

OSErr ScClose(SoundConverter sc) {
  // The converter goes when a call still running on it returns.
  if (!gConverters.Remove(sc)) return paramErr;
  return noErr;
}

OSErr ScGetBufferSizes(SoundConverter sc, UInt32 inputBytesTarget, UInt32 *inputFrames, UInt32 *inputBytes,
                       UInt32 *outputBytes) {
  std::shared_ptr<Converter> c = Find(sc);
  if (!c) return paramErr;
  std::lock_guard lock(c->mutex);
  // Fixed-size formats are exact; for the others a packet is estimated at
  // its largest size, so the output estimate is a lower bound per byte in.
  int64_t packetBytes = c->setup.blockAlign > 0 ? c->setup.blockAlign : c->setup.maxPacketBytes;
  int64_t packetFrames = c->setup.framesPerPacket > 0 ? c->setup.framesPerPacket : 1024;
  if (packetBytes <= 0) packetBytes = 768 * int64_t(c->in.numChannels);
  const int64_t packets = int64_t(inputBytesTarget) / packetBytes;
  const int64_t frames = packets * packetFrames;
  const int64_t outFrames = frames * c->outRate / std::max(1, c->setup.sampleRate);
  const int64_t out = outFrames * int64_t(OutBytesPerFrame(*c));
  if (inputFrames) *inputFrames = UInt32(std::min<int64_t>(frames, UINT32_MAX));
  if (inputBytes) *inputBytes = UInt32(std::min<int64_t>(packets * packetBytes, UINT32_MAX));
  if (outputBytes) *outputBytes = UInt32(std::min<int64_t>(out, UINT32_MAX));
  return noErr;
}

OSErr ScBeginConversion(SoundConverter sc) {
  std::shared_ptr<Converter> c = Find(sc);
  if (!c) return paramErr;
  std::lock_guard lock(c->mutex);
  if (c->outRate < 1) return paramErr;  // linear PCM still without its rate
  if (OSErr e = MakeSetup(*c, &c->setup); e != noErr) return e;
  std::unique_ptr<AudioDecoder> decoder;
  if (OSErr e = CreateAudioDecoder(c->setup, &decoder); e != noErr) return e;
  const SampleType fmt = c->kind == OutKind::kU8                                      ? SampleType::kU8
                         : (c->kind == OutKind::kS16LE || c->kind == OutKind::kS16BE) ? SampleType::kS16
                                                                                      : SampleType::kS32;
  if (OSErr e = c->pcm.SetOutput(fmt, false, c->outChannels, c->outRate); e != noErr) return e;
  c->decoder = std::move(decoder);
  c->begun = true;
  c->sourceEnded = false;
  c->drained = false;
  return noErr;
}

OSErr ScEndConversion(SoundConverter sc, void *outputPtr, UInt32 *outputFrames, UInt32 *outputBytes) {
  (void)outputPtr;  // nothing is held back after the last fill
  std::shared_ptr<Converter> c = Find(sc);
  if (outputFrames) *outputFrames = 0;
  if (outputBytes) *outputBytes = 0;
  if (!c) return paramErr;
  std::lock_guard lock(c->mutex);
  c->begun = false;
  c->decoder.reset();
  c->pcm.Reset();
  return noErr;
}

OSErr ScGetInfo(SoundConverter sc, OSType selector, void *infoPtr) {
  std::shared_ptr<Converter> c = Find(sc);
  if (!c || !infoPtr) return paramErr;
  std::lock_guard lock(c->mutex);
  const AudioCodecSetup &s = c->setup;
  if (selector == siCompressionFactor) {
    auto *info = static_cast<CompressionInfo *>(infoPtr);
    if (info->recordSize != 0 && info->recordSize < SInt32(sizeof(CompressionInfo))) return paramErr;
    const bool pcm = s.blockAlign > 0 && s.framesPerPacket == 1;
    info->recordSize = sizeof(CompressionInfo);
    info->format = c->in.format;
    info->compressionID = pcm                ? SInt16(notCompressed)
                          : s.blockAlign > 0 ? SInt16(fixedCompression)
                                             : SInt16(variableCompression);
    info->samplesPerPacket = UInt16(std::max(s.framesPerPacket, 1));
    info->bytesPerPacket = UInt16(s.blockAlign > 0 ? s.blockAlign / std::max(1, s.channels) : 0);
    info->bytesPerFrame = UInt16(std::max(s.blockAlign, 0));
    info->bytesPerSample = 2;
    info->futureUse1 = 0;
    return noErr;
  }
  if (selector == siCompressionMaxPacketSize) {
    const UInt32 v = UInt32(std::max(s.maxPacketBytes, 0));
    std::memcpy(infoPtr, &v, sizeof(v));
    return noErr;
  }
  return kSiUnknownInfoTypeErr;
}

OSErr ScSetInfo(SoundConverter sc, OSType selector, void *infoPtr) {
  std::shared_ptr<Converter> c = Find(sc);
  if (!c) return paramErr;
  std::lock_guard lock(c->mutex);
  if (selector == siClientAcceptsVBR) {
    // The value travels in the pointer itself.
    c->clientAcceptsVbr = infoPtr != nullptr;
    return noErr;
  }
  if (selector == siDecompressionParams) {
    if (!infoPtr) return paramErr;
    const int64_t size = MemoryManager::Instance().GetPtrSize(static_cast<Ptr>(infoPtr));
    if (size < 0 || size_t(size) > kMaxWaveBytes) return paramErr;
    const auto *p = static_cast<const uint8_t *>(infoPtr);
    std::vector<uint8_t> wave(p, p + size);
    AudioCodecSetup check;
    std::swap(c->wave, wave);
    if (OSErr e = MakeSetup(*c, &check); e != noErr) {
      std::swap(c->wave, wave);
      return e;
    }
    c->setup = std::move(check);
    return noErr;
  }
  if (selector == siInputStreamDescription) {
    if (!infoPtr || c->begun) return paramErr;
    AudioStreamBasicDescription d;
    std::memcpy(&d, infoPtr, sizeof d);
    const UInt32 bits = d.mBitsPerChannel;
    if (d.mFormatID != kAudioFormatLinearPCM || d.mChannelsPerFrame < 1 || d.mChannelsPerFrame > 8 ||
        !(d.mSampleRate >= 1 && d.mSampleRate <= 768000) ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32 && bits != 64))
      return paramErr;
    Converter next = {};
    next.in = c->in;
    next.in.format = kLinearPCMFormat;
    next.in.numChannels = SInt16(d.mChannelsPerFrame);
    next.in.sampleSize = SInt16(bits);
    next.inRate = d.mSampleRate;
    next.pcmFlags = d.mFormatFlags;
    next.wave = c->wave;
    AudioCodecSetup check;
    if (OSErr e = MakeSetup(next, &check); e != noErr) return e == noCodecErr ? kBadFormatErr : e;
    c->in = next.in;
    c->inRate = next.inRate;
    c->pcmFlags = next.pcmFlags;
    if (c->out.sampleRate == 0) c->outRate = int(std::lround(d.mSampleRate));
    if (c->out.numChannels <= 0) c->outChannels = int(d.mChannelsPerFrame);
    c->setup = std::move(check);
    return noErr;
  }
  return kSiUnknownInfoTypeErr;
}

OSErr ScFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP proc, void *refCon, void *outputBuffer,
                   UInt32 outputBufferByteSize, UInt32 *bytesWritten, UInt32 *framesWritten, UInt32 *outputFlags) {
  if (bytesWritten) *bytesWritten = 0;
  if (framesWritten) *framesWritten = 0;
  if (outputFlags) *outputFlags = 0;
  std::shared_ptr<Converter> found = Find(sc);
  if (!found || !proc || (!outputBuffer && outputBufferByteSize > 0)) return paramErr;
  Converter &c = *found;
  std::lock_guard lock(c.mutex);
  if (!c.begun || !c.decoder) return paramErr;
  const size_t bpf = OutBytesPerFrame(c);
  const size_t capacity = outputBufferByteSize / bpf;
  auto *out = static_cast<uint8_t *>(outputBuffer);
  size_t done = 0;
  OSErr err = noErr;
  while (done < capacity) {
    const size_t held = c.pcm.FramesHeld();
    if (held > 0) {
      const size_t n = std::min(held, capacity - done);
      c.chunk.resize(n * c.pcm.BytesPerFrame());
      uint8_t *dst = c.chunk.data();
      c.pcm.Take(&dst, n);
      Emit(c, c.chunk.data(), n, out + done * bpf);
      done += n;
      continue;
    }
    if (c.sourceEnded) {
      if (c.drained) break;
      c.drained = true;
      if ((err = c.decoder->Drain([&c](const PcmFrames &f) { return c.pcm.Push(f); })) != noErr) break;
      if ((err = c.pcm.Drain()) != noErr) break;
      continue;
    }
    SoundComponentDataPtr data = nullptr;
    if (!proc(&data, refCon) || !data) {
      c.sourceEnded = true;
      continue;
    }
    size_t bytes = 0;
    SInt32 commonFrame = 0;
    if ((err = InputBytes(c, data, &bytes, &commonFrame)) != noErr) break;
    if (bytes > 0 && !data->buffer) {
      err = paramErr;
      break;
    }
    if (bytes > 0 && (err = Feed(c, data->buffer, bytes, commonFrame)) != noErr) break;
  }
  if (bytesWritten) *bytesWritten = UInt32(done * bpf);
  if (framesWritten) *framesWritten = UInt32(done);
  if (outputFlags) {
    if (done < capacity) *outputFlags |= kSoundConverterDidntFillBuffer;
    if (done > 0) *outputFlags |= kSoundConverterHasLeftOverData;
  }
  return err;
}

size_t ScConverterCount() { return gConverters.Count(); }

}  // namespace tp::qt
