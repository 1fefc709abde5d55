#include "framework/CSource.h"

#include <new>

#include "framework/CSourceStream.h"
#include "trace/Trace.h"

CSource::CSource(LPCTSTR pName, LPUNKNOWN lpunk, REFCLSID clsid, HRESULT *phr)
    : CBaseFilter(pName, lpunk, &m_cStateLock, clsid, phr) {
  TraceA2("CSource::CSource() this(0x%p)\n", this);
}

CSource::~CSource() {
  TraceA2("CSource::~CSource() this(0x%p) pins(%d)\n", this, m_iPins);
  while (m_iPins > 0) {
    const int before = m_iPins;
    CSourceStream *pin = m_paStreams[m_iPins - 1];
    delete pin;
    // A pin's destructor removes it; make sure it is gone even if it did
    // not, so that this loop always ends.
    if (m_iPins == before) RemovePin(pin);
  }
}

int CSource::GetPinCount() {
  CAutoLock lock(&m_cStateLock);
  return m_iPins;
}

CBasePin *CSource::GetPin(int n) {
  CAutoLock lock(&m_cStateLock);
  if (n < 0 || n >= m_iPins) return nullptr;
  return m_paStreams[n];
}

HRESULT CSource::AddPin(CSourceStream *pStream) {
  if (!pStream) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  auto **grown = new (std::nothrow) CSourceStream *[static_cast<size_t>(m_iPins) + 1];
  if (!grown) {
    TraceA8("CSource::AddPin failed(0x%08x)\n", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  for (int i = 0; i < m_iPins; ++i) grown[i] = m_paStreams[i];
  grown[m_iPins] = pStream;
  delete[] m_paStreams;
  m_paStreams = grown;
  ++m_iPins;
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream *pStream) {
  for (int i = 0; i < m_iPins; ++i) {
    if (m_paStreams[i] != pStream) continue;
    for (int j = i + 1; j < m_iPins; ++j) m_paStreams[j - 1] = m_paStreams[j];
    if (--m_iPins == 0) {
      delete[] m_paStreams;
      m_paStreams = nullptr;
    }
    return S_OK;
  }
  return S_FALSE;
}
