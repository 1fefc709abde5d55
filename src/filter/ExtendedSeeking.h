// IAMExtendedSeeking: markers (chapters) of what a source plays, and its
// extended seeking capabilities, as the network show interfaces define
// them. Not every SDK's qnetwork.h declares it, so it is declared here
// unless one already did. Nor does every SDK's import library define the
// interface ids of that header, so both are given here as constants.
#pragma once

#include <windows.h>
#include <qnetwork.h>

#ifndef __IAMExtendedSeeking_INTERFACE_DEFINED__
#define __IAMExtendedSeeking_INTERFACE_DEFINED__
enum AMExtendedSeekingCapabilities {
  AM_EXSEEK_CANSEEK = 1,
  AM_EXSEEK_CANSCAN = 2,
  AM_EXSEEK_MARKERSEEK = 4,
  AM_EXSEEK_SCANWITHOUTCLOCK = 8,
  AM_EXSEEK_NOSTANDARDREPAINT = 16,
  AM_EXSEEK_BUFFERING = 32,
  AM_EXSEEK_SENDS_VIDEOFRAMEREADY = 64,
};
struct IAMExtendedSeeking : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_ExSeekCapabilities(LONG *pExCapabilities) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MarkerCount(LONG *pMarkerCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CurrentMarker(LONG *pCurrentMarker) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMarkerTime(LONG MarkerNum, double *pMarkerTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMarkerName(LONG MarkerNum, BSTR *pbstrMarkerName) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PlaybackSpeed(double Speed) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PlaybackSpeed(double *pSpeed) = 0;
};
#endif

// {FA2AA8F4-8B62-11D0-A520-000000000000}
inline constexpr GUID kIidMediaContent = {0xFA2AA8F4, 0x8B62, 0x11D0, {0xA5, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
// {FA2AA8F9-8B62-11D0-A520-000000000000}
inline constexpr GUID kIidExtendedSeeking = {
    0xFA2AA8F9, 0x8B62, 0x11D0, {0xA5, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
