// SeekingPassThru: IMediaSeeking for a filter that has one input pin and
// no seeking of its own (a renderer or a sink). Every call goes to the
// IMediaSeeking of the output pin that the input pin is connected to, so
// the graph's seeking reaches the stream that produces the data.
//
// Header-only, and written against the DirectShow interfaces alone, so that
// the platform's own renderer and the host's sinks (which also build against
// Windows' headers) share it.
//
// Ownership: embedded in its filter; IUnknown calls go to the owner given at
// construction. The input pin is not counted (the filter owns it). The peer
// is looked up on every call and released before the call returns.
//
// Threads: any; the input pin's ConnectedTo is the only shared state read.
#pragma once

#include <strmif.h>
#include <vfwmsgs.h>

namespace tp::sink {

class SeekingPassThru final : public IMediaSeeking {
 public:
  SeekingPassThru(IUnknown *owner, IPin *inputPin) : m_owner(owner), m_pin(inputPin) {}
  SeekingPassThru(const SeekingPassThru &) = delete;
  SeekingPassThru &operator=(const SeekingPassThru &) = delete;

  // IUnknown: the owner's.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return m_owner->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_owner->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_owner->Release(); }

  // IMediaSeeking: the upstream pin's answer, or VFW_E_NOT_CONNECTED while
  // the input pin is unconnected, or E_NOTIMPL when the peer cannot seek.
  STDMETHODIMP GetCapabilities(DWORD *p) override {
    return Call([&](IMediaSeeking *s) { return s->GetCapabilities(p); });
  }
  STDMETHODIMP CheckCapabilities(DWORD *p) override {
    return Call([&](IMediaSeeking *s) { return s->CheckCapabilities(p); });
  }
  STDMETHODIMP IsFormatSupported(const GUID *f) override {
    return Call([&](IMediaSeeking *s) { return s->IsFormatSupported(f); });
  }
  STDMETHODIMP QueryPreferredFormat(GUID *f) override {
    return Call([&](IMediaSeeking *s) { return s->QueryPreferredFormat(f); });
  }
  STDMETHODIMP GetTimeFormat(GUID *f) override {
    return Call([&](IMediaSeeking *s) { return s->GetTimeFormat(f); });
  }
  STDMETHODIMP IsUsingTimeFormat(const GUID *f) override {
    return Call([&](IMediaSeeking *s) { return s->IsUsingTimeFormat(f); });
  }
  STDMETHODIMP SetTimeFormat(const GUID *f) override {
    return Call([&](IMediaSeeking *s) { return s->SetTimeFormat(f); });
  }
  STDMETHODIMP GetDuration(LONGLONG *d) override {
    return Call([&](IMediaSeeking *s) { return s->GetDuration(d); });
  }
  STDMETHODIMP GetStopPosition(LONGLONG *p) override {
    return Call([&](IMediaSeeking *s) { return s->GetStopPosition(p); });
  }
  STDMETHODIMP GetCurrentPosition(LONGLONG *p) override {
    return Call([&](IMediaSeeking *s) { return s->GetCurrentPosition(p); });
  }
  STDMETHODIMP ConvertTimeFormat(LONGLONG *t, const GUID *tf, LONGLONG src, const GUID *sf) override {
    return Call([&](IMediaSeeking *s) { return s->ConvertTimeFormat(t, tf, src, sf); });
  }
  STDMETHODIMP SetPositions(LONGLONG *c, DWORD cf, LONGLONG *st, DWORD sf) override {
    return Call([&](IMediaSeeking *s) { return s->SetPositions(c, cf, st, sf); });
  }
  STDMETHODIMP GetPositions(LONGLONG *c, LONGLONG *st) override {
    return Call([&](IMediaSeeking *s) { return s->GetPositions(c, st); });
  }
  STDMETHODIMP GetAvailable(LONGLONG *e, LONGLONG *l) override {
    return Call([&](IMediaSeeking *s) { return s->GetAvailable(e, l); });
  }
  STDMETHODIMP SetRate(double r) override {
    return Call([&](IMediaSeeking *s) { return s->SetRate(r); });
  }
  STDMETHODIMP GetRate(double *r) override {
    return Call([&](IMediaSeeking *s) { return s->GetRate(r); });
  }
  STDMETHODIMP GetPreroll(LONGLONG *p) override {
    return Call([&](IMediaSeeking *s) { return s->GetPreroll(p); });
  }

 private:
  template <class F>
  HRESULT Call(F f) {
    IPin *peer = nullptr;
    if (FAILED(m_pin->ConnectedTo(&peer)) || !peer) return VFW_E_NOT_CONNECTED;
    IMediaSeeking *seeking = nullptr;
    HRESULT hr = peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking));
    peer->Release();
    if (FAILED(hr) || !seeking) return E_NOTIMPL;
    hr = f(seeking);
    seeking->Release();
    return hr;
  }

  IUnknown *const m_owner;  // not counted: it embeds this object
  IPin *const m_pin;        // not counted: the owner's own pin
};

}  // namespace tp::sink
