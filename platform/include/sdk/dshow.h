// The DirectShow umbrella header, as on Windows: the system headers, the
// core interfaces, video format blocks, event and result codes, GUIDs.
#pragma once

#include "windows.h"
#include "objbase.h"
#include "mmsystem.h"
#include "strmif.h"
#include "amvideo.h"
#include "evcode.h"
#include "uuids.h"
#include "vfwmsgs.h"
#if __has_include("control.h")
#include "control.h"
#endif

// Choosing among a source's streams (languages, subtitles). Windows
// declares these in strmif.h; here they come with this header alone, so
// that only the code that offers or uses them sees them.
typedef DWORD LCID;
enum _AMSTREAMSELECTINFOFLAGS { AMSTREAMSELECTINFO_ENABLED = 0x1, AMSTREAMSELECTINFO_EXCLUSIVE = 0x2 };
enum _AMSTREAMSELECTENABLEFLAGS { AMSTREAMSELECTENABLE_ENABLE = 0x1, AMSTREAMSELECTENABLE_ENABLEALL = 0x2 };
TP_SDK_GUID(IID_IAMStreamSelect, 0xC1960960, 0x17F5, 0x11D1, 0xAB, 0xE1, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75);
struct IAMStreamSelect : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Count(DWORD *pcStreams) = 0;
  virtual HRESULT STDMETHODCALLTYPE Info(LONG lIndex, AM_MEDIA_TYPE **ppmt, DWORD *pdwFlags, LCID *plcid,
                                         DWORD *pdwGroup, WCHAR **ppszName, IUnknown **ppObject, IUnknown **ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enable(LONG lIndex, DWORD dwFlags) = 0;
};
