// gdi32 stand-in: memory-backed DIB sections. Each section is one zeroed
// allocation of |biHeight| rows of ((biBitCount * biWidth + 31) / 32) * 4
// bytes; the handle is the address of its record, which a registry of live
// sections vouches for before anything is dereferenced, so a stale or
// foreign handle is refused rather than followed.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// Largest pixel block a section may have; larger requests are refused
// before anything is allocated.
constexpr int64_t kMaxDibBytes = int64_t(1) << 30;

struct DibSection {
  DIBSECTION info{};
  void *bits = nullptr;
  ~DibSection() { std::free(bits); }
};

class DibRegistry {
 public:
  static DibRegistry &Instance() {
    static DibRegistry *registry = new DibRegistry;  // outlives every static destructor
    return *registry;
  }
  void Add(DibSection *dib) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    live_.emplace(dib, std::unique_ptr<DibSection>(dib));
  }
  bool Remove(void *handle) {
    std::unique_ptr<DibSection> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
      auto it = live_.find(handle);
      if (it == live_.end()) return false;
      gone = std::move(it->second);
      live_.erase(it);
    }
    return true;
  }
  bool Describe(void *handle, DIBSECTION *out) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = live_.find(handle);
    if (it == live_.end()) return false;
    *out = it->second->info;
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<void *, std::unique_ptr<DibSection>> live_;
};

bool SupportedFormat(const BITMAPINFOHEADER &h) {
  switch (h.biBitCount) {
    case 16:
    case 32:
      return h.biCompression == BI_RGB || h.biCompression == BI_BITFIELDS;
    case 24:
      return h.biCompression == BI_RGB;
    default:
      return false;
  }
}

HBITMAP Fail(DWORD error, VOID **ppvBits) {
  if (ppvBits) *ppvBits = nullptr;
  SetLastError(error);
  return nullptr;
}

}  // namespace

EXTERN_C HBITMAP WINAPI CreateDIBSection(HDC, const BITMAPINFO *pbmi, UINT usage, VOID **ppvBits, HANDLE hSection,
                                         DWORD offset) {
  if (!pbmi || usage != DIB_RGB_COLORS || hSection || offset != 0) return Fail(ERROR_INVALID_PARAMETER, ppvBits);
  const BITMAPINFOHEADER &h = pbmi->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biPlanes != 1 || !SupportedFormat(h))
    return Fail(ERROR_INVALID_PARAMETER, ppvBits);
  const int64_t width = h.biWidth;
  const int64_t height = h.biHeight < 0 ? -int64_t(h.biHeight) : int64_t(h.biHeight);
  if (width <= 0 || height <= 0) return Fail(ERROR_INVALID_PARAMETER, ppvBits);
  const int64_t stride = ((int64_t(h.biBitCount) * width + 31) / 32) * 4;
  if (stride > kMaxDibBytes || height > kMaxDibBytes / stride) return Fail(ERROR_NOT_ENOUGH_MEMORY, ppvBits);
  const int64_t bytes = stride * height;

  auto dib = std::unique_ptr<DibSection>(new (std::nothrow) DibSection);
  if (!dib) return Fail(ERROR_NOT_ENOUGH_MEMORY, ppvBits);
  dib->bits = std::calloc(size_t(bytes), 1);
  if (!dib->bits) return Fail(ERROR_NOT_ENOUGH_MEMORY, ppvBits);

  DIBSECTION &ds = dib->info;
  ds.dsBm.bmType = 0;
  ds.dsBm.bmWidth = LONG(width);
  ds.dsBm.bmHeight = LONG(height);
  ds.dsBm.bmWidthBytes = LONG(stride);
  ds.dsBm.bmPlanes = 1;
  ds.dsBm.bmBitsPixel = h.biBitCount;
  ds.dsBm.bmBits = dib->bits;
  ds.dsBmih = h;
  ds.dsBmih.biSize = sizeof(BITMAPINFOHEADER);
  ds.dsBmih.biSizeImage = DWORD(bytes);
  if (h.biCompression == BI_BITFIELDS) {
    std::memcpy(ds.dsBitfields, pbmi->bmiColors, sizeof(ds.dsBitfields));
  } else if (h.biBitCount == 16) {
    ds.dsBitfields[0] = 0x7C00;
    ds.dsBitfields[1] = 0x03E0;
    ds.dsBitfields[2] = 0x001F;
  } else {
    ds.dsBitfields[0] = 0xFF0000;
    ds.dsBitfields[1] = 0x00FF00;
    ds.dsBitfields[2] = 0x0000FF;
  }
  if (ppvBits) *ppvBits = dib->bits;
  DibSection *raw = dib.release();
  DibRegistry::Instance().Add(raw);
  return reinterpret_cast<HBITMAP>(raw);
}

EXTERN_C BOOL WINAPI DeleteObject(HGDIOBJ ho) {
  if (!ho || !DibRegistry::Instance().Remove(ho)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

EXTERN_C int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv) {
  DIBSECTION ds;
  if (!h || !DibRegistry::Instance().Describe(h, &ds)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!pv) return int(sizeof(DIBSECTION));
  if (c >= int(sizeof(DIBSECTION))) {
    std::memcpy(pv, &ds, sizeof(DIBSECTION));
    return int(sizeof(DIBSECTION));
  }
  if (c >= int(sizeof(BITMAP))) {
    std::memcpy(pv, &ds.dsBm, sizeof(BITMAP));
    return int(sizeof(BITMAP));
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}
