// COM task memory over the C heap. As on Windows, a request for 0 bytes
// yields a valid, unique pointer that must be freed; reallocating to 0 bytes
// frees the block and returns null; a failed allocation returns null and
// leaves any original block untouched. Requests of 1 TiB or more are refused
// outright rather than handed to the C heap.
#include <cstdlib>

#include <objbase.h>

namespace {
constexpr SIZE_T kLargestRequest = (SIZE_T{1} << 40) - 1;
}

EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) {
  if (cb > kLargestRequest) return nullptr;
  return std::malloc(cb == 0 ? 1 : cb);
}

EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  if (cb > kLargestRequest) return nullptr;
  return std::realloc(pv, cb);
}

EXTERN_C void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) { std::free(pv); }
