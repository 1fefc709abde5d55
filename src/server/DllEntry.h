// The module's entry point and its four exports.
//
// DllMain runs when the system loads and unloads the module: at process
// attach it turns off thread notifications, keeps the instance handle (the
// module's own file is found from it when registering) and calls each
// template's initialisation routine with TRUE; at process detach it calls
// them with FALSE.
//
// DllGetClassObject, DllCanUnloadNow: here (DllEntry.cpp).
// DllRegisterServer, DllUnregisterServer: Registration.cpp.
// All four may be called on any thread.
#pragma once

#include <windows.h>
#include <objbase.h>

EXTERN_C BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
// A new class factory for rclsid: E_POINTER for a null ppv; E_NOINTERFACE
// unless riid is IUnknown or IClassFactory (checked before the class);
// CLASS_E_CLASSNOTAVAILABLE for a class not in the table.
EXTERN_C HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
// S_OK when no framework object is alive and no server lock is held, else
// S_FALSE.
EXTERN_C HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
EXTERN_C HRESULT STDAPICALLTYPE DllRegisterServer(void);
EXTERN_C HRESULT STDAPICALLTYPE DllUnregisterServer(void);

// The module's instance handle, kept by DllMain; null before process attach.
HINSTANCE ModuleInstance();
