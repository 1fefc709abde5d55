// CBaseObject: the root of every framework object, and the module-wide count
// of live objects.
//
// Construction increments the count and destruction decrements it, both
// atomically, so that the module can answer DllCanUnloadNow from it. The
// count belongs to the module that links the framework (each module has its
// own). The name given at construction is the caller's (usually a literal)
// and is kept only for diagnostics; it is not copied.
#pragma once

#include <windows.h>

class CBaseObject {
 public:
  explicit CBaseObject(LPCTSTR pName);
  virtual ~CBaseObject();
  CBaseObject(const CBaseObject &) = delete;
  CBaseObject &operator=(const CBaseObject &) = delete;

  // Number of framework objects alive in this module right now.
  static LONG ObjectsActive();

  LPCTSTR Name() const { return m_pName; }

 private:
  LPCTSTR m_pName;
  static LONG volatile m_cObjects;
};
