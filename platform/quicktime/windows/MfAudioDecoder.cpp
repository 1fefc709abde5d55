#include "MfAudioDecoder.h"

#include <mferror.h>
#include <mmreg.h>
#include <uuids.h>
#include <wmcodecdsp.h>

#include "codecs/SystemCodecSetup.h"

namespace tp::qt {

namespace {

const GUID kPreferredOutputs[] = {MFAudioFormat_Float, MFAudioFormat_PCM};

// WAVE_FORMAT_FLAC (0xF1AC) as a media subtype; the SDK declares it only
// for newer targets.
constexpr GUID kFlacSubtype = {0x0000F1AC, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr size_t kFlacStreamInfoBytes = 34;
// The samples per channel the MP3 DMO gives out at a time (an MPEG-1 layer
// III frame).
constexpr int kDmoOutputUnit = 1152;
// WAVE_FORMAT_ALAC (0x6C61) and WAVE_FORMAT_OPUS (0x704F), likewise.
constexpr GUID kAlacSubtype = {0x00006C61, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kOpusSubtype = {0x0000704F, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Whether `mft` names `subtype` among the input types it offers. Wine finds
// a transform for ALAC and Opus that takes their types and then decodes
// nothing; a transform that lists its inputs and leaves the subtype out is
// no decoder for it. One that lists nothing is taken at its word.
bool ListsInputSubtype(IMFTransform *mft, const GUID &subtype) {
  bool listed = false;
  for (DWORD i = 0; i < 256; ++i) {
    ComRef<IMFMediaType> type;
    if (FAILED(mft->GetInputAvailableType(0, i, type.put()))) return i == 0 || listed;
    GUID offered{};
    if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &offered)) && IsEqualGUID(offered, subtype)) listed = true;
  }
  return listed;
}

}  // namespace

OSErr MfAudioDecoder::Create(const MfAudioSetup &setup, std::unique_ptr<MfAudioDecoder> *out) {
  std::unique_ptr<MfAudioDecoder> d(new (std::nothrow) MfAudioDecoder());
  if (!d) return memFullErr;
  const GUID &subtype = setup.codec == MfAudioCodec::kAac    ? MFAudioFormat_AAC
                        : setup.codec == MfAudioCodec::kFlac ? kFlacSubtype
                        : setup.codec == MfAudioCodec::kAlac ? kAlacSubtype
                        : setup.codec == MfAudioCodec::kOpus ? kOpusSubtype
                                                             : MFAudioFormat_MP3;
  // Whether the system has a decoder at all comes first: without one the
  // track is refused (noCodecErr) whatever its set-up bytes hold.
  const bool haveTransform =
      SUCCEEDED(MfTransform::Create(MFT_CATEGORY_AUDIO_DECODER, MFMediaType_Audio, subtype, &d->mft_)) &&
      (setup.codec == MfAudioCodec::kAac || setup.codec == MfAudioCodec::kMp3 ||
       ListsInputSubtype(d->mft_.get(), subtype));
  if (!haveTransform && setup.codec != MfAudioCodec::kMp3) return noCodecErr;

  int rate = setup.sampleRate, channels = setup.channels;
  if (setup.codec == MfAudioCodec::kAac) {
    std::optional<AacConfigInfo> info = ParseAudioSpecificConfig(setup.audioSpecificConfig);
    if (!info) return codecErr;
    // The container's rate (which counts a doubling by SBR), but the
    // config's channels: .mp4 writers put 2 in the description for mono.
    if (rate <= 0) rate = info->sampleRate;
    if (info->channels > 0) channels = info->channels;
  }
  if (setup.codec == MfAudioCodec::kFlac && setup.flacStreamInfo.size() != kFlacStreamInfoBytes) return codecErr;
  std::optional<AlacConfig> alac;
  if (setup.codec == MfAudioCodec::kAlac) {
    alac = ParseAlacCookie(setup.alacSetup);
    if (!alac) return codecErr;
    rate = alac->sampleRate;
    channels = alac->channels;
  }
  // The identification header: magic, version, channels, ...
  if (setup.codec == MfAudioCodec::kOpus && (setup.opusHead.size() < 19 || setup.opusHead[9] == 0)) return codecErr;
  if (rate <= 0 || rate > 768000 || channels <= 0 || channels > 8) return codecErr;

  if (!haveTransform) {
    // Systems without an MP3 transform may still have the MP3 DMO.
    if (!d->OpenMp3Dmo(rate, channels)) return noCodecErr;
    *out = std::move(d);
    return noErr;
  }

  ComRef<IMFMediaType> input;
  if (FAILED(MFCreateMediaType(input.put()))) return memFullErr;
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  input->SetGUID(MF_MT_SUBTYPE, subtype);
  input->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, UINT32(rate));
  input->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, UINT32(channels));
  if (setup.codec == MfAudioCodec::kAac) {
    // More than two channels need their layout: decoders that go by the
    // mask (Wine's) take the type and then decode nothing without it.
    if (channels > 2 && AacChannelMask(channels) != 0) {
      d->inputMask_ = AacChannelMask(channels);
      input->SetUINT32(MF_MT_AUDIO_CHANNEL_MASK, d->inputMask_);
      d->mft_.SetOutputChannelMask(d->inputMask_);
    }
    std::vector<uint8_t> user = AacUserData(setup.audioSpecificConfig);
    input->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    input->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    input->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0xFE);
    input->SetBlob(MF_MT_USER_DATA, user.data(), UINT32(user.size()));
  } else if (setup.codec == MfAudioCodec::kFlac) {
    // STREAMINFO: bits per sample - 1 in 5 bits across bytes 12 and 13.
    const std::vector<uint8_t> &info = setup.flacStreamInfo;
    const UINT32 bits = UINT32(((info[12] & 0x01) << 4) | (info[13] >> 4)) + 1;
    std::vector<uint8_t> user = {'f', 'L', 'a', 'C', 0x80, 0, 0, uint8_t(kFlacStreamInfoBytes)};
    user.insert(user.end(), info.begin(), info.end());
    input->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, bits);
    input->SetBlob(MF_MT_USER_DATA, user.data(), UINT32(user.size()));
  } else if (setup.codec == MfAudioCodec::kAlac) {
    input->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, UINT32(alac->bitDepth));
    input->SetBlob(MF_MT_USER_DATA, alac->cookie.data(), UINT32(alac->cookie.size()));
  } else if (setup.codec == MfAudioCodec::kOpus) {
    input->SetBlob(MF_MT_USER_DATA, setup.opusHead.data(), UINT32(setup.opusHead.size()));
  }
  if (FAILED(d->mft_.SetInputType(input.get()))) return codecErr;
  if (FAILED(d->mft_.ChooseOutputType(kPreferredOutputs)) || FAILED(d->ReadFormat())) return codecErr;
  *out = std::move(d);
  return noErr;
}

bool MfAudioDecoder::OpenMp3Dmo(int rate, int channels) {
  MPEGLAYER3WAVEFORMAT mp3{};
  mp3.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  mp3.wfx.nChannels = WORD(channels);
  mp3.wfx.nSamplesPerSec = DWORD(rate);
  mp3.wfx.nAvgBytesPerSec = 16000;  // a guess the decoder only uses for buffering
  mp3.wfx.nBlockAlign = 1;
  mp3.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
  mp3.wID = MPEGLAYER3_ID_MPEG;
  mp3.fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
  mp3.nBlockSize = 1;
  mp3.nFramesPerBlock = 1;
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = WORD(channels);
  pcm.nSamplesPerSec = DWORD(rate);
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = WORD(channels * 2);
  pcm.nAvgBytesPerSec = DWORD(rate) * pcm.nBlockAlign;
  DMO_MEDIA_TYPE in{}, outType{};
  in.majortype = MFMediaType_Audio;  // the same value as DirectShow's audio type
  in.subtype = MFAudioFormat_MP3;
  in.formattype = FORMAT_WaveFormatEx;
  in.cbFormat = sizeof(mp3);
  in.pbFormat = reinterpret_cast<BYTE *>(&mp3);
  outType.majortype = MFMediaType_Audio;
  outType.subtype = MFAudioFormat_PCM;
  outType.bFixedSizeSamples = TRUE;
  outType.lSampleSize = pcm.nBlockAlign;
  outType.formattype = FORMAT_WaveFormatEx;
  outType.cbFormat = sizeof(pcm);
  outType.pbFormat = reinterpret_cast<BYTE *>(&pcm);
  if (FAILED(DmoTransform::Create(CLSID_CMP3DecMediaObject, in, outType, &dmo_))) return false;
  useDmo_ = true;
  format_.sampleRate = rate;
  format_.channels = channels;
  format_.isFloat = false;
  return true;
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
  UINT32 mask = 0;
  format_.channelMask = SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_CHANNEL_MASK, &mask)) ? mask : inputMask_;
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
  if (useDmo_) {
    dmoPending_.insert(dmoPending_.end(), packet.begin(), packet.end());
    const size_t ready = MpegAudioWholeUnits(dmoPending_, kDmoOutputUnit);
    if (ready == 0) return noErr;
    // A buffer the object refuses is dropped, as libavcodec drops one.
    HRESULT hr = dmo_.Feed(std::span<const uint8_t>(dmoPending_.data(), ready), pcm);
    dmoPending_.erase(dmoPending_.begin(), dmoPending_.begin() + ptrdiff_t(ready));
    return hr == E_OUTOFMEMORY ? OSErr(memFullErr) : OSErr(noErr);
  }
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
  if (useDmo_) {
    // An odd frame at the end is completed with a silent one, so that the
    // DMO gives it out; what cannot be counted goes in as it is.
    PadMpegAudioToUnits(&dmoPending_, kDmoOutputUnit);
    HRESULT hr = dmoPending_.empty() ? S_OK : dmo_.Feed(dmoPending_, pcm);
    dmoPending_.clear();
    if (hr == E_OUTOFMEMORY) return memFullErr;
    return FAILED(dmo_.Drain(pcm)) ? OSErr(codecErr) : OSErr(noErr);
  }
  if (!started_) return noErr;
  if (FAILED(mft_.Drain())) return codecErr;
  return FAILED(PullAll(pcm)) ? OSErr(codecErr) : OSErr(noErr);
}

void MfAudioDecoder::Reset() {
  if (useDmo_) {
    dmoPending_.clear();
    dmo_.Flush();
    return;
  }
  if (started_) mft_.Flush();
}

}  // namespace tp::qt
