#include "MfAudioDecoder.h"

#include <mferror.h>

#include "../SystemCodecSetup.h"

namespace tp::qt {

namespace {

const GUID kPreferredOutputs[] = {MFAudioFormat_Float, MFAudioFormat_PCM};

}  // namespace

OSErr MfAudioDecoder::Create(const MfAudioSetup &setup, std::unique_ptr<MfAudioDecoder> *out) {
  int rate = setup.sampleRate, channels = setup.channels;
  if (setup.codec == MfAudioCodec::kAac) {
    std::optional<AacConfigInfo> info = ParseAudioSpecificConfig(setup.audioSpecificConfig);
    if (!info) return codecErr;
    if (rate <= 0) rate = info->sampleRate;
    if (channels <= 0) channels = info->channels;
  }
  if (rate <= 0 || rate > 768000 || channels <= 0 || channels > 8) return codecErr;

  std::unique_ptr<MfAudioDecoder> d(new (std::nothrow) MfAudioDecoder());
  if (!d) return memFullErr;
  const GUID &subtype = setup.codec == MfAudioCodec::kAac ? MFAudioFormat_AAC : MFAudioFormat_MP3;
  if (FAILED(MfTransform::Create(MFT_CATEGORY_AUDIO_DECODER, MFMediaType_Audio, subtype, &d->mft_))) return noCodecErr;

  ComRef<IMFMediaType> input;
  if (FAILED(MFCreateMediaType(input.put()))) return memFullErr;
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  input->SetGUID(MF_MT_SUBTYPE, subtype);
  input->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, UINT32(rate));
  input->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, UINT32(channels));
  if (setup.codec == MfAudioCodec::kAac) {
    std::vector<uint8_t> user = AacUserData(setup.audioSpecificConfig);
    input->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    input->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    input->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0xFE);
    input->SetBlob(MF_MT_USER_DATA, user.data(), UINT32(user.size()));
  }
  if (FAILED(d->mft_.SetInputType(input.get()))) return codecErr;
  if (FAILED(d->mft_.ChooseOutputType(kPreferredOutputs)) || FAILED(d->ReadFormat())) return codecErr;
  *out = std::move(d);
  return noErr;
}

MfAudioDecoder::~MfAudioDecoder() {
  if (started_ && mft_.valid()) mft_.get()->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
}

HRESULT MfAudioDecoder::ReadFormat() {
  IMFMediaType *type = mft_.outputType();
  GUID subtype{};
  UINT32 rate = 0, channels = 0, bits = 0;
  HRESULT hr = type->GetGUID(MF_MT_SUBTYPE, &subtype);
  if (SUCCEEDED(hr)) hr = type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
  if (SUCCEEDED(hr)) hr = type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
  if (SUCCEEDED(hr)) hr = type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
  if (FAILED(hr)) return hr;
  const bool isFloat = IsEqualGUID(subtype, MFAudioFormat_Float);
  if (rate == 0 || channels == 0 || channels > 8 || bits != (isFloat ? 32u : 16u)) return MF_E_INVALIDMEDIATYPE;
  format_.sampleRate = int(rate);
  format_.channels = int(channels);
  format_.isFloat = isFloat;
  return S_OK;
}

HRESULT MfAudioDecoder::PullAll(std::vector<uint8_t> *pcm) {
  for (;;) {
    ComRef<IMFSample> sample;
    bool changed = false;
    HRESULT hr = mft_.Pull(&sample, &changed);
    if (changed) {
      HRESULT fhr = ReadFormat();
      if (FAILED(fhr)) return fhr;
    }
    if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
    hr = SampleBytes(sample.get(), &scratch_);
    if (FAILED(hr)) return hr;
    // Whole frames only: a decoder never splits one, so a ragged tail is
    // not PCM of this format.
    const size_t frame = size_t(format_.bytesPerFrame());
    pcm->insert(pcm->end(), scratch_.begin(), scratch_.end() - ptrdiff_t(scratch_.size() % frame));
  }
}

OSErr MfAudioDecoder::Decode(std::span<const uint8_t> packet, std::vector<uint8_t> *pcm) {
  if (!started_) {
    if (FAILED(mft_.Start())) return codecErr;
    started_ = true;
  }
  if (packet.empty()) return noErr;
  // Times only keep the decoder's bookkeeping monotonic.
  HRESULT hr = mft_.Feed(packet, nextTime_, 0, false);
  if (hr == MF_E_NOTACCEPTING) {
    if (FAILED(PullAll(pcm))) return codecErr;
    hr = mft_.Feed(packet, nextTime_, 0, false);
  }
  ++nextTime_;
  if (hr == MF_E_NOTACCEPTING) return codecErr;  // full even after everything was pulled
  // A packet the decoder refuses is dropped, as libavcodec drops one.
  if (FAILED(hr)) return noErr;
  return FAILED(PullAll(pcm)) ? OSErr(codecErr) : OSErr(noErr);
}

OSErr MfAudioDecoder::Drain(std::vector<uint8_t> *pcm) {
  if (!started_) return noErr;
  if (FAILED(mft_.Drain())) return codecErr;
  return FAILED(PullAll(pcm)) ? OSErr(codecErr) : OSErr(noErr);
}

void MfAudioDecoder::Reset() {
  if (started_) mft_.Flush();
}

}  // namespace tp::qt
