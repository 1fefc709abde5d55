// CBaseOutputPin: an output pin that delivers samples to the peer's
// IMemInputPin, with allocator negotiation.
//
// When a connection completes, DecideAllocator picks the allocator: the
// peer's own if it offers one that takes the buffer sizes that the derived
// class asks for (DecideBufferSize), otherwise the standard memory
// allocator. Active commits it and Inactive decommits it; a decommitted
// allocator makes a worker blocked in GetDeliveryBuffer return at once.
//
// Ownership: the pin counts the allocator and the peer's IMemInputPin from
// the moment the connection is checked until BreakConnect. Streaming calls
// (GetDeliveryBuffer, Deliver, Deliver*) are made by the worker thread
// without the filter lock; they rely on the connection not changing while
// the filter is active, which Connect and Disconnect enforce.
#pragma once

#include "framework/CBasePin.h"

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName);
  ~CBaseOutputPin() override;

  // Connection steps.
  // Refuses a peer of the same direction (VFW_E_INVALID_DIRECTION) or one
  // without IMemInputPin.
  HRESULT CheckConnect(IPin *pPin) override;
  // Decides the allocator with the peer.
  HRESULT CompleteConnect(IPin *pReceivePin) override;
  // Decommits and releases the allocator, releases the peer's input pin. A
  // failed decommit is returned and nothing is released.
  HRESULT BreakConnect() override;

  // Allocator negotiation. *ppAlloc receives the chosen allocator, counted.
  virtual HRESULT DecideAllocator(IMemInputPin *pPin, IMemAllocator **ppAlloc);
  // Sets the buffer properties on pAlloc; pProp holds the peer's
  // requirements on entry. Must be supplied.
  virtual HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProp) = 0;
  // Creates the standard memory allocator.
  virtual HRESULT InitAllocator(IMemAllocator **ppAlloc);

  // Streaming calls (worker thread).
  // E_NOINTERFACE without an allocator; else the allocator's GetBuffer.
  virtual HRESULT GetDeliveryBuffer(IMediaSample **ppSample, REFERENCE_TIME *pStartTime, REFERENCE_TIME *pEndTime,
                                    DWORD dwFlags);
  // VFW_E_NOT_CONNECTED without a peer; else the peer's Receive result.
  virtual HRESULT Deliver(IMediaSample *pSample);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

  // Commit and decommit the allocator (VFW_E_NO_ALLOCATOR without one).
  HRESULT Active() override;
  HRESULT Inactive() override;

  IMemAllocator *Allocator() const { return m_pAllocator; }

 protected:
  IMemAllocator *m_pAllocator = nullptr;  // counted; from CompleteConnect to BreakConnect
  IMemInputPin *m_pInputPin = nullptr;    // counted; from CheckConnect to BreakConnect
};
