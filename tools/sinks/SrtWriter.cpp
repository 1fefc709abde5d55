#include "sinks/SrtWriter.h"

#include <cinttypes>
#include <cstdio>
#include <new>

namespace tp::sinks {

SrtWriter *SrtWriter::Create(const std::filesystem::path &path, HRESULT *phr) {
  auto *w = new (std::nothrow) SrtWriter();
  if (!w) {
    if (phr) *phr = E_OUTOFMEMORY;
    return nullptr;
  }
  w->AddRef();
  w->m_file.open(path, std::ios::binary | std::ios::trunc);
  if (!w->m_file) {
    w->Release();
    if (phr) *phr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (phr) *phr = S_OK;
  return w;
}

std::string SrtWriter::Timestamp(REFERENCE_TIME t) {
  if (t < 0) t = 0;
  const int64_t ms = (t + 5000) / 10000;
  char text[40];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ",%03" PRId64, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

HRESULT SrtWriter::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  return IsEqualGUID(pmt->majortype, kSubtitleMajor) && IsEqualGUID(pmt->subtype, kSubtitleUtf8) ? S_OK : S_FALSE;
}

HRESULT SrtWriter::Consume(IMediaSample *pSample, const BYTE *data, LONG length) {
  REFERENCE_TIME start = 0, stop = 0;
  if (!pSample || FAILED(pSample->GetTime(&start, &stop)) || !data || length <= 0) return S_OK;
  std::string text(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return S_OK;
  m_file << ++m_cues << "\n" << Timestamp(start) << " --> " << Timestamp(stop) << "\n" << text << "\n\n";
  m_file.flush();
  return m_file ? S_OK : E_FAIL;
}

}  // namespace tp::sinks
