// The network show interfaces of DirectShow, as far as a source uses them:
// IAMMediaContent, the title, author, copyright and description of what
// plays (automation strings the caller frees with SysFreeString).
#pragma once

#include "oaidl.h"
#include "oleauto.h"

TP_SDK_GUID(IID_IAMMediaContent, 0xFA2AA8F4, 0x8B62, 0x11D0, 0xA5, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
struct IAMMediaContent : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_AuthorName(BSTR *pbstrAuthorName) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Title(BSTR *pbstrTitle) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Rating(BSTR *pbstrRating) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR *pbstrDescription) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Copyright(BSTR *pbstrCopyright) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_BaseURL(BSTR *pbstrBaseURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogoURL(BSTR *pbstrLogoURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogoIconURL(BSTR *pbstrLogoURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WatermarkURL(BSTR *pbstrWatermarkURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MoreInfoURL(BSTR *pbstrMoreInfoURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MoreInfoBannerImage(BSTR *pbstrMoreInfoBannerImage) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MoreInfoBannerURL(BSTR *pbstrMoreInfoBannerURL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MoreInfoText(BSTR *pbstrMoreInfoText) = 0;
};
