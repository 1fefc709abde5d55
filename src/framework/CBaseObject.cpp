#include "framework/CBaseObject.h"

LONG volatile CBaseObject::m_cObjects = 0;

CBaseObject::CBaseObject(LPCTSTR pName) : m_pName(pName) { InterlockedIncrement(&m_cObjects); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&m_cObjects); }

LONG CBaseObject::ObjectsActive() { return InterlockedCompareExchange(&m_cObjects, 0, 0); }
