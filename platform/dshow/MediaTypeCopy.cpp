#include "dshow/MediaTypeCopy.h"

#include <cstring>

namespace tp::dshow {

AM_MEDIA_TYPE *CreateMediaTypeCopy(const AM_MEDIA_TYPE *src) {
  if (!src) return nullptr;
  auto *dst = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!dst) return nullptr;
  *dst = *src;
  dst->cbFormat = 0;
  dst->pbFormat = nullptr;
  if (src->cbFormat != 0) {
    if (!src->pbFormat) {
      CoTaskMemFree(dst);
      return nullptr;
    }
    dst->pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(src->cbFormat));
    if (!dst->pbFormat) {
      CoTaskMemFree(dst);
      return nullptr;
    }
    std::memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
    dst->cbFormat = src->cbFormat;
  }
  if (dst->pUnk) dst->pUnk->AddRef();
  return dst;
}

void DeleteMediaTypeCopy(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return;
  if (pmt->pbFormat) CoTaskMemFree(pmt->pbFormat);
  if (pmt->pUnk) pmt->pUnk->Release();
  CoTaskMemFree(pmt);
}

}  // namespace tp::dshow
