// The system's decoders behind the runtime's decoding seam: H.264, HEVC,
// AV1 and MPEG-4 part 2 that may hold B-pictures through MfVideoDecoder
// (one forward pass, pictures matched by display order); 'jpeg' and 'mjpa'
// through the imaging component (WicJpegDecoder); Cinepak and whatever else
// an installed Video for Windows decompressor takes (VfwVideoDecoder);
// H.263, DV and MPEG-4 part 2 of the Simple profile through MfFrameDecoder;
// AAC, MP3, FLAC, ALAC and Opus through MfAudioDecoder. Anything else, or
// a system without the decoder (HEVC and AV1 need optional system
// extensions), is "no codec": the engine leaves the track out when the
// movie is loaded.

#include "SystemCodecs.h"

#include <optional>

#include "sound/AudioDecode.h"
#include "container/MovieModel.h"
#include "pixels/PixelConvert.h"
#include "codecs/SystemCodecSetup.h"
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
    // Every sample of these tracks codes a picture; it is made when drawn,
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

// Codecs whose only decoders on Windows are Media Foundation transforms
// not wired in here.
bool IsMediaFoundationOnly(const std::string &codec) {
  for (const char *name : {"mpeg1video", "mpeg2video", "prores"})
    if (codec == name) return true;
  return false;
}

// The codecs of the forward pass: H.264, HEVC, AV1, and MPEG-4 part 2 that
// may hold B-pictures (pictures out late); nullopt for the others.
std::optional<MfVideoCodec> ForwardPassCodec(const VideoCodecSetup &setup) {
  if (setup.codec == "h264") return MfVideoCodec::kH264;
  if (setup.codec == "hevc") return MfVideoCodec::kHevc;
  if (setup.codec == "av1") return MfVideoCodec::kAv1;
  if (setup.codec == "mpeg4" && !Mpeg4PicturesInDecodeOrder(setup.extradata)) return MfVideoCodec::kMpeg4;
  return std::nullopt;
}

}  // namespace

OSErr CreateSystemVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  // Photo-JPEG and Motion JPEG A are whole JPEG images ('mjpb' is not).
  if (setup.codecType == FourCC("jpeg") || setup.codecType == FourCC("mjpa")) return CreateWicJpegDecoder(setup, out);
  const std::optional<MfVideoCodec> forward = ForwardPassCodec(setup);
  if (!forward) {
    // Codecs of the newer movies are Media Foundation's or nobody's; the
    // older ones go to whatever Video for Windows decompressor is installed
    // for their code (Cinepak everywhere).
    if (IsMfFrameCodec(setup)) return CreateMfFrameDecoder(setup, out);
    if (IsMediaFoundationOnly(setup.codec)) return noCodecErr;
    return CreateVfwVideoDecoder(setup, out);
  }
  MfVideoSetup mf;
  mf.codec = *forward;
  mf.width = setup.width;
  mf.height = setup.height;
  // 'avcC' and 'hvcC' start with their version, 1; other set-up bytes (a
  // byte stream's own parameter sets) travel in the samples.
  const bool nalConfig = mf.codec == MfVideoCodec::kH264 || mf.codec == MfVideoCodec::kHevc;
  if (!setup.extradata.empty() && (!nalConfig || setup.extradata[0] == 1)) mf.config = setup.extradata;
  std::unique_ptr<MfVideoDecoder> decoder;
  if (OSErr err = MfVideoDecoder::Create(mf, &decoder); err != noErr) {
    return err == badImageDescription ? OSErr(codecErr) : err;  // damaged set-up bytes: the decoder will not open
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
