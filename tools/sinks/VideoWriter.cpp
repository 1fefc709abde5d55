#include "sinks/VideoWriter.h"

#include <amvideo.h>
#include <uuids.h>

#include <cstdlib>
#include <numeric>
#include <new>
#include <vector>

namespace tp::sinks {
namespace {

// FOURCC subtypes the toolchains' lists may lack.
constexpr GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kIYUV = {0x56555949, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kYV12 = {0x32315659, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kNV12 = {0x3231564E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kYUY2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kUYVY = {0x59565955, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

constexpr LONG kMaxDimension = 16384;

}  // namespace

VideoWriter *VideoWriter::Create(const std::filesystem::path &path, Container container, HRESULT *phr) {
  auto *w = new (std::nothrow) VideoWriter(container);
  if (!w) {
    if (phr) *phr = E_OUTOFMEMORY;
    return nullptr;
  }
  w->AddRef();
  w->m_file.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!w->m_file) {
    w->Release();
    if (phr) *phr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (phr) *phr = S_OK;
  return w;
}

VideoWriter::Layout VideoWriter::LayoutOf(REFGUID subtype) {
  if (IsEqualGUID(subtype, kI420) || IsEqualGUID(subtype, kIYUV)) return Layout::I420;
  if (IsEqualGUID(subtype, kYV12)) return Layout::YV12;
  if (IsEqualGUID(subtype, kNV12)) return Layout::NV12;
  if (IsEqualGUID(subtype, kYUY2)) return Layout::YUY2;
  if (IsEqualGUID(subtype, kUYVY)) return Layout::UYVY;
  return Layout::Other;
}

void VideoWriter::FrameRate(REFERENCE_TIME frameTime, int *num, int *den) {
  if (frameTime <= 0) {
    *num = 25;
    *den = 1;
    return;
  }
  // A frame time is a rate's period rounded to 100 ns, so 23.976 fps
  // arrives as 417,083. Whole rates and the 1001-denominator family are
  // recognised by rounding back; anything else is written exactly.
  const auto rounded = [](long long a, long long b) { return (a + b / 2) / b; };
  for (const long long d : {1LL, 1001LL}) {
    const long long n = rounded(10000000LL * d, frameTime);
    if (n > 0 && n <= 0x7FFFFFFF && rounded(10000000LL * d, n) == frameTime) {
      *num = static_cast<int>(n);
      *den = static_cast<int>(d);
      return;
    }
  }
  long long n = 10000000, d = frameTime;
  const long long g = std::gcd(n, d);
  n /= g;
  d /= g;
  // Keep both within the header's integer fields.
  while (n > 0x7FFFFFFF || d > 0x7FFFFFFF) {
    n /= 2;
    d /= 2;
  }
  *num = static_cast<int>(n > 0 ? n : 1);
  *den = static_cast<int>(d > 0 ? d : 1);
}

bool VideoWriter::Describe(const AM_MEDIA_TYPE *pmt, Picture *p) {
  if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Video) || !pmt->pbFormat) return false;
  const BITMAPINFOHEADER *bih = nullptr;
  RECT target{};
  if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) && pmt->cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const auto *vih = reinterpret_cast<const VIDEOINFOHEADER *>(pmt->pbFormat);
    bih = &vih->bmiHeader;
    target = vih->rcTarget;
    p->frameTime = vih->AvgTimePerFrame;
  } else {
    return false;
  }
  const LONG w = bih->biWidth, h = std::labs(bih->biHeight);
  if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension) return false;
  p->layout = LayoutOf(pmt->subtype);
  p->height = h;
  // A target narrower than the buffer means biWidth is the stride.
  p->width = (target.right > target.left && target.right - target.left < w) ? target.right - target.left : w;
  const LONG ch = (h + 1) / 2;
  switch (p->layout) {
    case Layout::I420:
    case Layout::YV12:
      p->stride = w;
      p->required = w * h + 2 * (w / 2) * ch;
      break;
    case Layout::NV12:
      p->stride = w;
      p->required = w * h + w * ch;
      break;
    case Layout::YUY2:
    case Layout::UYVY:
      p->stride = w * 2;
      p->required = w * 2 * h;
      break;
    case Layout::Other:
      p->stride = 0;
      p->required = 0;
      break;
  }
  return true;
}

HRESULT VideoWriter::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  Picture p;
  return Describe(pmt, &p) ? S_OK : S_FALSE;
}

HRESULT VideoWriter::OnMediaType(const AM_MEDIA_TYPE *pmt) {
  Picture p;
  if (!Describe(pmt, &p)) return VFW_E_TYPE_NOT_ACCEPTED;
  const bool y4m = m_container == Container::Auto && p.layout != Layout::Other;
  if (m_headerWritten && (y4m != m_y4m || (y4m && (p.layout != m_picture.layout || p.width != m_picture.width ||
                                                   p.height != m_picture.height)))) {
    // A .y4m stream keeps one size and layout.
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  m_picture = p;
  m_y4m = y4m;
  return S_OK;
}

bool VideoWriter::WritesY4m() { return m_y4m; }

bool VideoWriter::WriteHeader(REFERENCE_TIME firstLength) {
  int num = 0, den = 0;
  FrameRate(firstLength > 0 ? firstLength : m_picture.frameTime, &num, &den);
  const bool is422 = m_picture.layout == Layout::YUY2 || m_picture.layout == Layout::UYVY;
  const std::string header = "YUV4MPEG2 W" + std::to_string(m_picture.width) + " H" + std::to_string(m_picture.height) +
                             " F" + std::to_string(num) + ":" + std::to_string(den) + " Ip A1:1 C" +
                             (is422 ? "422" : "420jpeg") + "\n";
  m_file.write(header.data(), static_cast<std::streamsize>(header.size()));
  return static_cast<bool>(m_file);
}

bool VideoWriter::WritePlanes(const BYTE *data) {
  const Picture &p = m_picture;
  const LONG w = p.width, h = p.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  auto rows = [&](const BYTE *plane, LONG stride, LONG width, LONG count) {
    for (LONG y = 0; y < count; ++y) m_file.write(reinterpret_cast<const char *>(plane + y * stride), width);
  };
  m_file.write("FRAME\n", 6);
  switch (p.layout) {
    case Layout::I420:
    case Layout::YV12: {
      const LONG cstride = p.stride / 2;
      const BYTE *first = data + p.stride * h;
      const BYTE *second = first + cstride * ch;
      rows(data, p.stride, w, h);
      // YV12 keeps V before U; .y4m wants U first.
      rows(p.layout == Layout::I420 ? first : second, cstride, cw, ch);
      rows(p.layout == Layout::I420 ? second : first, cstride, cw, ch);
      break;
    }
    case Layout::NV12: {
      rows(data, p.stride, w, h);
      std::vector<char> plane(static_cast<size_t>(cw));
      for (int c = 0; c < 2; ++c) {
        for (LONG y = 0; y < ch; ++y) {
          const BYTE *row = data + p.stride * h + p.stride * y;
          for (LONG x = 0; x < cw; ++x) plane[static_cast<size_t>(x)] = static_cast<char>(row[2 * x + c]);
          m_file.write(plane.data(), cw);
        }
      }
      break;
    }
    case Layout::YUY2:
    case Layout::UYVY: {
      // Packed 4:2:2: Y0 U Y1 V (YUY2) or U Y0 V Y1 (UYVY) per pixel pair.
      const int yAt = p.layout == Layout::YUY2 ? 0 : 1, uAt = p.layout == Layout::YUY2 ? 1 : 0;
      std::vector<char> row(static_cast<size_t>(w));
      for (LONG y = 0; y < h; ++y) {
        const BYTE *src = data + p.stride * y;
        for (LONG x = 0; x < w; ++x) row[static_cast<size_t>(x)] = static_cast<char>(src[2 * x + yAt]);
        m_file.write(row.data(), w);
      }
      for (int c = 0; c < 2; ++c) {
        for (LONG y = 0; y < h; ++y) {
          const BYTE *src = data + p.stride * y;
          for (LONG x = 0; x < cw; ++x) row[static_cast<size_t>(x)] = static_cast<char>(src[4 * x + uAt + 2 * c]);
          m_file.write(row.data(), cw);
        }
      }
      break;
    }
    case Layout::Other:
      break;
  }
  return static_cast<bool>(m_file);
}

HRESULT VideoWriter::Consume(IMediaSample *pSample, const BYTE *data, LONG length) {
  if (!m_y4m) {
    m_file.write(reinterpret_cast<const char *>(data), length);
  } else {
    if (length < m_picture.required) return VFW_E_BUFFER_UNDERFLOW;
    if (!m_headerWritten) {
      REFERENCE_TIME start = 0, stop = 0;
      const REFERENCE_TIME first = SUCCEEDED(pSample->GetTime(&start, &stop)) && stop > start ? stop - start : 0;
      if (!WriteHeader(first)) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
      m_headerWritten = true;
    }
    WritePlanes(data);
  }
  if (!m_file) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
  m_headerWritten = true;
  ++m_frames;
  return S_OK;
}

}  // namespace tp::sinks
