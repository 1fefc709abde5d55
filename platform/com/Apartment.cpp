// Per-thread COM initialisation: a count and a concurrency model per thread,
// plus the process-wide count of multithreaded-apartment members, which
// makes every thread of the process an implicit MTA member while it is
// non-zero (as on Windows).
#include "com/Apartment.h"

#include <atomic>

#include <objbase.h>

namespace {

struct ThreadApartment {
  int count = 0;
  bool multithreaded = false;
};

thread_local ThreadApartment t_apartment;
std::atomic<int> g_mtaThreads{0};

}  // namespace

namespace tp::com {

bool ThreadMayUseCom() { return t_apartment.count > 0 || g_mtaThreads.load() > 0; }

}  // namespace tp::com

EXTERN_C HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
  ThreadApartment &apt = t_apartment;
  if (apt.count > 0) {
    if (apt.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
    ++apt.count;
    return S_FALSE;
  }
  apt.count = 1;
  apt.multithreaded = multithreaded;
  if (multithreaded) g_mtaThreads.fetch_add(1);
  return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

EXTERN_C void STDAPICALLTYPE CoUninitialize(void) {
  ThreadApartment &apt = t_apartment;
  if (apt.count == 0) return;  // unbalanced: ignored, as on Windows
  if (--apt.count == 0 && apt.multithreaded) g_mtaThreads.fetch_sub(1);
}
