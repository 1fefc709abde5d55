// SdlVideoRenderer: the player's video renderer. In real time it waits for
// each frame's stamp on the graph's clock and hands the frame to a
// VideoWindow; a frame that comes more than one frame's length late is
// dropped instead (counted in Stats::dropped). Every frame more than
// kLateTolerance late is reported upstream with IQualityControl::Notify, so
// the source's lateness handling sees it.
//
// It takes YV12, I420/IYUV and YUY2 with VIDEOINFOHEADER, planar layouts of
// even size only; a sample shorter than its picture ends the stream with
// VFW_E_BUFFER_UNDERFLOW.
//
// Ownership: COM reference counting; the window is not owned and must
// outlive the streaming (stop the graph before it goes). Threads: those of
// the renderer base; the picture is set under the state lock while nothing
// streams and read on the streaming thread.
#pragma once

#include "sinks/SinkBase.h"
#include "sinks/VideoWindow.h"

namespace tp::sinks {

// {7C1D9A20-5B3E-4F61-9A8B-2C3D4E5F6075}
inline constexpr GUID CLSID_SdlVideoRenderer = {
    0x7C1D9A20, 0x5B3E, 0x4F61, {0x9A, 0x8B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x75}};

class SdlVideoRenderer final : public SinkBase {
 public:
  // A renderer showing into window, in real-time mode, with one reference
  // for the caller; null without memory.
  static SdlVideoRenderer *Create(VideoWindow *window);

  // The picture a type describes; Layout::None when the renderer cannot
  // show it.
  static VideoPicture Describe(const AM_MEDIA_TYPE *pmt);

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT OnMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) override;
  void OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME, double dRate) override {
    m_segmentStart = tStart;
    m_segmentRate = dRate > 0 ? dRate : 1.0;
  }
  bool DropLate(REFERENCE_TIME lateness, REFERENCE_TIME start, REFERENCE_TIME stop) override;

 private:
  explicit SdlVideoRenderer(VideoWindow *window) : SinkBase(CLSID_SdlVideoRenderer, TEXT("In")), m_window(window) {}

  VideoWindow *const m_window;
  VideoPicture m_picture;
  // Streaming thread only: the segment's start in movie time and its rate.
  REFERENCE_TIME m_segmentStart = 0;
  double m_segmentRate = 1.0;
};

}  // namespace tp::sinks
