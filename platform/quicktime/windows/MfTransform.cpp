#include "MfTransform.h"

#include <mferror.h>

#include <cstring>
#include <mutex>

namespace tp::qt {

HRESULT MfStartup() {
  static std::once_flag once;
  static HRESULT result = E_FAIL;
  std::call_once(once, [] {
    // Threads that never initialised COM then belong to the multithreaded
    // apartment, which this cookie keeps alive until the process ends.
    CO_MTA_USAGE_COOKIE cookie = nullptr;
    HRESULT hr = CoIncrementMTAUsage(&cookie);
    if (SUCCEEDED(hr)) hr = ::MFStartup(MF_VERSION, MFSTARTUP_LITE);
    result = hr;
  });
  return result;
}

HRESULT MfTransform::Create(const GUID &category, const GUID &majorType, const GUID &inputSubtype, MfTransform *out) {
  HRESULT hr = MfStartup();
  if (FAILED(hr)) return hr;
  MFT_REGISTER_TYPE_INFO input = {majorType, inputSubtype};
  IMFActivate **activates = nullptr;
  UINT32 count = 0;
  hr = MFTEnumEx(category, MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input,
                 nullptr, &activates, &count);
  if (FAILED(hr)) return hr;
  hr = MF_E_TOPO_CODEC_NOT_FOUND;
  for (UINT32 i = 0; i < count; ++i) {
    if (FAILED(hr)) {
      ComRef<IMFTransform> mft;
      if (SUCCEEDED(activates[i]->ActivateObject(IID_IMFTransform, reinterpret_cast<void **>(mft.put())))) {
        out->mft_ = std::move(mft);
        if (FAILED(activates[i]->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &out->clsid_))) out->clsid_ = GUID_NULL;
        hr = S_OK;
      }
    }
    activates[i]->Release();
  }
  CoTaskMemFree(activates);
  return hr;
}

HRESULT MfTransform::CreateAnother(MfTransform *out) const {
  if (IsEqualGUID(clsid_, GUID_NULL)) return E_NOTIMPL;
  ComRef<IMFTransform> mft;
  HRESULT hr =
      CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void **>(mft.put()));
  if (FAILED(hr)) return hr;
  out->mft_ = std::move(mft);
  out->clsid_ = clsid_;
  return S_OK;
}

HRESULT MfTransform::SetInputType(IMFMediaType *type) { return mft_->SetInputType(0, type, 0); }

HRESULT MfTransform::ChooseOutputType(std::span<const GUID> preferred) {
  preferred_.assign(preferred.begin(), preferred.end());
  ComRef<IMFMediaType> best;
  size_t bestRank = preferred.size();
  for (DWORD i = 0;; ++i) {
    ComRef<IMFMediaType> type;
    HRESULT hr = mft_->GetOutputAvailableType(0, i, type.put());
    if (hr == MF_E_NO_MORE_TYPES) break;
    if (FAILED(hr)) return hr;
    GUID subtype{};
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) continue;
    for (size_t r = 0; r < bestRank; ++r) {
      if (IsEqualGUID(subtype, preferred[r])) {
        best = std::move(type);
        bestRank = r;
        break;
      }
    }
  }
  if (!best) return MF_E_INVALIDMEDIATYPE;
  // A sound type of more than two channels that names no layout gets the
  // stream's: some decoders will not convert to a layout they must guess.
  UINT32 channels = 0, mask = 0;
  if (outputMask_ != 0 && SUCCEEDED(best->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) && channels > 2 &&
      FAILED(best->GetUINT32(MF_MT_AUDIO_CHANNEL_MASK, &mask)) && UINT32(__builtin_popcount(outputMask_)) == channels) {
    best->SetUINT32(MF_MT_AUDIO_CHANNEL_MASK, outputMask_);
  }
  HRESULT hr = mft_->SetOutputType(0, best.get(), 0);
  if (FAILED(hr)) return hr;
  // What the transform settled on (it may fill in strides and apertures).
  if (FAILED(mft_->GetOutputCurrentType(0, outputType_.put()))) outputType_ = std::move(best);
  return mft_->GetOutputStreamInfo(0, &streamInfo_);
}

HRESULT MfTransform::Start() {
  HRESULT hr = mft_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  if (FAILED(hr)) return hr;
  return mft_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
}

HRESULT MfTransform::Feed(std::span<const uint8_t> data, int64_t time, int64_t duration, bool discontinuity) {
  if (data.size() > MAXDWORD) return E_INVALIDARG;
  ComRef<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreateMemoryBuffer(DWORD(data.size()), buffer.put());
  if (FAILED(hr)) return hr;
  BYTE *dst = nullptr;
  hr = buffer->Lock(&dst, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (!data.empty()) std::memcpy(dst, data.data(), data.size());
  buffer->Unlock();
  buffer->SetCurrentLength(DWORD(data.size()));
  ComRef<IMFSample> sample;
  hr = MFCreateSample(sample.put());
  if (FAILED(hr)) return hr;
  sample->AddBuffer(buffer.get());
  sample->SetSampleTime(time);
  if (duration > 0) sample->SetSampleDuration(duration);
  if (discontinuity) sample->SetUINT32(MFSampleExtension_Discontinuity, TRUE);
  return mft_->ProcessInput(0, sample.get(), 0);
}

HRESULT MfTransform::Pull(ComRef<IMFSample> *sample, bool *formatChanged) {
  // A format change may come more than once in a row; each is answered
  // with a new output type, so the bound only stops a transform that loops.
  for (int attempt = 0; attempt < 8; ++attempt) {
    ComRef<IMFSample> ours;
    const bool provides =
        streamInfo_.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES);
    if (!provides && spare_) {
      ours = std::move(spare_);
    } else if (!provides) {
      HRESULT hr = MFCreateSample(ours.put());
      if (FAILED(hr)) return hr;
      ComRef<IMFMediaBuffer> buffer;
      DWORD size = streamInfo_.cbSize ? streamInfo_.cbSize : 1 << 20;
      hr = MFCreateMemoryBuffer(size, buffer.put());
      if (FAILED(hr)) return hr;
      ours->AddBuffer(buffer.get());
    }
    MFT_OUTPUT_DATA_BUFFER out{};
    out.dwStreamID = 0;
    out.pSample = ours.get();
    DWORD status = 0;
    HRESULT hr = mft_->ProcessOutput(0, 1, &out, &status);
    if (out.pEvents) out.pEvents->Release();
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
      spare_ = std::move(ours);  // unused: the next pull takes it
      return S_FALSE;
    }
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
      if (provides && out.pSample) out.pSample->Release();
      spare_.Reset();  // sized for the old format
      hr = ChooseOutputType(std::vector<GUID>(preferred_));
      if (FAILED(hr)) return hr;
      *formatChanged = true;
      continue;
    }
    if (FAILED(hr)) {
      if (provides && out.pSample) out.pSample->Release();
      return hr;
    }
    if (provides) {
      *sample->put() = out.pSample;  // the transform's reference is ours now
    } else {
      *sample = std::move(ours);
    }
    return S_OK;
  }
  return E_FAIL;
}

void MfTransform::Recycle(ComRef<IMFSample> sample) {
  const bool provides =
      streamInfo_.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES);
  if (provides || spare_ || !sample) return;
  // Sized for the current format only: a format change drops the spare.
  DWORD count = 0;
  if (FAILED(sample->GetBufferCount(&count)) || count != 1) return;
  ComRef<IMFMediaBuffer> buffer;
  DWORD capacity = 0;
  if (FAILED(sample->GetBufferByIndex(0, buffer.put())) || FAILED(buffer->GetMaxLength(&capacity)) ||
      capacity < streamInfo_.cbSize)
    return;
  buffer->SetCurrentLength(0);
  sample->DeleteAllItems();  // the last picture's flags; its time is set anew
  spare_ = std::move(sample);
}

bool MfTransform::FillsOurSamples() const {
  return mft_ && !(streamInfo_.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES));
}

HRESULT MfTransform::Drain() { return mft_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0); }

HRESULT MfTransform::Flush() { return mft_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0); }

HRESULT SampleBytes(IMFSample *sample, std::vector<uint8_t> *out) {
  out->clear();
  DWORD count = 0;
  HRESULT hr = sample->GetBufferCount(&count);
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < count; ++i) {
    ComRef<IMFMediaBuffer> buffer;
    hr = sample->GetBufferByIndex(i, buffer.put());
    if (FAILED(hr)) return hr;
    BYTE *p = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&p, nullptr, &length);
    if (FAILED(hr)) return hr;
    out->insert(out->end(), p, p + length);
    buffer->Unlock();
  }
  return S_OK;
}

}  // namespace tp::qt
