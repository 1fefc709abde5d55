// Test doubles for the filter base tests: a pin that records the state calls
// the filter makes and answers with scripted results; a filter over a list of
// such pins; a graph whose event sink records events; a clock with a set
// time; an IUnknown that counts its references.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include "framework/CBaseFilter.h"
#include "framework/CBasePin.h"
#include "peers/TestGraph.h"

namespace tp::test {

// {3F0D2C11-5A7B-4E21-8C6D-1B2A3C4D5E6F}
inline constexpr GUID CLSID_RecordingFilter = {
    0x3f0d2c11, 0x5a7b, 0x4e21, {0x8c, 0x6d, 0x1b, 0x2a, 0x3c, 0x4d, 0x5e, 0x6f}};

class CountingUnknown : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  std::atomic<LONG> refs{0};
};

class RecordingPin : public CBasePin {
 public:
  RecordingPin(CBaseFilter *filter, CCritSec *lock, const char *tag, std::vector<std::string> *log)
      : CBasePin(TEXT("RecordingPin"), filter, lock, nullptr, TEXT("pin"), PINDIR_OUTPUT), m_tag(tag), m_log(log) {}

  HRESULT activeResult = S_OK;
  HRESULT inactiveResult = S_OK;
  HRESULT runResult = S_OK;
  std::vector<CMediaType> offered;  // the types GetMediaType hands out

  // Looks connected to peer (counted; the pin's destructor drops it).
  void PretendConnected(IPin *peer) {
    peer->AddRef();
    m_Connected = peer;
  }
  void BumpTypeVersion() { ++m_TypeVersion; }

  HRESULT Active() override {
    m_log->push_back(m_tag + ".Active");
    return activeResult;
  }
  HRESULT Inactive() override {
    m_log->push_back(m_tag + ".Inactive");
    return inactiveResult;
  }
  HRESULT Run(REFERENCE_TIME) override {
    m_log->push_back(m_tag + ".Run");
    return runResult;
  }
  HRESULT CheckMediaType(const CMediaType *) override { return E_FAIL; }
  HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override {
    if (iPosition < 0) return E_INVALIDARG;
    if (static_cast<size_t>(iPosition) >= offered.size()) return VFW_S_NO_MORE_ITEMS;
    return pMediaType->Set(offered[static_cast<size_t>(iPosition)]);
  }

 private:
  std::string m_tag;
  std::vector<std::string> *m_log;
};

// A filter whose pins are RecordingPins, owned by the filter. Reference
// counted; starts at 0.
class RecordingFilter : public CBaseFilter {
 public:
  RecordingFilter() : CBaseFilter(TEXT("RecordingFilter"), nullptr, &m_lock, CLSID_RecordingFilter) {}
  ~RecordingFilter() override {
    for (RecordingPin *p : pins) delete p;
  }
  RecordingPin *AddRecordingPin(const char *tag) {
    pins.push_back(new RecordingPin(this, &m_lock, tag, &log));
    return pins.back();
  }
  int GetPinCount() override { return static_cast<int>(pins.size()) + extraCount; }
  CBasePin *GetPin(int n) override {
    return n >= 0 && static_cast<size_t>(n) < pins.size() ? pins[static_cast<size_t>(n)] : nullptr;
  }
  void BumpPinVersion() { ++m_PinVersion; }

  std::vector<RecordingPin *> pins;
  std::vector<std::string> log;
  int extraCount = 0;  // claims more pins than GetPin can give

 private:
  CCritSec m_lock;
};

// The far side of a connection: only counted, never called.
class DummyPeer : public CountingUnknown {};

class FixedClock : public IReferenceClock {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IReferenceClock)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetTime(REFERENCE_TIME *pTime) override {
    if (FAILED(result)) return result;
    *pTime = now;
    return S_OK;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR *) override { return E_NOTIMPL; }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR *) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
  std::atomic<LONG> refs{0};
  REFERENCE_TIME now = 0;
  HRESULT result = S_OK;
};

}  // namespace tp::test
