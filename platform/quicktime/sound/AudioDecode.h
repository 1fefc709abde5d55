// AudioDecode: what decodes a sound format, and the PCM conversion shared
// by Movie Audio Extraction and the Sound Converter.
//
// MakeAudioCodecSetup reads a sound format, the numbers of its description
// and a run of extension atoms (a description's extensions, or the payload of
// its 'wave' extension) and names a codec with its set-up bytes; the
// decoding back end (AudioDecoder.h) opens a decoder for it. The atoms come
// from files and are untrusted: every size is checked.
//
// PcmConverter owns one resampler of the back end and the converted samples
// not yet taken. It is not thread-safe: it belongs to one extraction session
// or converter, whose own lock serialises calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "sound/AudioDecoder.h"

namespace tp::qt {

struct AudioCodecSetup {
  uint32_t format = 0;  // the sound format ('wave' 'frma' resolved)
  // The codec by its short name: "pcm_s16le" and the other linear PCM
  // names ("pcm_" + s/u/f + bits + byte order), "pcm_mulaw", "pcm_alaw",
  // "adpcm_ima_qt", "aac", "mp3", "alac", "amr_nb", "amr_wb", "qcelp", "evrc",
  // "ac3", "eac3", "opus" (set-up: an identification header made from
  // 'dOps'), "flac" (set-up: the STREAMINFO of 'dfLa') (the names FFmpeg
  // gives its codec ids); empty when only the
  // importer's decoder name is known.
  std::string codec;
  std::string decoderName;  // from the importer's 'lavc', when the format is not in the table
  std::vector<uint8_t> extradata;
  int channels = 0;
  int sampleRate = 0;
  int bitsPerSample = 0;
  int blockAlign = 0;          // bytes of one self-contained packet for fixed-size formats, else 0
  int framesPerPacket = 0;     // frames in such a packet (1 for PCM), 0 when variable
  int maxPacketBytes = 0;      // the largest packet the format can have, 0 when unknown
  int prerollPackets = 0;      // packets to decode before a seek target for correct output
  bool splitByParser = false;  // packets are self-delimiting and a buffer may hold several
};

// The 3GPP and 3GPP2 speech codecs (AMR narrow- and wideband, EVRC, QCELP,
// SMV). Movie Audio Extraction does not serve them: a movie whose sound is
// coded this way is decoded sample by sample through the Sound Converter.
bool IsSpeechCodecFormat(uint32_t format);

// Bits per sample of a linear PCM codec name (and of "pcm_mulaw" and
// "pcm_alaw"); 0 for any other codec.
int PcmCodecBits(std::string_view codec);

// Fills *out from the format and the description's numbers. `atoms` may be
// empty. `pcmFlags` are the linear PCM format flags of a version 2
// description ('lpcm': integer or float, byte order, signed), used for that
// format only. noCodecErr when nothing here decodes the format; paramErr
// when the channel count, sample size or rate is absurd.
OSErr MakeAudioCodecSetup(uint32_t format, int channels, int bitsPerSample, double sampleRate,
                          std::span<const uint8_t> atoms, std::span<const uint8_t> lavcName, AudioCodecSetup *out,
                          uint32_t pcmFlags = 0);

// Converts decoded frames into one output format (sample type, layout,
// channel count, rate) with the back end's resampler and keeps them until
// taken. More channels than the output has are folded down (centre and
// surround at -3 dB, no LFE), fewer are spread.
class PcmConverter {
 public:
  PcmConverter() = default;
  ~PcmConverter() = default;
  PcmConverter(const PcmConverter &) = delete;
  PcmConverter &operator=(const PcmConverter &) = delete;

  // Sets the output and drops everything held. paramErr for no sample
  // type, channels outside 1..8 or a rate outside 1..768,000.
  OSErr SetOutput(SampleType type, bool planar, int channels, int rate);
  // Converts frames [skip, frames) and keeps them. codecErr when they cannot
  // be converted.
  OSErr Push(const PcmFrames &frames, int skip = 0);
  // Flushes what the resampler holds back.
  OSErr Drain();
  // Drops what is held and the resampler's state.
  void Reset();

  size_t FramesHeld() const;
  // Copies up to `frames` frames into `dst` (one pointer per plane for a
  // planar format, else one) and drops them; returns the number copied.
  size_t Take(uint8_t *const *dst, size_t frames);
  size_t BytesPerFrame() const;  // per plane
  int planes() const;

 private:
  OSErr Append(const uint8_t *const *data, int frames);
  OSErr Run(const uint8_t *const *in, int inFrames);

  PcmStreamFormat out_;
  std::unique_ptr<PcmResampler> resampler_;
  PcmStreamFormat in_;                      // what the resampler was made for
  std::vector<std::vector<uint8_t>> held_;  // one per plane
  size_t readOffset_ = 0;                   // bytes already taken from each plane
  std::vector<uint8_t *> scratch_;
};

}  // namespace tp::qt
