// CBasePin: identity, IPin and IQualityControl of a pin, with connection and
// media type agreement.
//
// Connect offers the peer the types of the peer's own enumerator first, then
// this pin's, and attempts each acceptable one until the peer accepts; the
// derived classes decide what a pin accepts (CheckMediaType), what it offers
// (GetMediaType by position) and what a connection needs (CheckConnect,
// CompleteConnect, BreakConnect).
//
// Ownership: the pin belongs to its filter and has no reference count of its
// own: AddRef and Release go to the filter, which deletes its pins. The pin
// counts the connected peer while connected. The lock given at construction
// is the filter's lock and is not owned. The filter pointer is not counted.
//
// Threads: connection calls come from control threads and run under the
// filter lock; streaming calls of derived classes run on a worker thread
// without it.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include "framework/CMediaType.h"
#include "framework/CUnknown.h"
#include "framework/Sync.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  // pName is copied (may be null). pFilter and pLock are not owned and must
  // outlive the pin.
  CBasePin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName, PIN_DIRECTION dir);
  ~CBasePin() override;

  // IUnknown: forwarded to the owner (the pin's own non-delegating unknown).
  DECLARE_IUNKNOWN

  // INonDelegatingUnknown: IPin and IQualityControl; counts go to the filter.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // IPin
  STDMETHODIMP Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin **ppPin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION *pPinDir) override;
  // The decimal position of the pin in its filter plus one ("1", "2", ...),
  // in task memory that the caller frees.
  STDMETHODIMP QueryId(LPWSTR *Id) override;
  // Any failure of CheckMediaType is reported as S_FALSE.
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override;
  STDMETHODIMP QueryInternalConnections(IPin **apPin, ULONG *nPin) override;
  // Input-side calls: E_UNEXPECTED on this pin.
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter *pSelf, Quality q) override;
  STDMETHODIMP SetSink(IQualityControl *piqc) override;

  // Framework operations -------------------------------------------------

  virtual LONG GetMediaTypeVersion() { return m_TypeVersion; }
  // Called by the filter's state changes, under the filter lock.
  virtual HRESULT Active() { return S_OK; }
  virtual HRESULT Inactive() {
    m_bRunTimeError = FALSE;
    return S_OK;
  }
  virtual HRESULT Run(REFERENCE_TIME tStart) { return S_OK; }

  // S_OK when the pin accepts the type; anything else refuses it.
  virtual HRESULT CheckMediaType(const CMediaType *pmt) = 0;
  // Records the connection's type (deep copy).
  virtual HRESULT SetMediaType(const CMediaType *pmt);
  // Connection steps: CheckConnect before a type is tried with the peer,
  // CompleteConnect once the peer has accepted, BreakConnect when a
  // connection fails or ends.
  virtual HRESULT CheckConnect(IPin *pPin);
  virtual HRESULT BreakConnect() { return S_OK; }
  virtual HRESULT CompleteConnect(IPin *pReceivePin) { return S_OK; }
  // The type at iPosition: S_OK, VFW_S_NO_MORE_ITEMS past the end, or an
  // error (E_INVALIDARG for a negative position).
  virtual HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) = 0;

  bool IsConnected() const { return m_Connected != nullptr; }
  IPin *GetConnected() const { return m_Connected; }
  // Reads the filter's state without the lock.
  bool IsStopped() const;
  PIN_DIRECTION GetDirection() const { return m_dir; }
  LPCWSTR Name() const { return m_pName; }
  const CMediaType &CurrentMediaType() const { return m_mt; }
  CBaseFilter *Filter() const { return m_pFilter; }

  // Upper bound on the types taken from one enumerator while connecting, so
  // that an enumerator that never ends cannot hold the connection for ever.
  static constexpr int kMaxTypesPerEnumerator = 4096;

 protected:
  // Tries pmt (may be partial or null) with the peer: see the .cpp.
  HRESULT AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt);
  HRESULT TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum);
  HRESULT AttemptConnection(IPin *pReceivePin, const CMediaType *pmt);

  WCHAR *m_pName = nullptr;     // owned copy, null when none given
  IPin *m_Connected = nullptr;  // counted while connected
  PIN_DIRECTION m_dir;
  // The filter lock; not owned. Lock order: taken before a stream's own
  // lock (the seeking lock) and before any peer's locks; never taken on the
  // worker thread.
  CCritSec *m_pLock;
  BOOL m_bRunTimeError = FALSE;
  BOOL m_bCanReconnectWhenActive = FALSE;
  BOOL m_bTryMyTypesFirst = FALSE;
  CBaseFilter *m_pFilter;               // not counted
  IQualityControl *m_pQSink = nullptr;  // not counted
  LONG m_TypeVersion = 1;
  CMediaType m_mt;
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
  double m_dRate = 1.0;
};
