// CMediaSampleGrabber: hands every sample the tracks produce to the host's
// callback.
//
// Two faces: IQuillSampleGrabber, the host's (include/tidepool/Tidepool.h),
// where the host sets its callback; IMediaSampleGrabber, the tracks', through
// which each video frame and audio buffer arrives as a sample record.
//
// Ownership: the filter creates the grabber when the host first asks for
// IQuillSampleGrabber and deletes it directly when the filter goes. The host's
// pointer is not counted: its AddRef and Release do nothing and return 1 (the
// object is alive as long as the filter is). The record passed to the
// callback is the producing track's and lives only for the call.
//
// Threads: SetCallback runs on the host's thread; OnSample on the pins'
// worker threads, video and audio at the same time. The callback and its two
// values are read and replaced together under m_lock, and the callback is
// called without it, so a call already under way may still reach the
// callback that SetCallback has just replaced.
#pragma once

#include <windows.h>

#include "engine/IMediaSampleGrabber.h"
#include "framework/CUnknown.h"
#include "framework/Sync.h"
#include "tidepool/Tidepool.h"

class CMediaSampleGrabber : public CUnknown, public IQuillSampleGrabber, public IMediaSampleGrabber {
 public:
  // phr is not touched: construction cannot fail. Installs the record copy
  // (AVSampleData::CopyTo) for the whole module.
  explicit CMediaSampleGrabber(HRESULT *phr);
  ~CMediaSampleGrabber() override;

  // IUnknown of the IQuillSampleGrabber face
  // IID_IUnknown and IID_IQuillSampleGrabber give this face (uncounted);
  // anything else clears *ppv and gives E_NOINTERFACE; null ppv, E_POINTER.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IQuillSampleGrabber
  STDMETHODIMP GrabberOption1(LONG value) override;
  STDMETHODIMP GrabberOption2(LONG value) override;
  STDMETHODIMP SetCallback(QuillSampleCallback callback, LONG_PTR user1, LONG_PTR user2) override;
  STDMETHODIMP GrabberConfigure(LONG a, LONG b, LONG c, LONG d, LONG e) override;

  // IMediaSampleGrabber
  // Calls the callback, if any, with (isAudio, record, formatChanged, user
  // value 1, user value 2); always 0.
  LONG OnSample(LONG isAudio, SampleData *record, LONG formatChanged) override;

 private:
  // Guards the three values below. A leaf: nothing else is taken while it
  // is held, and it is never held across the callback.
  CCritSec m_lock;
  QuillSampleCallback m_callback = nullptr;
  LONG_PTR m_user1 = 0;
  LONG_PTR m_user2 = 0;
};
