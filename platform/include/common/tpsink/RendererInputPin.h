// RendererInputPin: the input pin of the renderer base (Renderer.h, which
// defines its methods): IPin, IMemInputPin (the standard memory allocator
// unless upstream brings one) and a quality sink that takes nothing.
// Reference counts and every lock belong to the filter.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>

#include "tpsink/RendererSupport.h"

namespace tp::sink {

class Renderer;

// ---- the input pin -----------------------------------------------------------

class RendererInputPin final : public IPin, public IMemInputPin, public IQualityControl {
 public:
  RendererInputPin(Renderer *filter, LPCWSTR name)
      : m_filter(filter), m_name(reinterpret_cast<const char16_t *>(name)) {}
  ~RendererInputPin() {
    if (m_peer) m_peer->Release();
    if (m_allocator) m_allocator->Release();
    FreeTypeFields(m_mt);
  }

  // IUnknown: counts go to the filter.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IPin
  // An input pin does not start connections: E_UNEXPECTED.
  STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override { return E_UNEXPECTED; }
  STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin **ppPin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION *pPinDir) override {
    if (!pPinDir) return E_POINTER;
    *pPinDir = PINDIR_INPUT;
    return S_OK;
  }
  STDMETHODIMP QueryId(LPWSTR *Id) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override;
  // The pin proposes no types of its own: an empty enumerator.
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override;
  STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  // IMemInputPin
  // The standard memory allocator, made on first request.
  STDMETHODIMP GetAllocator(IMemAllocator **ppAllocator) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL bReadOnly) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
  STDMETHODIMP Receive(IMediaSample *pSample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample **pSamples, LONG nSamples, LONG *nSamplesProcessed) override;
  STDMETHODIMP ReceiveCanBlock() override { return S_OK; }

  // IQualityControl: nothing downstream of a renderer sends messages.
  STDMETHODIMP Notify(IBaseFilter *, Quality) override { return E_NOTIMPL; }
  STDMETHODIMP SetSink(IQualityControl *) override { return S_OK; }

  const std::u16string &Name() const { return m_name; }

 private:
  friend class Renderer;
  Renderer *const m_filter;  // not counted: the filter owns the pin
  const std::u16string m_name;
  // Guarded by the filter's m_stateLock.
  IPin *m_peer = nullptr;  // counted while connected
  AM_MEDIA_TYPE m_mt{};
  IMemAllocator *m_allocator = nullptr;  // counted
};

}  // namespace tp::sink
