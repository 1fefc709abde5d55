#include "filter/DumpMediaType.h"

#include <cstddef>
#include <cstdio>

#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>
#include <uuids.h>

#include "trace/Trace.h"

namespace {

// Whether the field at offset with size bytes lies inside the block.
bool Inside(const AM_MEDIA_TYPE *pmt, size_t offset, size_t size) { return offset + size <= pmt->cbFormat; }

#define FIELD_INSIDE(pmt, type, field) Inside(pmt, offsetof(type, field), sizeof(static_cast<type *>(nullptr)->field))

// The trace's formatter has no floating point, so the frame time line gets
// its two numbers as text: seconds with six decimals, frames per second with
// two (0 when the frame time is 0).
struct FrameTimeText {
  WCHAR seconds[64];
  WCHAR rate[64];
};

FrameTimeText FormatFrameTime(REFERENCE_TIME avgTimePerFrame) {
  const double seconds = static_cast<double>(avgTimePerFrame) / 10000000.0;
  const double rate = avgTimePerFrame != 0 ? 1.0 / seconds : 0.0;
  char narrow[2][64];
  std::snprintf(narrow[0], sizeof narrow[0], "%f", seconds);
  std::snprintf(narrow[1], sizeof narrow[1], "%.2f", rate);
  FrameTimeText text = {};
  for (int i = 0; i < 63 && narrow[0][i]; ++i) text.seconds[i] = static_cast<WCHAR>(narrow[0][i]);
  for (int i = 0; i < 63 && narrow[1][i]; ++i) text.rate[i] = static_cast<WCHAR>(narrow[1][i]);
  return text;
}

void DumpWave(const AM_MEDIA_TYPE *pmt) {
  const auto *wfx = reinterpret_cast<const WAVEFORMATEX *>(pmt->pbFormat);
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, wFormatTag))
    TraceW2(TEXT("    wFormatTag      = 0x%X"), static_cast<unsigned>(wfx->wFormatTag));
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, nChannels))
    TraceW2(TEXT("    nChannels       = %d"), static_cast<int>(wfx->nChannels));
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, nSamplesPerSec))
    TraceW2(TEXT("    nSamplesPerSec  = %d"), static_cast<int>(wfx->nSamplesPerSec));
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, nAvgBytesPerSec))
    TraceW2(TEXT("    nAvgBytesPerSec = %d"), static_cast<int>(wfx->nAvgBytesPerSec));
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, nBlockAlign))
    TraceW2(TEXT("    nBlockAlign     = %d"), static_cast<int>(wfx->nBlockAlign));
  if (FIELD_INSIDE(pmt, WAVEFORMATEX, wBitsPerSample))
    TraceW2(TEXT("    wBitsPerSample  = %d"), static_cast<int>(wfx->wBitsPerSample));
  if (!FIELD_INSIDE(pmt, WAVEFORMATEX, cbSize) || wfx->cbSize == 0) return;

  const auto *ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(pmt->pbFormat);
  TraceW2(TEXT("    cbSize              = %d"), static_cast<int>(wfx->cbSize));
  if (FIELD_INSIDE(pmt, WAVEFORMATEXTENSIBLE, Samples))
    TraceW2(TEXT("    wValidBitsPerSample = %d"), static_cast<int>(ext->Samples.wValidBitsPerSample));
  if (FIELD_INSIDE(pmt, WAVEFORMATEXTENSIBLE, dwChannelMask))
    TraceW2(TEXT("    dwChannelMask       = %d"), static_cast<int>(ext->dwChannelMask));
  if (FIELD_INSIDE(pmt, WAVEFORMATEXTENSIBLE, SubFormat))
    TraceW2(TEXT("    SubFormat           = %s"), FormatGuid(&ext->SubFormat));
}

void DumpVideoInfo(const AM_MEDIA_TYPE *pmt) {
  const auto *vih = reinterpret_cast<const VIDEOINFOHEADER *>(pmt->pbFormat);
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER, rcSource))
    TraceW2(TEXT("    rcSource        = %d, %d, %d, %d"), static_cast<int>(vih->rcSource.left),
            static_cast<int>(vih->rcSource.top), static_cast<int>(vih->rcSource.right),
            static_cast<int>(vih->rcSource.bottom));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER, rcTarget))
    TraceW2(TEXT("    rcTarget        = %d, %d, %d, %d"), static_cast<int>(vih->rcTarget.left),
            static_cast<int>(vih->rcTarget.top), static_cast<int>(vih->rcTarget.right),
            static_cast<int>(vih->rcTarget.bottom));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER, dwBitRate))
    TraceW2(TEXT("    dwBitRate       = %d"), static_cast<int>(vih->dwBitRate));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER, dwBitErrorRate))
    TraceW2(TEXT("    dwBitErrorRate  = %d"), static_cast<int>(vih->dwBitErrorRate));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER, AvgTimePerFrame)) {
    const FrameTimeText t = FormatFrameTime(vih->AvgTimePerFrame);
    TraceW2(TEXT("    AvgTimePerFrame = %s s, %s f/s"), t.seconds, t.rate);
  }
  const BITMAPINFOHEADER &bmi = vih->bmiHeader;
  const size_t base = offsetof(VIDEOINFOHEADER, bmiHeader);
  auto inside = [&](size_t offset, size_t size) { return Inside(pmt, base + offset, size); };
  if (inside(offsetof(BITMAPINFOHEADER, biWidth), sizeof bmi.biWidth))
    TraceW2(TEXT("    bmiHeader.biWidth        = %d"), static_cast<int>(bmi.biWidth));
  if (inside(offsetof(BITMAPINFOHEADER, biHeight), sizeof bmi.biHeight))
    TraceW2(TEXT("    bmiHeader.biHeight       = %d"), static_cast<int>(bmi.biHeight));
  if (inside(offsetof(BITMAPINFOHEADER, biPlanes), sizeof bmi.biPlanes))
    TraceW2(TEXT("    bmiHeader.biPlanes       = %d"), static_cast<int>(bmi.biPlanes));
  if (inside(offsetof(BITMAPINFOHEADER, biBitCount), sizeof bmi.biBitCount))
    TraceW2(TEXT("    bmiHeader.biBitCount     = %d"), static_cast<int>(bmi.biBitCount));
  if (inside(offsetof(BITMAPINFOHEADER, biCompression), sizeof bmi.biCompression))
    TraceW2(TEXT("    bmiHeader.biCompression  = 0x%X"), static_cast<unsigned>(bmi.biCompression));
  if (inside(offsetof(BITMAPINFOHEADER, biSizeImage), sizeof bmi.biSizeImage))
    TraceW2(TEXT("    bmiHeader.biSizeImage    = %d"), static_cast<int>(bmi.biSizeImage));
  if (inside(offsetof(BITMAPINFOHEADER, biClrUsed), sizeof bmi.biClrUsed))
    TraceW2(TEXT("    bmiHeader.biClrUsed      = %d"), static_cast<int>(bmi.biClrUsed));
  if (inside(offsetof(BITMAPINFOHEADER, biClrImportant), sizeof bmi.biClrImportant))
    TraceW2(TEXT("    bmiHeader.biClrImportant = %d"), static_cast<int>(bmi.biClrImportant));
}

void DumpVideoInfo2(const AM_MEDIA_TYPE *pmt) {
  const auto *vih = reinterpret_cast<const VIDEOINFOHEADER2 *>(pmt->pbFormat);
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, rcSource))
    TraceW2(TEXT("    rcSource           = %d, %d, %d, %d"), static_cast<int>(vih->rcSource.left),
            static_cast<int>(vih->rcSource.top), static_cast<int>(vih->rcSource.right),
            static_cast<int>(vih->rcSource.bottom));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, rcTarget))
    TraceW2(TEXT("    rcTarget           = %d, %d, %d, %d"), static_cast<int>(vih->rcTarget.left),
            static_cast<int>(vih->rcTarget.top), static_cast<int>(vih->rcTarget.right),
            static_cast<int>(vih->rcTarget.bottom));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwBitRate))
    TraceW2(TEXT("    dwBitRate          = %d"), static_cast<int>(vih->dwBitRate));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwBitErrorRate))
    TraceW2(TEXT("    dwBitErrorRate     = %d"), static_cast<int>(vih->dwBitErrorRate));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, AvgTimePerFrame)) {
    const FrameTimeText t = FormatFrameTime(vih->AvgTimePerFrame);
    TraceW2(TEXT("    AvgTimePerFrame    = %s s, %s f/s"), t.seconds, t.rate);
  }
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwInterlaceFlags))
    TraceW2(TEXT("    dwInterlaceFlags   = %d"), static_cast<int>(vih->dwInterlaceFlags));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwCopyProtectFlags))
    TraceW2(TEXT("    dwCopyProtectFlags = %d"), static_cast<int>(vih->dwCopyProtectFlags));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwPictAspectRatioX))
    TraceW2(TEXT("    dwPictAspectRatioX = %d"), static_cast<int>(vih->dwPictAspectRatioX));
  if (FIELD_INSIDE(pmt, VIDEOINFOHEADER2, dwPictAspectRatioY))
    TraceW2(TEXT("    dwPictAspectRatioY = %d"), static_cast<int>(vih->dwPictAspectRatioY));
}

}  // namespace

void DumpMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return;
  // FormatGuid's text lives in one buffer: each GUID right before its line.
  TraceW2(TEXT("    majorType  = %s"), FormatGuid(&pmt->majortype));
  TraceW2(TEXT("    subType    = %s"), FormatGuid(&pmt->subtype));
  TraceW2(TEXT("    formatType = %s"), FormatGuid(&pmt->formattype));
  if (!pmt->pbFormat) return;
  if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx)) DumpWave(pmt);
  if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo)) {
    DumpVideoInfo(pmt);
  } else if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2)) {
    DumpVideoInfo2(pmt);
  }
}
