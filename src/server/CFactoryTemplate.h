// The factory template table: one CFactoryTemplate per class the module can
// create, and the filter registration records (AMOVIESETUP_*) that templates
// of filters point to.
//
// The module that links this layer defines the table, g_Templates with
// g_cTemplates entries (Tidepool.ax in module/Templates.cpp; tests define
// their own); the module entry, the class factory and registration walk it.
// Templates and records are static data: nothing owns or frees them.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/CUnknown.h"

// Filter registration records, in the layout the filter mappers take.
typedef REGPINTYPES AMOVIESETUP_MEDIATYPE;
typedef REGFILTERPINS AMOVIESETUP_PIN;
struct AMOVIESETUP_FILTER {
  const CLSID *clsID;
  const WCHAR *strName;
  DWORD dwMerit;
  UINT nPins;
  const AMOVIESETUP_PIN *lpPin;
};

// Creates an object with the given outer unknown; returns its non-delegating
// unknown (uncounted) or null. *phr is preset to S_OK by the caller and holds
// a failure when creation went wrong (with or without an object).
typedef CUnknown *(CALLBACK *LPFNNewCOMObject)(LPUNKNOWN pUnkOuter, HRESULT *phr);
// Called at module load (bLoading TRUE) and unload (FALSE) with the class id.
typedef void(CALLBACK *LPFNInitRoutine)(BOOL bLoading, const CLSID *rclsid);

class CFactoryTemplate {
 public:
  const WCHAR *m_Name;
  const CLSID *m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
  const AMOVIESETUP_FILTER *m_pAMovieSetup_Filter;

  BOOL IsClassID(REFCLSID rclsid) const { return IsEqualCLSID(*m_ClsID, rclsid); }
  CUnknown *CreateInstance(LPUNKNOWN pUnk, HRESULT *phr) const { return m_lpfnNew(pUnk, phr); }
};

// Defined by the module.
extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;
