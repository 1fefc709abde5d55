// The graph test source: an in-process COM server ("tpgraphsource.dll" in
// the build's bin folder) with one source filter built on the framework's
// CSource, CSourceStream and CSourceSeeking, for tests of graph managers and
// sinks. IFileSourceFilter::Load reads a small text file that says which
// pins to make:
//
//   video <frames> <subtype> <width> <height>   subtype: RGB32 YV12 I420 YUY2
//   audio <blocks>                              16-bit stereo PCM, 8000 Hz
//   fail <sample>                               the video pin's FillBuffer fails there
//
// Video frames last 40 ms, audio blocks 20 ms (80 stereo frames). Byte i of
// sample n of a pin is SampleByte(n, i). Each pin seeks on its own (seeking
// restarts the pin at the first sample at or after the new start), stamps
// times relative to the start and divided by the rate, and counts late
// frames it is told of through IQualityControl::Notify.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

// {3E8D2C41-7B5A-4F0E-8C6D-1A2B3C4D5E70}
TP_SDK_GUID(CLSID_GraphTestSource, 0x3E8D2C41, 0x7B5A, 0x4F0E, 0x8C, 0x6D, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x70);

// {3E8D2C41-7B5A-4F0E-8C6D-1A2B3C4D5E71}
TP_SDK_GUID(IID_IGraphTestSource, 0x3E8D2C41, 0x7B5A, 0x4F0E, 0x8C, 0x6D, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x71);

// What the test source did, by pin name ("Video" or "Audio").
struct IGraphTestSource : public IUnknown {
  virtual LONG STDMETHODCALLTYPE Delivered(LPCWSTR pin) = 0;
  virtual LONG STDMETHODCALLTYPE QualityMessages(LPCWSTR pin) = 0;
};

namespace tp::test {

constexpr REFERENCE_TIME kGraphVideoFrame = 400000;  // 40 ms
constexpr REFERENCE_TIME kGraphAudioBlock = 200000;  // 20 ms
constexpr int kGraphAudioBlockBytes = 80 * 4;

inline uint8_t SampleByte(long long sample, long long index) {
  return static_cast<uint8_t>((sample * 7 + index * 13 + (index >> 8)) & 0xFF);
}

}  // namespace tp::test
