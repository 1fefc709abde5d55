#include "filter/CSubtitleSourceStream.h"

#include <algorithm>
#include <cstring>

#include "engine/IMediaExtraction.h"
#include "trace/Trace.h"

bool SubtitlePinWanted() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Tidepool"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return true;
  }
  DWORD value = 1, type = 0, bytes = sizeof value;
  const bool off = RegQueryValueExW(key, TEXT("SubtitlePin"), nullptr, &type, reinterpret_cast<BYTE *>(&value),
                                    &bytes) == ERROR_SUCCESS &&
                   type == REG_DWORD && bytes == sizeof value && value == 0;
  RegCloseKey(key);
  return !off;
}

CSubtitleSourceStream::CSubtitleSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName,
                                             IMediaExtraction *pExtraction, const std::string &language,
                                             const std::basic_string<WCHAR> &name)
    : CMediaSourceStream(pObjectName, pFilter, phr, pName, pExtraction), m_language(language), m_name(name) {}

HRESULT CSubtitleSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType) {
  if (!pMediaType) return E_POINTER;
  if (iPosition < 0) return E_INVALIDARG;
  if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
  auto *info = reinterpret_cast<SUBTITLEINFO *>(pMediaType->AllocFormatBuffer(sizeof(SUBTITLEINFO)));
  if (!info) return E_OUTOFMEMORY;
  std::memset(info, 0, sizeof *info);
  info->dwOffset = sizeof(SUBTITLEINFO);
  std::memcpy(info->IsoLang, m_language.data(), std::min<size_t>(m_language.size(), 3));
  std::copy_n(m_name.data(), std::min<size_t>(m_name.size(), 255), info->TrackName);
  pMediaType->SetType(&kMediaTypeSubtitle);
  pMediaType->SetSubtype(&kSubtypeUtf8);
  pMediaType->SetFormatType(&kFormatSubtitleInfo);
  pMediaType->SetVariableSize();
  return S_OK;
}

HRESULT CSubtitleSourceStream::CheckMediaType(const CMediaType *pMediaType) {
  if (!pMediaType) return E_POINTER;
  if (!IsEqualGUID(*pMediaType->Type(), kMediaTypeSubtitle) || !IsEqualGUID(*pMediaType->Subtype(), kSubtypeUtf8) ||
      !IsEqualGUID(*pMediaType->FormatType(), kFormatSubtitleInfo) || !pMediaType->Format() ||
      pMediaType->FormatLength() < sizeof(SUBTITLEINFO)) {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT CSubtitleSourceStream::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) {
  if (!pRequest) return E_POINTER;
  pRequest->cbBuffer = m_extraction ? m_extraction->GetBufferSize() : 0;
  pRequest->cBuffers = 1;
  return S_OK;
}

HRESULT CSubtitleSourceStream::FillSample(IMediaSample *, BYTE *pData, long *pSize) {
  return PullSample(pData, pSize, true);
}
