#include "sinks/WavWriter.h"

#include <mmreg.h>
#include <uuids.h>

#include <cstring>
#include <new>

namespace tp::sinks {
namespace {

// RIFF header, "fmt " chunk header, "data" chunk header.
constexpr LONGLONG kRiffLimit = 0xFFFFFFFFLL;

void PutU32(std::vector<BYTE> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

}  // namespace

WavWriter *WavWriter::Create(const std::filesystem::path &path, HRESULT *phr) {
  auto *w = new (std::nothrow) WavWriter();
  if (!w) {
    if (phr) *phr = E_OUTOFMEMORY;
    return nullptr;
  }
  w->AddRef();
  w->m_file.open(path, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
  if (!w->m_file) {
    w->Release();
    if (phr) *phr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (phr) *phr = S_OK;
  return w;
}

WavWriter::~WavWriter() { Finish(); }

std::vector<BYTE> WavWriter::FormatOf(const AM_MEDIA_TYPE *pmt) {
  if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Audio) || !IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) ||
      !pmt->pbFormat || pmt->cbFormat < 16) {
    return {};
  }
  WAVEFORMATEX wfx{};
  std::memcpy(&wfx, pmt->pbFormat, pmt->cbFormat < sizeof wfx ? pmt->cbFormat : sizeof wfx);
  if (wfx.nChannels == 0 || wfx.nBlockAlign == 0 || wfx.nSamplesPerSec == 0) return {};
  const bool plain = wfx.wFormatTag == WAVE_FORMAT_PCM;
  if (!plain && wfx.wFormatTag != 3 /* WAVE_FORMAT_IEEE_FLOAT */ && wfx.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return {};
  size_t bytes = 16;
  if (!plain || (pmt->cbFormat >= sizeof(WAVEFORMATEX) && wfx.cbSize > 0)) {
    if (pmt->cbFormat < sizeof(WAVEFORMATEX)) return {};
    bytes = 18 + static_cast<size_t>(wfx.cbSize);
    if (bytes > pmt->cbFormat) return {};
  }
  return std::vector<BYTE>(pmt->pbFormat, pmt->pbFormat + bytes);
}

HRESULT WavWriter::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  return FormatOf(pmt).empty() ? S_FALSE : S_OK;
}

HRESULT WavWriter::OnMediaType(const AM_MEDIA_TYPE *pmt) {
  std::vector<BYTE> format = FormatOf(pmt);
  if (format.empty()) return VFW_E_TYPE_NOT_ACCEPTED;
  if (m_started && format != m_format) return VFW_E_TYPE_NOT_ACCEPTED;
  m_format = std::move(format);
  return S_OK;
}

void WavWriter::Finish() {
  if (m_format.empty() || !m_file.is_open()) return;
  const LONGLONG data = m_dataBytes;
  const uint32_t pad = static_cast<uint32_t>(data & 1);
  std::vector<BYTE> header;
  header.insert(header.end(), {'R', 'I', 'F', 'F'});
  PutU32(header, static_cast<uint32_t>(4 + 8 + m_format.size() + 8 + data + pad));
  header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutU32(header, static_cast<uint32_t>(m_format.size()));
  header.insert(header.end(), m_format.begin(), m_format.end());
  header.insert(header.end(), {'d', 'a', 't', 'a'});
  PutU32(header, static_cast<uint32_t>(data));
  m_file.clear();
  m_file.seekp(0);
  m_file.write(reinterpret_cast<const char *>(header.data()), static_cast<std::streamsize>(header.size()));
  if (pad) {
    m_file.seekp(static_cast<std::streamoff>(header.size() + data));
    m_file.put('\0');
  }
  m_file.flush();
  m_started = true;
}

HRESULT WavWriter::Consume(IMediaSample *, const BYTE *data, LONG length) {
  if (!m_started) Finish();
  const std::streamoff headerBytes = static_cast<std::streamoff>(4 + 4 + 4 + 8 + m_format.size() + 8);
  if (headerBytes + m_dataBytes + length + 1 > kRiffLimit) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
  // Data always goes right after the last byte of data, over any pad byte
  // an earlier Finish left.
  m_file.seekp(headerBytes + m_dataBytes);
  m_file.write(reinterpret_cast<const char *>(data), length);
  if (!m_file) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
  m_dataBytes += length;
  return S_OK;
}

}  // namespace tp::sinks
