#include "filter/CTidepool.h"

#include <new>

#include <tidepool/Tidepool.h>

#include "engine/CQTAVExtraction.h"
#include "filter/ResultCodes.h"
#include "trace/Trace.h"

CUnknown *WINAPI CTidepool::CreateInstance(LPUNKNOWN pUnk, HRESULT *phr) {
  auto *filter = new (std::nothrow) CTidepool(pUnk, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CTidepool::CTidepool(LPUNKNOWN pUnk, HRESULT *phr) : CMediaSource(nullptr, pUnk, CLSID_Tidepool, phr) {
  TraceW2(TEXT("CTidepool::CTidepool"));
  CAutoLock lock(&m_cStateLock);
  if (phr) *phr = S_OK;
  TraceW2(TEXT("CTidepool::CTidepool end"));
}

CTidepool::~CTidepool() = default;

HRESULT CTidepool::CreateExtraction() {
  delete m_session;
  m_session = new (std::nothrow) CQTAVExtraction(m_fileName.c_str());
  if (!m_session) return E_OUTOFMEMORY;
  const LONG status = m_session->GetStatus();
  if (status == 0) return S_OK;
  TraceW2(TEXT("QT decoder initialized failed(%d)"), static_cast<int>(status));
  KeepRefusedTracks();
  delete m_session;
  m_session = nullptr;
  return LoadResult(status, m_refused, m_refusedCount);
}
