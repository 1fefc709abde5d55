#include "filter/CMovieDescription.h"

#include <oleauto.h>
#include <vfwmsgs.h>

#include "engine/CQTMovieContents.h"

namespace {

std::basic_string<WCHAR> Widen(const std::string &text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::basic_string<WCHAR> wide(static_cast<size_t>(n), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

}  // namespace

void CMovieDescription::Set(const MovieContents *contents, IMediaSeeking *position) {
  m_title.clear();
  m_author.clear();
  m_copyright.clear();
  m_description.clear();
  m_markers.clear();
  m_position = position;
  if (!contents) return;
  m_title = Widen(contents->metadata.title);
  m_author = Widen(contents->metadata.artist);
  m_copyright = Widen(contents->metadata.copyright);
  m_description = Widen(contents->metadata.comment);
  for (const MovieChapter &c : contents->chapters) m_markers.push_back({c.start, Widen(c.title)});
}

HRESULT CMovieDescription::Give(const Text &text, BSTR *out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return VFW_E_NOT_FOUND;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// IDispatch ------------------------------------------------------------------------

STDMETHODIMP CMovieDescription::GetTypeInfoCount(UINT *pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}
STDMETHODIMP CMovieDescription::GetTypeInfo(UINT, LCID, ITypeInfo **ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CMovieDescription::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) {
  return E_NOTIMPL;
}

// IAMMediaContent ------------------------------------------------------------------

STDMETHODIMP CMovieDescription::get_AuthorName(BSTR *p) {
  CAutoLock lock(m_lock);
  return Give(m_author, p);
}
STDMETHODIMP CMovieDescription::get_Title(BSTR *p) {
  CAutoLock lock(m_lock);
  return Give(m_title, p);
}
STDMETHODIMP CMovieDescription::get_Description(BSTR *p) {
  CAutoLock lock(m_lock);
  return Give(m_description, p);
}
STDMETHODIMP CMovieDescription::get_Copyright(BSTR *p) {
  CAutoLock lock(m_lock);
  return Give(m_copyright, p);
}
STDMETHODIMP CMovieDescription::get_Rating(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_BaseURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_LogoURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_LogoIconURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_WatermarkURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_MoreInfoURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_MoreInfoBannerImage(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_MoreInfoBannerURL(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP CMovieDescription::get_MoreInfoText(BSTR *) { return E_NOTIMPL; }

// IAMExtendedSeeking ---------------------------------------------------------------

STDMETHODIMP CMovieDescription::get_ExSeekCapabilities(LONG *pExCapabilities) {
  if (!pExCapabilities) return E_POINTER;
  CAutoLock lock(m_lock);
  *pExCapabilities = m_position ? AM_EXSEEK_CANSEEK : 0;
  if (m_position && !m_markers.empty()) *pExCapabilities |= AM_EXSEEK_MARKERSEEK;
  return S_OK;
}

STDMETHODIMP CMovieDescription::get_MarkerCount(LONG *pMarkerCount) {
  if (!pMarkerCount) return E_POINTER;
  CAutoLock lock(m_lock);
  *pMarkerCount = static_cast<LONG>(m_markers.size());
  return S_OK;
}

STDMETHODIMP CMovieDescription::get_CurrentMarker(LONG *pCurrentMarker) {
  if (!pCurrentMarker) return E_POINTER;
  CAutoLock lock(m_lock);
  *pCurrentMarker = 0;
  LONGLONG now = 0;
  if (!m_position || FAILED(m_position->GetCurrentPosition(&now))) return S_OK;
  for (size_t i = 0; i < m_markers.size() && m_markers[i].start <= now; ++i) *pCurrentMarker = static_cast<LONG>(i + 1);
  return S_OK;
}

STDMETHODIMP CMovieDescription::GetMarkerTime(LONG MarkerNum, double *pMarkerTime) {
  if (!pMarkerTime) return E_POINTER;
  CAutoLock lock(m_lock);
  if (MarkerNum < 1 || static_cast<size_t>(MarkerNum) > m_markers.size()) return E_INVALIDARG;
  *pMarkerTime = static_cast<double>(m_markers[static_cast<size_t>(MarkerNum) - 1].start) / 1e7;
  return S_OK;
}

STDMETHODIMP CMovieDescription::GetMarkerName(LONG MarkerNum, BSTR *pbstrMarkerName) {
  if (!pbstrMarkerName) return E_POINTER;
  *pbstrMarkerName = nullptr;
  CAutoLock lock(m_lock);
  if (MarkerNum < 1 || static_cast<size_t>(MarkerNum) > m_markers.size()) return E_INVALIDARG;
  const Text &name = m_markers[static_cast<size_t>(MarkerNum) - 1].name;
  // An untitled chapter is an empty string, not a missing one.
  *pbstrMarkerName = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  return *pbstrMarkerName ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMovieDescription::put_PlaybackSpeed(double Speed) {
  CAutoLock lock(m_lock);
  return m_position ? m_position->SetRate(Speed) : E_NOTIMPL;
}

STDMETHODIMP CMovieDescription::get_PlaybackSpeed(double *pSpeed) {
  if (!pSpeed) return E_POINTER;
  CAutoLock lock(m_lock);
  *pSpeed = 1.0;
  return m_position ? m_position->GetRate(pSpeed) : S_OK;
}
