#include "filter/CBaseSource.h"

#include <vfwmsgs.h>

#include "trace/Trace.h"

CBaseSource::CBaseSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr)
    : CSource(pName, pUnk, clsid, phr) {
  CAutoLock lock(&m_cStateLock);
  if (phr) *phr = S_OK;
}

CBaseSource::~CBaseSource() { TraceW2(TEXT("CBaseSource::~CBaseSource()\n")); }

STDMETHODIMP CBaseSource::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IFileSourceFilter)) return GetInterface(static_cast<IFileSourceFilter *>(this), ppv);
  if (IsEqualIID(riid, IID_IAMFilterMiscFlags)) return GetInterface(static_cast<IAMFilterMiscFlags *>(this), ppv);
  return CSource::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseSource::Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *) {
  TraceW2(TEXT("CBaseSource::Load begin\n"));
  if (!pszFileName) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  if (GetPinCount() > 0) return VFW_E_ALREADY_CONNECTED;
  m_fileName = pszFileName;
  HRESULT hr = CreatePins();
  if (FAILED(hr)) return hr;
  TraceW2(TEXT("CBaseSource::Load end\n"));
  return S_OK;
}

STDMETHODIMP CBaseSource::GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *) {
  if (!ppszFileName) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  const size_t count = m_fileName.size() + 1;
  auto *copy = static_cast<LPOLESTR>(CoTaskMemAlloc(count * sizeof(WCHAR)));
  *ppszFileName = copy;
  if (!copy) return E_OUTOFMEMORY;
  for (size_t i = 0; i < count; ++i) copy[i] = m_fileName.c_str()[i];
  TraceW2(TEXT("CBaseSource::GetCurFile\n"));
  return S_OK;
}

STDMETHODIMP_(ULONG) CBaseSource::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }
