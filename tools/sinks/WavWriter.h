// WavWriter: a sink that writes the audio it receives to a RIFF WAVE file:
// "fmt " with the connection's WAVEFORMATEX (16 bytes for plain PCM, the
// whole record with its extension otherwise), then "data". The sizes in the
// header are made right at every end of stream and stop, and when the
// writer goes, so that a graph stopped early (an interrupt) leaves a valid
// file. Integer PCM, IEEE float and extensible formats are taken.
//
// A file cannot pass 4 GiB: the stream ends with an error before it would.
// A format change after data has been written is refused.
//
// Ownership: COM reference counting; the writer owns its file.
// Threads: those of the renderer base; the header is rewritten under the
// receive lock (end of stream, stop) or in the destructor.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <vector>

#include "sinks/SinkBase.h"

namespace tp::sinks {

// {7C1D9A20-5B3E-4F61-9A8B-2C3D4E5F6073}
inline constexpr GUID CLSID_WavWriter = {0x7C1D9A20, 0x5B3E, 0x4F61, {0x9A, 0x8B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x73}};

class WavWriter final : public SinkBase {
 public:
  // Creates (or empties) the file: a writer with one reference for the
  // caller, or null with *phr set.
  static WavWriter *Create(const std::filesystem::path &path, HRESULT *phr);

  LONGLONG BytesWritten() const { return m_dataBytes; }

 protected:
  ~WavWriter() override;
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT OnMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) override;
  void OnEndOfStream() override { Finish(); }
  void OnStopStreaming() override { Finish(); }

 private:
  WavWriter() : SinkBase(CLSID_WavWriter, TEXT("In")) {}
  // The "fmt " payload a type gives, or empty when it cannot be written.
  static std::vector<BYTE> FormatOf(const AM_MEDIA_TYPE *pmt);
  // Writes the header with the sizes so far (and the pad byte of an odd
  // data chunk); data goes on after the last byte of data.
  void Finish();

  std::fstream m_file;
  std::vector<BYTE> m_format;  // set under the state lock while nothing streams
  bool m_started = false;      // a header is in the file (streaming thread)
  std::atomic<LONGLONG> m_dataBytes{0};
};

}  // namespace tp::sinks
