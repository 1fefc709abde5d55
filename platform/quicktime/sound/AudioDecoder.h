// AudioDecoder and PcmResampler: the system-specific half of sound
// decoding, behind Movie Audio Extraction and the Sound Converter. A decoder
// turns the packets of one sound format into PCM frames; a resampler turns
// PCM of one stream format into another (sample type, layout, channels,
// rate). Both sessions own one of each and serialise calls on them.
//
// The back end is chosen when the runtime is built: libavcodec and
// libswresample on Linux (ffmpeg/), the system's codecs on Windows
// (windows/). Linear PCM has a built-in decoder and resampler of our own
// (PcmDecoder, PcmResample) that a back end may hand out.
//
// What a back end must do:
// - CreateAudioDecoder: open a decoder for `setup` (its `codec` name, e.g.
//   "aac", "mp3", "pcm_s16le", or the importer's `decoderName`; set-up
//   bytes in `extradata`, e.g. the AudioSpecificConfig of AAC; channels,
//   rate). noCodecErr when the system has nothing that decodes it (the
//   sessions refuse the track and the engine ends it cleanly); codecErr when
//   a decoder exists but will not open.
// - Decode: a buffer of one or more packets. When `setup.splitByParser` is
//   set (MP3, AMR, AC-3) the buffer may hold several self-delimiting
//   packets; AAC comes one raw packet per call. Hand every decoded frame to
//   the sink, in order, inside the call. A corrupt packet is dropped (the
//   decoder resyncs on the next); only the sink's errors stop the call.
// - DecodePacket: exactly one packet. Drain: after the last packet, what
//   the decoder holds back (and be ready for more input after it). Flush:
//   forget everything, for a seek.
// - CreatePcmResampler: convert between any two PcmStreamFormats with
//   1..8 channels (more channels are folded down with centre and surround at
//   -3 dB and no LFE, fewer spread) and rates of 1..768,000 Hz; codecErr
//   when it cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include <QuickTime/MacErrors.h>

namespace tp::qt {

struct AudioCodecSetup;

enum class SampleType { kNone, kU8, kS16, kS32, kF32, kF64 };
int BytesPerSample(SampleType t);

// The shape of a PCM stream in host byte order. `channelMask` uses the WAVE
// speaker bits (front left 0x1, front right 0x2, centre 0x4, LFE 0x8, ...);
// 0 means the usual layout for the channel count.
struct PcmStreamFormat {
  SampleType type = SampleType::kNone;
  bool planar = false;  // one plane per channel, else interleaved in one
  int channels = 0;
  int rate = 0;
  uint64_t channelMask = 0;
  bool operator==(const PcmStreamFormat &) const = default;
};

// Decoded frames, valid during the sink call.
struct PcmFrames {
  PcmStreamFormat format;
  int frames = 0;
  const uint8_t *const *data = nullptr;  // `channels` planes when planar, else one
};

class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;
  using FrameSink = std::function<OSErr(const PcmFrames &frames)>;
  virtual OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink) = 0;
  virtual OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) = 0;
  virtual OSErr Drain(const FrameSink &sink) = 0;
  virtual void Flush() = 0;
};

OSErr CreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);

class PcmResampler {
 public:
  virtual ~PcmResampler() = default;
  // At most how many frames the next Convert of `inFrames` (0: a flush) can
  // give, counting what is held back.
  virtual int MaxOutput(int inFrames) = 0;
  // Converts `inFrames` frames (in == null: flushes what is held back) into
  // `out` (planes as the output format says, room for `capacity` frames).
  // Returns the frames written, or -1.
  virtual int Convert(uint8_t *const *out, int capacity, const uint8_t *const *in, int inFrames) = 0;
};

OSErr CreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out, std::unique_ptr<PcmResampler> *result);

}  // namespace tp::qt
