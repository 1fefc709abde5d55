// CMovieDescription: the filter's IAMMediaContent (title, author, copyright,
// description) and IAMExtendedSeeking (chapters as markers), from what the
// movie session read of the movie. Both are automation interfaces whose
// IDispatch part is a stub: no type information, no late binding.
//
// Ownership: a member of the filter, created with it; its IUnknown is the
// filter's (every reference counts on the filter). Its values are set by
// Load under the filter's state lock, which the getters take too.
// Strings come back as BSTRs that the caller frees with SysFreeString.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>
#include <vector>

#include "filter/ExtendedSeeking.h"
#include "framework/Sync.h"

struct MovieContents;

class CMovieDescription : public IAMMediaContent, public IAMExtendedSeeking {
 public:
  // owner: the filter's IUnknown; lock: its state lock. Both outlive this.
  CMovieDescription(IUnknown *owner, CCritSec *lock) : m_owner(owner), m_lock(lock) {}
  CMovieDescription(const CMovieDescription &) = delete;
  CMovieDescription &operator=(const CMovieDescription &) = delete;

  // Takes the metadata and chapters of `contents` (null: none); `position`
  // is the pin whose current position tells the current marker (null:
  // none). Lock held.
  void Set(const MovieContents *contents, IMediaSeeking *position);

  // IUnknown: the filter's.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return m_owner->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_owner->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_owner->Release(); }

  // IDispatch: no type information (GetTypeInfoCount gives 0); the rest
  // E_NOTIMPL.
  STDMETHODIMP GetTypeInfoCount(UINT *pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid, DISPID *rgDispId) override;
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS *pDispParams,
                      VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) override;

  // IAMMediaContent: author (the movie's artist), title, description (its
  // comment) and copyright; VFW_E_NOT_FOUND with a null string when the
  // movie has none, E_POINTER for a null pointer. The other properties are
  // not kept (E_NOTIMPL).
  STDMETHODIMP get_AuthorName(BSTR *pbstrAuthorName) override;
  STDMETHODIMP get_Title(BSTR *pbstrTitle) override;
  STDMETHODIMP get_Rating(BSTR *pbstrRating) override;
  STDMETHODIMP get_Description(BSTR *pbstrDescription) override;
  STDMETHODIMP get_Copyright(BSTR *pbstrCopyright) override;
  STDMETHODIMP get_BaseURL(BSTR *pbstrBaseURL) override;
  STDMETHODIMP get_LogoURL(BSTR *pbstrLogoURL) override;
  STDMETHODIMP get_LogoIconURL(BSTR *pbstrLogoURL) override;
  STDMETHODIMP get_WatermarkURL(BSTR *pbstrWatermarkURL) override;
  STDMETHODIMP get_MoreInfoURL(BSTR *pbstrMoreInfoURL) override;
  STDMETHODIMP get_MoreInfoBannerImage(BSTR *pbstrMoreInfoBannerImage) override;
  STDMETHODIMP get_MoreInfoBannerURL(BSTR *pbstrMoreInfoBannerURL) override;
  STDMETHODIMP get_MoreInfoText(BSTR *pbstrMoreInfoText) override;

  // IAMExtendedSeeking: markers are the chapters, numbered from 1 in time
  // order; GetMarkerTime in seconds from the movie's start. The current
  // marker is the last one that starts at or before the pin's current
  // position (0 before the first or with none). E_INVALIDARG for a marker
  // out of range. The playback speed is the pin's rate.
  STDMETHODIMP get_ExSeekCapabilities(LONG *pExCapabilities) override;
  STDMETHODIMP get_MarkerCount(LONG *pMarkerCount) override;
  STDMETHODIMP get_CurrentMarker(LONG *pCurrentMarker) override;
  STDMETHODIMP GetMarkerTime(LONG MarkerNum, double *pMarkerTime) override;
  STDMETHODIMP GetMarkerName(LONG MarkerNum, BSTR *pbstrMarkerName) override;
  STDMETHODIMP put_PlaybackSpeed(double Speed) override;
  STDMETHODIMP get_PlaybackSpeed(double *pSpeed) override;

 private:
  using Text = std::basic_string<WCHAR>;
  struct Marker {
    REFERENCE_TIME start;
    Text name;
  };
  // A copy of `text` (S_OK), or VFW_E_NOT_FOUND for an empty one.
  static HRESULT Give(const Text &text, BSTR *out);

  IUnknown *m_owner;
  CCritSec *m_lock;
  Text m_title, m_author, m_copyright, m_description;  // m_lock
  std::vector<Marker> m_markers;                       // m_lock
  IMediaSeeking *m_position = nullptr;                 // m_lock; not counted (a pin of the filter)
};
