// The system's decoders behind the runtime's decoding seam: H.264 through
// MfVideoDecoder; 'jpeg' and 'mjpa' through the imaging component
// (WicJpegDecoder); Cinepak and whatever else an installed Video for
// Windows decompressor takes (VfwVideoDecoder); H.263, DV and MPEG-4 part 2
// of the Simple profile through MfFrameDecoder; AAC, MP3, FLAC, ALAC and
// Opus through MfAudioDecoder. Anything else (HEVC and AV1 among them), or
// a system without the decoder, is "no codec":
// the engine leaves the track out when the movie is loaded.

#include "SystemCodecs.h"

#include "AudioDecode.h"
#include "MovieModel.h"
#include "PixelConvert.h"
#include "windows/MfAudioDecoder.h"
#include "windows/MfFrameDecoder.h"
#include "windows/MfVideoDecoder.h"
#include "windows/VfwVideoDecoder.h"
#include "windows/WicJpegDecoder.h"

namespace tp::qt {

namespace {

class SystemVideoDecoder final : public VideoDecoder {
 public:
  explicit SystemVideoDecoder(std::unique_ptr<MfVideoDecoder> mf) : mf_(std::move(mf)) {}

  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override {
    *gotPicture = false;
    if (!data || size <= 0) return codecBadDataErr;
    if (OSErr err = mf_->Decode(std::span<const uint8_t>(data, size_t(size))); err != noErr) return err;
    // Every sample of an H.264 track codes a picture; it is made when drawn,
    // so samples decoded on the way to a seek point cost no more.
    *gotPicture = true;
    decodedAny_ = true;
    return noErr;
  }

  bool HasPicture() const override { return decodedAny_; }

  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    const MfPicture *pic = nullptr;
    if (OSErr err = mf_->LastPicture(&pic); err != noErr) return err;
    if (!pic) return codecErr;
    return DrawMfPicture(*pic, target, width, height);
  }

  // Deferred pictures: one decoder fed forward, pictures matched to
  // samples by display order.
  bool CanDefer() const override { return true; }
  int MaxDelay() const override { return mf_->MaxDelay(); }
  OSErr Send(const uint8_t *data, int64_t size, uint64_t tag, int64_t displayTime) override {
    if (!data || size <= 0) return codecBadDataErr;
    return mf_->Send(std::span<const uint8_t>(data, size_t(size)), tag, displayTime);
  }
  bool Receive(Output *out) override { return mf_->Receive(out); }
  OSErr Drain() override { return mf_->Drain(); }
  void Flush() override { mf_->Flush(); }

 private:
  std::unique_ptr<MfVideoDecoder> mf_;
  bool decodedAny_ = false;
};

class SystemAudioDecoder final : public AudioDecoder {
 public:
  explicit SystemAudioDecoder(std::unique_ptr<MfAudioDecoder> mf) : mf_(std::move(mf)) {}

  OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink) override {
    pcm_.clear();
    if (OSErr err = mf_->Decode(data, &pcm_); err != noErr) return err;
    return Emit(sink);
  }
  // MP3 buffers of several frames go in whole: the decoder finds the frames.
  OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) override { return Decode(packet, sink); }
  OSErr Drain(const FrameSink &sink) override {
    pcm_.clear();
    if (OSErr err = mf_->Drain(&pcm_); err != noErr) return err;
    return Emit(sink);
  }
  void Flush() override { mf_->Reset(); }

 private:
  OSErr Emit(const FrameSink &sink) {
    const MfPcmFormat &f = mf_->format();
    if (pcm_.empty() || f.bytesPerFrame() <= 0) return noErr;
    PcmFrames frames;
    frames.format.type = f.isFloat ? SampleType::kF32 : SampleType::kS16;
    frames.format.channels = f.channels;
    frames.format.rate = f.sampleRate;
    frames.format.channelMask = f.channelMask;
    frames.frames = int(pcm_.size() / size_t(f.bytesPerFrame()));
    const uint8_t *planes[1] = {pcm_.data()};
    frames.data = planes;
    return sink(frames);
  }

  std::unique_ptr<MfAudioDecoder> mf_;
  std::vector<uint8_t> pcm_;
};

// Codecs whose only decoders on Windows are Media Foundation transforms.
bool IsMediaFoundationOnly(const std::string &codec) {
  for (const char *name : {"hevc", "av1", "mpeg1video", "mpeg2video", "prores"})
    if (codec == name) return true;
  return false;
}

}  // namespace

OSErr CreateSystemVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  // Photo-JPEG and Motion JPEG A are whole JPEG images ('mjpb' is not).
  if (setup.codecType == FourCC("jpeg") || setup.codecType == FourCC("mjpa")) return CreateWicJpegDecoder(setup, out);
  if (setup.codec != "h264") {
    // Codecs of the newer movies are Media Foundation's or nobody's; the
    // older ones go to whatever Video for Windows decompressor is installed
    // for their code (Cinepak everywhere).
    if (IsMfFrameCodec(setup)) return CreateMfFrameDecoder(setup, out);
    if (IsMediaFoundationOnly(setup.codec)) return noCodecErr;
    return CreateVfwVideoDecoder(setup, out);
  }
  MfVideoSetup mf;
  mf.width = setup.width;
  mf.height = setup.height;
  // 'avcC' starts with its version, 1; other set-up bytes (a byte stream's
  // own parameter sets) travel in the samples.
  if (!setup.extradata.empty() && setup.extradata[0] == 1) mf.avcC = setup.extradata;
  std::unique_ptr<MfVideoDecoder> decoder;
  if (OSErr err = MfVideoDecoder::Create(mf, &decoder); err != noErr) {
    return err == badImageDescription ? OSErr(codecErr) : err;  // a damaged 'avcC': the decoder will not open
  }
  out->reset(new (std::nothrow) SystemVideoDecoder(std::move(decoder)));
  return *out ? OSErr(noErr) : OSErr(memFullErr);
}

OSErr CreateSystemAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  out->reset();
  MfAudioSetup mf;
  if (setup.codec == "aac") {
    mf.codec = MfAudioCodec::kAac;
    mf.audioSpecificConfig = setup.extradata;
  } else if (setup.codec == "mp3") {
    mf.codec = MfAudioCodec::kMp3;
  } else if (setup.codec == "flac") {
    mf.codec = MfAudioCodec::kFlac;
    mf.flacStreamInfo = setup.extradata;
  } else if (setup.codec == "alac") {
    mf.codec = MfAudioCodec::kAlac;
    mf.alacSetup = setup.extradata;
  } else if (setup.codec == "opus") {
    mf.codec = MfAudioCodec::kOpus;
    mf.opusHead = setup.extradata;
  } else {
    return noCodecErr;
  }
  mf.sampleRate = setup.sampleRate;
  mf.channels = setup.channels;
  std::unique_ptr<MfAudioDecoder> decoder;
  if (OSErr err = MfAudioDecoder::Create(mf, &decoder); err != noErr) return err;
  out->reset(new (std::nothrow) SystemAudioDecoder(std::move(decoder)));
  return *out ? OSErr(noErr) : OSErr(memFullErr);
}

}  // namespace tp::qt
