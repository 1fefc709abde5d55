// Support for the renderer base (Renderer.h): a critical section and its
// scoped holder, deep copies of media type records, and the enumerators of
// a one-pin filter that proposes no types. Header-only, DirectShow's
// interfaces alone.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include <atomic>
#include <cstring>
#include <new>

namespace tp::sink {

// ---- locks ------------------------------------------------------------------

// A critical section (the toolchain's std::mutex is not there on every
// Windows toolchain), and its scoped holder.
class CritSec {
 public:
  CritSec() { InitializeCriticalSection(&m_cs); }
  ~CritSec() { DeleteCriticalSection(&m_cs); }
  CritSec(const CritSec &) = delete;
  CritSec &operator=(const CritSec &) = delete;
  void Lock() { EnterCriticalSection(&m_cs); }
  void Unlock() { LeaveCriticalSection(&m_cs); }

 private:
  CRITICAL_SECTION m_cs;
};

class Guard {
 public:
  explicit Guard(CritSec &cs) : m_cs(cs) { m_cs.Lock(); }
  ~Guard() { m_cs.Unlock(); }
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;

 private:
  CritSec &m_cs;
};

// ---- media type records ----------------------------------------------------

// Frees the format block and the IUnknown of mt (not mt itself).
inline void FreeTypeFields(AM_MEDIA_TYPE &mt) {
  if (mt.cbFormat && mt.pbFormat) CoTaskMemFree(mt.pbFormat);
  mt.cbFormat = 0;
  mt.pbFormat = nullptr;
  if (mt.pUnk) mt.pUnk->Release();
  mt.pUnk = nullptr;
}

// Deep copy into dst (whose fields are overwritten, not freed).
inline HRESULT CopyTypeFields(AM_MEDIA_TYPE &dst, const AM_MEDIA_TYPE &src) {
  dst = src;
  dst.pbFormat = nullptr;
  if (src.cbFormat) {
    dst.pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(src.cbFormat));
    if (!dst.pbFormat) {
      dst.cbFormat = 0;
      dst.pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(dst.pbFormat, src.pbFormat, src.cbFormat);
  }
  if (dst.pUnk) dst.pUnk->AddRef();
  return S_OK;
}

// Frees a record handed out by IMediaSample::GetMediaType or an enumerator.
inline void DeleteTypeRecord(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return;
  FreeTypeFields(*pmt);
  CoTaskMemFree(pmt);
}

// ---- enumerators ------------------------------------------------------------------

// Enumerates one pin (or none after Skip).
class SinglePinEnum final : public IEnumPins {
 public:
  SinglePinEnum(IPin *pin, ULONG pos) : m_pin(pin), m_pos(pos) { m_pin->AddRef(); }
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumPins)) {
      *ppv = static_cast<IEnumPins *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = --m_cRef;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG c, IPin **pp, ULONG *fetched) override {
    if (!pp) return E_POINTER;
    if (c != 1 && !fetched) return E_INVALIDARG;
    ULONG got = 0;
    if (c > 0 && m_pos == 0) {
      pp[0] = m_pin;
      m_pin->AddRef();
      got = 1;
      m_pos = 1;
    }
    if (fetched) *fetched = got;
    return got == c ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG c) override {
    if (c == 0) return S_OK;
    const bool ok = m_pos == 0 && c == 1;
    m_pos = 1;
    return ok ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumPins **pp) override {
    if (!pp) return E_POINTER;
    *pp = new (std::nothrow) SinglePinEnum(m_pin, m_pos);
    if (!*pp) return E_OUTOFMEMORY;
    (*pp)->AddRef();
    return S_OK;
  }

 private:
  ~SinglePinEnum() { m_pin->Release(); }
  std::atomic<LONG> m_cRef{0};
  IPin *m_pin;  // counted
  ULONG m_pos;
};

class EmptyTypeEnum final : public IEnumMediaTypes {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumMediaTypes)) {
      *ppv = static_cast<IEnumMediaTypes *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = --m_cRef;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG c, AM_MEDIA_TYPE **pp, ULONG *fetched) override {
    if (!pp) return E_POINTER;
    if (fetched) *fetched = 0;
    return c == 0 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG c) override { return c == 0 ? S_OK : S_FALSE; }
  STDMETHODIMP Reset() override { return S_OK; }
  STDMETHODIMP Clone(IEnumMediaTypes **pp) override {
    if (!pp) return E_POINTER;
    *pp = new (std::nothrow) EmptyTypeEnum();
    if (!*pp) return E_OUTOFMEMORY;
    (*pp)->AddRef();
    return S_OK;
  }

 private:
  ~EmptyTypeEnum() = default;
  std::atomic<LONG> m_cRef{0};
};

}  // namespace tp::sink
