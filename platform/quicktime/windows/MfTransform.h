// MfTransform: one Media Foundation transform (a system decoder) driven
// synchronously from the calling thread: types set once, then compressed
// buffers in and decoded samples out, with draining and flushing. It hides
// the transform's two ways of handing out samples (its own, or ours sized
// from its stream info) and re-chooses the output type when the transform
// reports a format change. MfVideoDecoder and MfAudioDecoder build on it.
//
// Ownership: holds one reference to the transform. COM: the process keeps
// the multithreaded apartment alive (MfStartup), so any thread may call;
// calls on one object must not overlap (its owner serialises them).
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>

#include <cstdint>
#include <span>
#include <vector>

namespace tp::qt {

// A COM reference that releases itself.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef &) = delete;
  ComRef &operator=(const ComRef &) = delete;
  ComRef(ComRef &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComRef &operator=(ComRef &&o) noexcept {
    if (this != &o) {
      Reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held first.
  T **put() {
    Reset();
    return &p_;
  }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T *p_ = nullptr;
};

// Starts Media Foundation and keeps the multithreaded apartment alive for
// the rest of the process (once; later calls answer the first result).
HRESULT MfStartup();

class MfTransform {
 public:
  // The first synchronous transform of `category` that takes `inputSubtype`
  // of `majorType`, as the system ranks them. MF_E_TOPO_CODEC_NOT_FOUND
  // when the system has none.
  static HRESULT Create(const GUID &category, const GUID &majorType, const GUID &inputSubtype, MfTransform *out);

  // Another instance of the same transform, made directly (enumerating the
  // registered transforms again costs far more).
  HRESULT CreateAnother(MfTransform *out) const;

  bool valid() const { return bool(mft_); }
  IMFTransform *get() const { return mft_.get(); }

  HRESULT SetInputType(IMFMediaType *type);
  // Sets the first output type the transform offers whose subtype comes
  // earliest in `preferred` (kept for later format changes).
  HRESULT ChooseOutputType(std::span<const GUID> preferred);
  IMFMediaType *outputType() const { return outputType_.get(); }
  // The speaker layout (WAVE bits) to put on a sound output type of that
  // many channels that names none; 0: leave types as offered.
  void SetOutputChannelMask(uint32_t mask) { outputMask_ = mask; }
  // Tells the transform streaming starts (after the types are set).
  HRESULT Start();

  // Feeds one buffer with its time and duration (100 ns units). S_OK, or
  // MF_E_NOTACCEPTING when output must be pulled first.
  HRESULT Feed(std::span<const uint8_t> data, int64_t time, int64_t duration, bool discontinuity);
  // One decoded sample: S_OK with *sample, S_FALSE when the transform needs
  // more input. A format change is handled here (the output type is chosen
  // again and *formatChanged set); other failures are the transform's.
  HRESULT Pull(ComRef<IMFSample> *sample, bool *formatChanged);
  // Hands back a sample that Pull gave and the caller is done with: its
  // buffer takes the next picture (a transform that fills samples of ours).
  void Recycle(ComRef<IMFSample> sample);
  // Whether Pull hands out samples of ours (the transform fills what it is
  // given), which the caller may then keep as long as it likes.
  bool FillsOurSamples() const;
  // Whether Pull would make a new sample of ours (none handed back waits).
  bool WantsSample() const { return FillsOurSamples() && !spare_; }
  // Asks for everything held back; Pull then hands it out.
  HRESULT Drain();
  // Drops everything held (a seek).
  HRESULT Flush();

 private:
  ComRef<IMFTransform> mft_;
  CLSID clsid_ = GUID_NULL;
  ComRef<IMFMediaType> outputType_;
  std::vector<GUID> preferred_;
  ComRef<IMFSample> spare_;  // our output sample that the last pull left unused
  MFT_OUTPUT_STREAM_INFO streamInfo_{};
  uint32_t outputMask_ = 0;
};

// Copies a sample's bytes (all its buffers, in order) into `out`.
HRESULT SampleBytes(IMFSample *sample, std::vector<uint8_t> *out);

}  // namespace tp::qt
