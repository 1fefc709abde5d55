// CSourceStream: an output pin of a source filter that pushes samples from
// its own worker thread.
//
// While the filter is paused or running, the worker loops: get an empty
// buffer, let the derived class fill it (FillBuffer), deliver it. The
// control side drives the worker through the command channel of CAMThread:
// Active (filter Pause from Stopped) sends INIT and PAUSE, Inactive (filter
// Stop) sends STOP and EXIT and waits for the thread to end; a derived class
// restarts the loop after a seek with STOP then RUN.
//
// Media types: unless replaced, the pin offers and accepts exactly one type,
// the one that the single-type GetMediaType builds.
//
// Ownership: the pin adds itself to its CSource at construction and removes
// itself at destruction; the filter deletes it. The thread must have been
// told to leave (Inactive) before the pin is destroyed. The filter pointer is
// not counted.
//
// Threads: FillBuffer, OnThreadCreate, OnThreadStartPlay and OnThreadDestroy
// run on the worker and must never take the filter lock: Active and
// Inactive hold it while they wait for the worker's replies.
#pragma once

#include "framework/CAMThread.h"
#include "framework/CBaseOutputPin.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  // Adds the pin to pms; *phr (when given) receives AddPin's result.
  CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName);
  ~CSourceStream() override;

  enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

  // Commands to the worker; each waits for the reply. E_FAIL without a
  // thread.
  HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
  HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
  HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
  HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
  HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }
  using CBasePin::Run;

  // Pin activation (filter lock held). Active: S_FALSE when the filter is
  // already active, S_OK for an unconnected pin (no thread); otherwise
  // commits the allocator and starts the worker streaming. A failure undoes
  // what was done (allocator decommitted, thread ended and closed), so a
  // later Active can try again. Inactive: decommits the allocator, then
  // stops the worker and waits for it to end.
  HRESULT Active() override;
  HRESULT Inactive() override;

  // Single-type rules (filter lock taken).
  HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
  HRESULT CheckMediaType(const CMediaType *pMediaType) override;

  CSource *SourceFilter() const { return m_pFilter; }

 protected:
  // createEvent replaces the creation of the command channel's events
  // (tests use it to make creation fail).
  CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName, CAMEvent::Creator createEvent);

  // Worker side ---------------------------------------------------------
  DWORD ThreadProc() override;
  // Fills one sample: S_OK to deliver it, S_FALSE for end of stream, an
  // error to end the stream and report EC_ERRORABORT.
  virtual HRESULT FillBuffer(IMediaSample *pSample) = 0;
  virtual HRESULT OnThreadCreate() { return S_OK; }
  virtual HRESULT OnThreadDestroy() { return S_OK; }
  virtual HRESULT OnThreadStartPlay() { return S_OK; }
  // S_OK after end of stream or a downstream refusal, S_FALSE when stopped
  // by CMD_STOP (left pending for ThreadProc to answer), or FillBuffer's
  // error.
  virtual HRESULT DoBufferProcessingLoop();
  // The single type this pin offers; E_UNEXPECTED unless replaced.
  virtual HRESULT GetMediaType(CMediaType *pMediaType) { return E_UNEXPECTED; }

  Command GetRequest() { return static_cast<Command>(CAMThread::GetRequest()); }
  bool CheckRequest(Command *pCom) {
    DWORD com = 0;
    if (!CAMThread::CheckRequest(&com)) return false;
    if (pCom) *pCom = static_cast<Command>(com);
    return true;
  }

  CSource *m_pFilter;  // the owning filter; not counted

 private:
  // Undoes a partly done activation: ends the thread if one exists, then
  // decommits the allocator.
  void AbandonActivation();
};
