#include "framework/CSourceStream.h"

#include <evcode.h>

#include "framework/CSource.h"

CSourceStream::CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName)
    : CSourceStream(pObjectName, phr, pms, pName, nullptr) {}

CSourceStream::CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName,
                             CAMEvent::Creator createEvent)
    : CAMThread(phr, createEvent), CBaseOutputPin(pObjectName, pms, pms->pStateLock(), phr, pName), m_pFilter(pms) {
  HRESULT hr = m_pFilter->AddPin(this);
  if (phr) *phr = hr;
}

CSourceStream::~CSourceStream() { m_pFilter->RemovePin(this); }

// Activation -------------------------------------------------------------------------

HRESULT CSourceStream::Active() {
  CAutoLock lock(m_pLock);
  if (m_pFilter->IsActive()) return S_FALSE;
  // An unconnected pin of a source filter is allowed; it simply gets no
  // thread.
  if (!IsConnected()) return S_OK;

  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;

  if (!Create()) {
    // No thread: either the channel's events are missing or the system
    // refused one.
    CBaseOutputPin::Inactive();
    return E_FAIL;
  }

  hr = Init();
  if (FAILED(hr)) {
    // The worker ended by itself after answering; close it so that a later
    // activation can start a new one.
    AbandonActivation();
    return hr;
  }

  hr = Pause();
  if (FAILED(hr)) AbandonActivation();
  return hr;
}

void CSourceStream::AbandonActivation() {
  if (ThreadExists()) {
    // Both calls return at once with E_FAIL if the worker has already ended.
    Stop();
    Exit();
    Close();
  }
  CBaseOutputPin::Inactive();
}

HRESULT CSourceStream::Inactive() {
  CAutoLock lock(m_pLock);
  if (!IsConnected()) return S_OK;

  // Decommit first: a worker waiting for a free buffer wakes up with a
  // failure and then sees the STOP below.
  HRESULT hr = CBaseOutputPin::Inactive();
  if (FAILED(hr)) return hr;

  if (ThreadExists()) {
    hr = Stop();
    if (SUCCEEDED(hr)) hr = Exit();
    // A worker that has left already (without being told to) must still
    // be closed, or no later activation could start a new one.
    if (SUCCEEDED(hr) || ThreadHasEnded()) Close();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Media types ----------------------------------------------------------------------

HRESULT CSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType) {
  CAutoLock lock(m_pLock);
  if (iPosition < 0) return E_INVALIDARG;
  if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
  return GetMediaType(pMediaType);
}

HRESULT CSourceStream::CheckMediaType(const CMediaType *pMediaType) {
  if (!pMediaType) return E_POINTER;
  CAutoLock lock(m_pLock);
  CMediaType mt;
  if (FAILED(GetMediaType(&mt))) return E_FAIL;
  return mt == *pMediaType ? S_OK : E_FAIL;
}

// Worker ----------------------------------------------------------------------------

DWORD CSourceStream::ThreadProc() {
  // Nothing but INIT is served before the stream is initialised.
  Command com;
  do {
    com = GetRequest();
    if (com != CMD_INIT) Reply(static_cast<DWORD>(E_UNEXPECTED));
  } while (com != CMD_INIT);

  HRESULT hr = OnThreadCreate();
  if (FAILED(hr)) {
    OnThreadDestroy();
    Reply(static_cast<DWORD>(hr));
    return 1;
  }
  Reply(S_OK);

  Command cmd;
  do {
    cmd = GetRequest();
    switch (cmd) {
      case CMD_EXIT:
        Reply(S_OK);
        break;
      case CMD_RUN:
      case CMD_PAUSE:
        Reply(S_OK);
        DoBufferProcessingLoop();
        break;
      case CMD_STOP:
        Reply(S_OK);
        break;
      default:
        Reply(static_cast<DWORD>(E_NOTIMPL));
        break;
    }
  } while (cmd != CMD_EXIT);

  hr = OnThreadDestroy();
  return FAILED(hr) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();

  Command com;
  do {
    while (!CheckRequest(&com)) {
      IMediaSample *pSample = nullptr;
      HRESULT hr = GetDeliveryBuffer(&pSample, nullptr, nullptr, 0);
      if (FAILED(hr) || !pSample) {
        // The allocator is decommitted while a stop is on its way; poll for
        // the command at a gentle pace.
        Sleep(1);
        continue;
      }

      hr = FillBuffer(pSample);
      if (hr == S_OK) {
        hr = Deliver(pSample);
        pSample->Release();
        // Downstream asked us to stop (S_FALSE) or failed: no end of stream.
        if (hr != S_OK) return S_OK;
      } else if (hr == S_FALSE) {
        pSample->Release();
        DeliverEndOfStream();
        return S_OK;
      } else {
        pSample->Release();
        DeliverEndOfStream();
        m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
      }
    }

    if (com == CMD_RUN || com == CMD_PAUSE) {
      Reply(S_OK);
    } else if (com != CMD_STOP) {
      Reply(static_cast<DWORD>(E_UNEXPECTED));
    }
  } while (com != CMD_STOP);
  // The STOP stays pending; ThreadProc answers it.
  return S_FALSE;
}
