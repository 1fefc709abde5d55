// VideoWriter: a sink that writes the video it receives to a file. YUV
// layouts (I420/IYUV, YV12, NV12 as 4:2:0; YUY2, UYVY as 4:2:2) become a
// YUV4MPEG2 (.y4m) stream: a header with the size and frame rate, then each
// picture's planes in Y, U, V order, cropped to the picture's width. Every
// other layout (RGB, or any layout when Raw is asked for) is written raw:
// each sample's bytes exactly as they came (RGB bottom-up as DirectShow
// lays it out).
//
// A type change carried by a sample is taken if the picture keeps its size
// and layout; otherwise the stream ends with an error. A sample shorter than
// its picture ends the stream with VFW_E_BUFFER_UNDERFLOW.
//
// Ownership: COM reference counting; the writer owns its file, which stays
// open until the writer goes, so the graph may run it again after a stop.
// Threads: those of the renderer base.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "sinks/SinkBase.h"

namespace tp::sinks {

// {7C1D9A20-5B3E-4F61-9A8B-2C3D4E5F6072}
inline constexpr GUID CLSID_VideoWriter = {
    0x7C1D9A20, 0x5B3E, 0x4F61, {0x9A, 0x8B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x72}};

class VideoWriter final : public SinkBase {
 public:
  enum class Container { Auto, Raw };

  // Creates (or empties) the file at path: a writer with one reference for
  // the caller, or null with *phr set (the file cannot be written, or no
  // memory).
  static VideoWriter *Create(const std::filesystem::path &path, Container container, HRESULT *phr);

  // The picture layouts the writer knows; Other is written raw only.
  enum class Layout { Other, I420, YV12, NV12, YUY2, UYVY };
  // The layout of a video subtype.
  static Layout LayoutOf(REFGUID subtype);

  LONGLONG FramesWritten() const { return m_frames; }
  // True when the connection's layout is written as .y4m.
  bool WritesY4m();

  // Frame rate as numerator/denominator for the .y4m header from a frame
  // time: the first sample's length (as stamped, so after any rate change),
  // else the format's average frame time; 25/1 when neither is known. A
  // whole rate or one over 1001 whose period rounds to the frame time is
  // written as such (417,083 -> 24000:1001); otherwise 10^7 over the frame
  // time, reduced.
  static void FrameRate(REFERENCE_TIME frameTime, int *num, int *den);

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT OnMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) override;
  void OnEndOfStream() override { m_file.flush(); }
  void OnStopStreaming() override { m_file.flush(); }

 private:
  struct Picture {
    Layout layout = Layout::Other;
    LONG width = 0;     // visible width in pixels
    LONG height = 0;    // rows
    LONG stride = 0;    // bytes per luma (or packed) row
    LONG required = 0;  // bytes a sample must hold
    REFERENCE_TIME frameTime = 0;
  };
  VideoWriter(Container container) : SinkBase(CLSID_VideoWriter, TEXT("In")), m_container(container) {}
  // The picture a type describes; false when it cannot be written.
  static bool Describe(const AM_MEDIA_TYPE *pmt, Picture *picture);
  bool WriteHeader(REFERENCE_TIME firstLength);
  bool WritePlanes(const BYTE *data);

  const Container m_container;
  std::ofstream m_file;
  // Set under the state lock (OnMediaType) while no sample is being
  // consumed, read on the streaming thread.
  Picture m_picture;
  bool m_y4m = false;
  bool m_headerWritten = false;  // streaming thread only
  std::atomic<LONGLONG> m_frames{0};
};

}  // namespace tp::sinks
