// AudioDecode: what decodes a sound format, and the decoding and PCM
// conversion shared by Movie Audio Extraction and the Sound Converter.
//
// MakeAudioCodecSetup reads a sound format, the numbers of its description
// and a run of extension atoms (a description's extensions, or the payload of
// its 'wave' extension) and names a libavcodec decoder with its set-up bytes.
// The atoms come from files and are untrusted: every size is checked.
//
// AudioDecoder owns one libavcodec context; PcmConverter owns one
// libswresample context and the converted samples not yet taken. Neither is
// thread-safe: each belongs to one extraction session or converter, whose
// own lock serialises calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <QuickTime/MacErrors.h>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/samplefmt.h>
}

struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace tp::qt {

struct AudioCodecSetup {
  uint32_t format = 0;  // the sound format ('wave' 'frma' resolved)
  AVCodecID codecId = AV_CODEC_ID_NONE;
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

// Fills *out from the format and the description's numbers. `atoms` may be
// empty. `pcmFlags` are the linear PCM format flags of a version 2
// description ('lpcm': integer or float, byte order, signed), used for that
// format only. noCodecErr when nothing here decodes the format; paramErr
// when the channel count, sample size or rate is absurd.
OSErr MakeAudioCodecSetup(uint32_t format, int channels, int bitsPerSample, double sampleRate,
                          std::span<const uint8_t> atoms, std::span<const uint8_t> lavcName, AudioCodecSetup *out,
                          uint32_t pcmFlags = 0);

class AudioDecoder {
 public:
  AudioDecoder();
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder &) = delete;
  AudioDecoder &operator=(const AudioDecoder &) = delete;

  // noCodecErr when libavcodec has no such decoder, codecErr when it will not
  // open with these settings.
  OSErr Open(const AudioCodecSetup &setup);
  bool IsOpen() const { return ctx_ != nullptr; }

  // Receives each decoded frame; the frame belongs to the decoder and is
  // valid during the call. A non-zero result stops decoding and is returned.
  using FrameSink = std::function<OSErr(const AVFrame *frame)>;

  // Decodes a buffer of one or more packets. Self-delimiting formats are
  // split with libavcodec's parser; others go as one packet, which the
  // decoder consumes frame by frame. Corrupt packets are dropped (the decoder
  // resyncs on the next); only the sink's errors stop the call.
  OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink);
  // Decodes exactly one packet.
  OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink);
  // After the last packet: hands out what the decoder holds back.
  OSErr Drain(const FrameSink &sink);
  // Forgets everything sent, for a seek.
  void Flush();

 private:
  AudioCodecSetup setup_;
  AVCodecContext *ctx_ = nullptr;
  AVCodecParserContext *parser_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *frame_ = nullptr;
  OSErr ReceiveAll(const FrameSink &sink);
};

// Converts decoded frames into one output format (sample format, channel
// count, rate) with libswresample and keeps them until taken. More channels
// than the output has are folded down with libswresample's standard matrix
// (centre and surround at -3 dB, no LFE), fewer are spread, as the ffmpeg
// command line does.
class PcmConverter {
 public:
  PcmConverter() = default;
  ~PcmConverter();
  PcmConverter(const PcmConverter &) = delete;
  PcmConverter &operator=(const PcmConverter &) = delete;

  // Sets the output and drops everything held. paramErr for a format
  // libswresample cannot produce, channels outside 1..8 or a rate outside
  // 1..768,000.
  OSErr SetOutput(AVSampleFormat format, int channels, int rate);
  // Converts frame samples [skip, nb_samples) and keeps them. codecErr when
  // the frame cannot be converted.
  OSErr Push(const AVFrame *frame, int skip = 0);
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
  OSErr Configure(const AVFrame *frame);
  OSErr Append(const uint8_t *const *data, int frames);

  AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
  int channels_ = 0;
  int rate_ = 0;
  SwrContext *swr_ = nullptr;
  uint64_t inLayoutMask_ = 0;
  int inChannels_ = 0;
  int inRate_ = 0;
  int inFormat_ = -1;
  std::vector<std::vector<uint8_t>> held_;  // one per plane
  size_t readOffset_ = 0;                   // bytes already taken from each plane
  std::vector<uint8_t *> scratch_;
};

}  // namespace tp::qt
