#include "sinks/SdlVideoRenderer.h"

#include <amvideo.h>
#include <uuids.h>

#include <cstdlib>
#include <new>

namespace tp::sinks {
namespace {

// FOURCC subtypes the toolchains' lists may lack.
constexpr GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kIYUV = {0x56555949, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kYV12 = {0x32315659, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kYUY2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

constexpr LONG kMaxDimension = 16384;
// A frame's length when neither its stamps nor its format give one.
constexpr REFERENCE_TIME kDefaultFrameTime = 400000;

}  // namespace

SdlVideoRenderer *SdlVideoRenderer::Create(VideoWindow *window) {
  auto *r = new (std::nothrow) SdlVideoRenderer(window);
  if (!r) return nullptr;
  r->AddRef();
  r->SetRealTime(true);
  return r;
}

VideoPicture SdlVideoRenderer::Describe(const AM_MEDIA_TYPE *pmt) {
  VideoPicture p;
  if (!pmt || !IsEqualGUID(pmt->majortype, MEDIATYPE_Video) || !IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) ||
      !pmt->pbFormat || pmt->cbFormat < sizeof(VIDEOINFOHEADER)) {
    return p;
  }
  const auto *vih = reinterpret_cast<const VIDEOINFOHEADER *>(pmt->pbFormat);
  const LONG w = vih->bmiHeader.biWidth, h = std::labs(vih->bmiHeader.biHeight);
  if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension) return p;
  VideoPicture::Layout layout = VideoPicture::Layout::None;
  if (IsEqualGUID(pmt->subtype, kYV12)) {
    layout = VideoPicture::Layout::YV12;
  } else if (IsEqualGUID(pmt->subtype, kI420) || IsEqualGUID(pmt->subtype, kIYUV)) {
    layout = VideoPicture::Layout::I420;
  } else if (IsEqualGUID(pmt->subtype, kYUY2)) {
    layout = VideoPicture::Layout::YUY2;
  }
  // Planar chroma is half the size each way: an odd size has no layout
  // both sides agree on.
  const bool planar = layout == VideoPicture::Layout::YV12 || layout == VideoPicture::Layout::I420;
  if (layout == VideoPicture::Layout::None || (planar && (w % 2 || h % 2)) || w % 2) return p;
  p.layout = layout;
  p.width = w;
  p.height = h;
  p.frameTime = vih->AvgTimePerFrame > 0 ? vih->AvgTimePerFrame : 0;
  return p;
}

HRESULT SdlVideoRenderer::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  return Describe(pmt).layout != VideoPicture::Layout::None ? S_OK : S_FALSE;
}

HRESULT SdlVideoRenderer::OnMediaType(const AM_MEDIA_TYPE *pmt) {
  const VideoPicture p = Describe(pmt);
  if (p.layout == VideoPicture::Layout::None) return VFW_E_TYPE_NOT_ACCEPTED;
  m_picture = p;
  return S_OK;
}

bool SdlVideoRenderer::DropLate(REFERENCE_TIME lateness, REFERENCE_TIME start, REFERENCE_TIME stop) {
  const REFERENCE_TIME frame =
      stop > start ? stop - start : (m_picture.frameTime > 0 ? m_picture.frameTime : kDefaultFrameTime);
  return lateness > frame;
}

HRESULT SdlVideoRenderer::Consume(IMediaSample *pSample, const BYTE *data, LONG length) {
  if (length < 0 || static_cast<size_t>(length) < m_picture.Bytes()) return VFW_E_BUFFER_UNDERFLOW;
  REFERENCE_TIME start = 0, stop = 0;
  if (FAILED(pSample->GetTime(&start, &stop))) start = 0;
  const auto movieTime = m_segmentStart + static_cast<REFERENCE_TIME>(static_cast<double>(start) * m_segmentRate);
  m_window->Submit(data, m_picture, movieTime);
  return S_OK;
}

}  // namespace tp::sinks
