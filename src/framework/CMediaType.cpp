#include "framework/CMediaType.h"

#include <cstring>

namespace {

tp::framework::TaskAllocFn g_alloc = CoTaskMemAlloc;

void *TaskAlloc(SIZE_T size) { return g_alloc(size); }

}  // namespace

namespace tp::framework {

TaskAllocFn SetMediaTypeAllocatorForTesting(TaskAllocFn alloc) {
  TaskAllocFn old = g_alloc;
  g_alloc = alloc ? alloc : CoTaskMemAlloc;
  return old;
}

}  // namespace tp::framework

// ---- free functions ---------------------------------------------------------

void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt) {
  if (mt.cbFormat != 0 || mt.pbFormat) {
    CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
  }
  if (mt.pUnk) {
    mt.pUnk->Release();
    mt.pUnk = nullptr;
  }
}

void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return;
  FreeMediaType(*pmt);
  CoTaskMemFree(pmt);
}

HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource) {
  if (!pmtTarget || !pmtSource) return E_POINTER;
  if (pmtTarget == pmtSource) return S_OK;
  *pmtTarget = *pmtSource;
  if (pmtSource->cbFormat != 0) {
    // A source claiming a length without a block cannot be copied.
    BYTE *block = pmtSource->pbFormat ? static_cast<BYTE *>(TaskAlloc(pmtSource->cbFormat)) : nullptr;
    if (!block) {
      pmtTarget->cbFormat = 0;
      pmtTarget->pbFormat = nullptr;
      // The target does not keep a reference it was not given.
      pmtTarget->pUnk = nullptr;
      return pmtSource->pbFormat ? E_OUTOFMEMORY : E_INVALIDARG;
    }
    std::memcpy(block, pmtSource->pbFormat, pmtSource->cbFormat);
    pmtTarget->pbFormat = block;
  } else {
    pmtTarget->pbFormat = nullptr;
  }
  if (pmtTarget->pUnk) pmtTarget->pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc) {
  if (!pSrc) return nullptr;
  auto *pmt = static_cast<AM_MEDIA_TYPE *>(TaskAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!pmt) return nullptr;
  if (FAILED(CopyMediaType(pmt, pSrc))) {
    CoTaskMemFree(pmt);
    return nullptr;
  }
  return pmt;
}

// ---- CMediaType -------------------------------------------------------------

CMediaType::CMediaType() { InitMediaType(); }

CMediaType::CMediaType(const GUID *type) {
  InitMediaType();
  if (type) majortype = *type;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr) {
  InitMediaType();
  HRESULT hr = CopyMediaType(this, &rt);
  if (FAILED(hr) && phr) *phr = hr;
}

CMediaType::CMediaType(const CMediaType &rt) : CMediaType(static_cast<const AM_MEDIA_TYPE &>(rt)) {}

CMediaType::~CMediaType() { FreeMediaType(*this); }

void CMediaType::InitMediaType() {
  std::memset(static_cast<AM_MEDIA_TYPE *>(this), 0, sizeof(AM_MEDIA_TYPE));
  bFixedSizeSamples = TRUE;
  lSampleSize = 1;
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE &rt) {
  if (&rt == static_cast<const AM_MEDIA_TYPE *>(this)) return S_OK;
  FreeMediaType(*this);
  HRESULT hr = CopyMediaType(this, &rt);
  return FAILED(hr) ? E_OUTOFMEMORY : S_OK;
}

HRESULT CMediaType::Set(const CMediaType &rt) { return Set(static_cast<const AM_MEDIA_TYPE &>(rt)); }

CMediaType &CMediaType::operator=(const AM_MEDIA_TYPE &rt) {
  Set(rt);
  return *this;
}

CMediaType &CMediaType::operator=(const CMediaType &rt) {
  Set(rt);
  return *this;
}

bool CMediaType::operator==(const CMediaType &rt) const {
  if (!IsEqualGUID(majortype, rt.majortype) || !IsEqualGUID(subtype, rt.subtype) ||
      !IsEqualGUID(formattype, rt.formattype) || cbFormat != rt.cbFormat)
    return false;
  if (cbFormat == 0) return true;
  return pbFormat && rt.pbFormat && std::memcmp(pbFormat, rt.pbFormat, cbFormat) == 0;
}

void CMediaType::SetSampleSize(ULONG sz) {
  if (sz == 0) {
    bFixedSizeSamples = FALSE;
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = sz;
  }
}

void CMediaType::ResetFormatBuffer() {
  CoTaskMemFree(pbFormat);
  cbFormat = 0;
  pbFormat = nullptr;
}

BYTE *CMediaType::AllocFormatBuffer(ULONG length) {
  if (length == cbFormat && (pbFormat || length == 0)) return pbFormat;
  BYTE *block = length ? static_cast<BYTE *>(TaskAlloc(length)) : nullptr;
  if (!block) {
    if (length == 0) {
      ResetFormatBuffer();
      return nullptr;
    }
    return cbFormat >= length ? pbFormat : nullptr;
  }
  CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

BYTE *CMediaType::ReallocFormatBuffer(ULONG length) {
  if (length == cbFormat && (pbFormat || length == 0)) return pbFormat;
  BYTE *block = length ? static_cast<BYTE *>(TaskAlloc(length)) : nullptr;
  if (!block) {
    if (length == 0) {
      ResetFormatBuffer();
      return nullptr;
    }
    return cbFormat >= length ? pbFormat : nullptr;
  }
  if (pbFormat) std::memcpy(block, pbFormat, cbFormat < length ? cbFormat : length);
  CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

bool CMediaType::SetFormat(const BYTE *pFormat, ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return true;
  }
  if (!pFormat) return false;
  BYTE *block = AllocFormatBuffer(length);
  if (!block) return false;
  // When allocation failed and a larger old block was kept, the length
  // field still names the old size; copy only what was asked.
  std::memmove(block, pFormat, length);
  return true;
}

bool CMediaType::IsPartiallySpecified() const {
  return IsEqualGUID(majortype, GUID_NULL) || IsEqualGUID(formattype, GUID_NULL);
}

bool CMediaType::MatchesPartial(const CMediaType *ppartial) const {
  if (!ppartial) return true;
  if (!IsEqualGUID(ppartial->majortype, GUID_NULL) && !IsEqualGUID(majortype, ppartial->majortype)) return false;
  if (!IsEqualGUID(ppartial->subtype, GUID_NULL) && !IsEqualGUID(subtype, ppartial->subtype)) return false;
  if (!IsEqualGUID(ppartial->formattype, GUID_NULL)) {
    if (!IsEqualGUID(formattype, ppartial->formattype) || cbFormat != ppartial->cbFormat) return false;
    if (cbFormat != 0 && (!pbFormat || !ppartial->pbFormat || std::memcmp(pbFormat, ppartial->pbFormat, cbFormat) != 0))
      return false;
  }
  return true;
}
