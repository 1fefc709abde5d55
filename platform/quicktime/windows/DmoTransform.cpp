#include "DmoTransform.h"

#include <atomic>
#include <cstring>
#include <new>

namespace tp::qt {

namespace {

// A heap buffer the object may hold on to (reference counted).
class MemoryBuffer final : public IMediaBuffer {
 public:
  static MemoryBuffer *Create(size_t capacity) {
    MemoryBuffer *b = new (std::nothrow) MemoryBuffer();
    if (!b) return nullptr;
    b->bytes_ = new (std::nothrow) uint8_t[capacity ? capacity : 1];
    if (!b->bytes_) {
      delete b;
      return nullptr;
    }
    b->capacity_ = DWORD(capacity);
    return b;
  }
  uint8_t *bytes() { return bytes_; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMediaBuffer)) {
      *out = static_cast<IMediaBuffer *>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  // IMediaBuffer
  HRESULT STDMETHODCALLTYPE SetLength(DWORD length) override {
    if (length > capacity_) return E_INVALIDARG;
    length_ = length;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD *max) override {
    if (!max) return E_POINTER;
    *max = capacity_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferAndLength(BYTE **buffer, DWORD *length) override {
    if (buffer) *buffer = bytes_;
    if (length) *length = length_;
    return S_OK;
  }

 private:
  MemoryBuffer() = default;
  ~MemoryBuffer() { delete[] bytes_; }
  std::atomic<ULONG> refs_{1};
  uint8_t *bytes_ = nullptr;
  DWORD capacity_ = 0, length_ = 0;
};

// Room for any one output: a second of 8-channel 32-bit sound at 48 kHz
// is far more than one compressed frame decodes to.
constexpr DWORD kMinOutputBytes = 64 * 1024;

}  // namespace

HRESULT DmoTransform::Create(const CLSID &clsid, const DMO_MEDIA_TYPE &input, const DMO_MEDIA_TYPE &output,
                             DmoTransform *out) {
  HRESULT hr = MfStartup();
  if (FAILED(hr)) return hr;
  ComRef<IMediaObject> dmo;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject, reinterpret_cast<void **>(dmo.put()));
  if (FAILED(hr)) return hr;
  if (FAILED(hr = dmo->SetInputType(0, &input, 0))) return hr;
  if (FAILED(hr = dmo->SetOutputType(0, &output, 0))) return hr;
  DWORD size = 0, alignment = 0;
  if (FAILED(dmo->GetOutputSizeInfo(0, &size, &alignment))) size = 0;
  out->outputSize_ = size > kMinOutputBytes ? size : kMinOutputBytes;
  out->dmo_ = std::move(dmo);
  return S_OK;
}

HRESULT DmoTransform::Feed(std::span<const uint8_t> data, std::vector<uint8_t> *out) {
  if (data.empty()) return S_OK;
  if (data.size() > MAXDWORD) return E_INVALIDARG;
  MemoryBuffer *buffer = MemoryBuffer::Create(data.size());
  if (!buffer) return E_OUTOFMEMORY;
  std::memcpy(buffer->bytes(), data.data(), data.size());
  buffer->SetLength(DWORD(data.size()));
  HRESULT hr = dmo_->ProcessInput(0, buffer, 0, 0, 0);
  if (hr == HRESULT(DMO_E_NOTACCEPTING)) {
    hr = Pull(out);
    if (SUCCEEDED(hr)) hr = dmo_->ProcessInput(0, buffer, 0, 0, 0);
  }
  buffer->Release();
  if (FAILED(hr)) return hr;
  return Pull(out);
}

HRESULT DmoTransform::Pull(std::vector<uint8_t> *out) {
  MemoryBuffer *buffer = MemoryBuffer::Create(outputSize_);
  if (!buffer) return E_OUTOFMEMORY;
  HRESULT hr = S_OK;
  // Bounded: an object that keeps saying it has more without giving any
  // is stopped.
  for (int round = 0; round < 4096; ++round) {
    buffer->SetLength(0);
    DMO_OUTPUT_DATA_BUFFER db{};
    db.pBuffer = buffer;
    DWORD status = 0;
    hr = dmo_->ProcessOutput(0, 1, &db, &status);
    if (FAILED(hr) || hr == S_FALSE) break;
    BYTE *p = nullptr;
    DWORD length = 0;
    buffer->GetBufferAndLength(&p, &length);
    out->insert(out->end(), p, p + length);
    if (!(db.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE) && length == 0) break;
  }
  buffer->Release();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT DmoTransform::Drain(std::vector<uint8_t> *out) {
  HRESULT hr = dmo_->Discontinuity(0);
  if (FAILED(hr)) return hr;
  return Pull(out);
}

HRESULT DmoTransform::Flush() { return dmo_->Flush(); }

}  // namespace tp::qt
