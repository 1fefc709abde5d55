// MfAudioDecoder: AAC and MP3 through the system's Media Foundation
// decoders, packet by packet, into interleaved PCM (32-bit float where the
// decoder offers it, else 16-bit signed), at the stream's own rate and
// channels.
//
// Set-up: AAC takes the stream's AudioSpecificConfig (from 'esds'), whose
// channel configuration wins over the description's count and whose rate
// stands in when the description has none; MP3
// needs nothing beyond the rate and channels (each frame header says the
// rest); FLAC (a system transform since Windows 10) takes its STREAMINFO,
// handed over as the start of a FLAC stream ("fLaC", the block); ALAC its
// 24-byte config (rate, channels and depth from it); Opus its
// identification header, decoded at 48 kHz. Packets carry no times of their own: audio comes out
// in the order it goes in, so only the end (Drain) and a seek (Reset) need care.
//
// Ownership: owns the transform; PCM goes into the caller's vector. Not
// thread-safe: its owner serialises calls (any thread).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "DmoTransform.h"
#include "MfTransform.h"

namespace tp::qt {

enum class MfAudioCodec { kAac, kMp3, kFlac, kAlac, kOpus };

struct MfAudioSetup {
  MfAudioCodec codec = MfAudioCodec::kAac;
  std::vector<uint8_t> audioSpecificConfig;  // AAC only
  std::vector<uint8_t> flacStreamInfo;       // FLAC only: the 34-byte STREAMINFO
  std::vector<uint8_t> alacSetup;            // ALAC only: the 'alac' atom (ParseAlacCookie)
  std::vector<uint8_t> opusHead;             // Opus only: the identification header
  int sampleRate = 0;                        // 0: from the config
  int channels = 0;                          // 0: from the config
};

struct MfPcmFormat {
  int sampleRate = 0;
  int channels = 0;
  bool isFloat = false;      // true: 32-bit float; false: 16-bit signed
  uint32_t channelMask = 0;  // WAVE speaker bits; 0: the usual layout
  int bytesPerFrame() const { return channels * (isFloat ? 4 : 2); }
};

class MfAudioDecoder {
 public:
  // noCodecErr when the system lacks the decoder; codecErr when the set-up
  // is missing or damaged (AAC without a readable config, no rate or
  // channels) or the decoder refuses the types.
  static OSErr Create(const MfAudioSetup &setup, std::unique_ptr<MfAudioDecoder> *out);
  ~MfAudioDecoder();

  // Decodes one packet, appending what comes out to *pcm (possibly
  // nothing yet: decoders keep a packet or two). codecErr when the decoder
  // fails; a packet it drops as damaged adds nothing.
  OSErr Decode(std::span<const uint8_t> packet, std::vector<uint8_t> *pcm);
  // The end of the stream: appends what the decoder still holds.
  OSErr Drain(std::vector<uint8_t> *pcm);
  // Drops what the decoder holds (a seek).
  void Reset();

  // The PCM handed out. A decoder that changes it mid-stream (a stream
  // whose config understated its channels) changes it before the bytes of
  // the new format are appended.
  const MfPcmFormat &format() const { return format_; }

 private:
  MfAudioDecoder() = default;
  HRESULT ReadFormat();
  HRESULT PullAll(std::vector<uint8_t> *pcm);
  bool OpenMp3Dmo(int rate, int channels);

  MfTransform mft_;
  DmoTransform dmo_;  // used instead where the system has only a DMO
  bool useDmo_ = false;
  // MP3 bytes not yet handed to the DMO: Wine's gives out 1152 samples at a
  // time and drops the rest of a read, so layer III of MPEG-2 and 2.5 (576
  // samples a frame) goes in pairs of frames.
  std::vector<uint8_t> dmoPending_;
  MfPcmFormat format_;
  uint32_t inputMask_ = 0;  // the stream's own layout, when the output type names none
  bool started_ = false;
  int64_t nextTime_ = 0;
  std::vector<uint8_t> scratch_;
};

}  // namespace tp::qt
