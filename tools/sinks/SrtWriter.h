// SrtWriter: a sink that writes the subtitle cues it receives (major type
// Subtitle, subtype UTF8: one cue's text per sample) as a SubRip file: the
// cue's number, its start and stop stamps ("00:00:01,500 --> ..."), the
// text, a blank line. Samples without stamps or text are skipped.
//
// Ownership: COM reference counting; the writer owns its file.
// Threads: those of the renderer base; Consume under the receive lock.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "sinks/SinkBase.h"

namespace tp::sinks {

// {5E2B7C41-8D3A-4B6F-9C1E-3F4A5B6C7D82}
inline constexpr GUID CLSID_SrtWriter = {0x5E2B7C41, 0x8D3A, 0x4B6F, {0x9C, 0x1E, 0x3F, 0x4A, 0x5B, 0x6C, 0x7D, 0x82}};
// The subtitle stream types: major type Subtitle, subtype UTF8.
inline constexpr GUID kSubtitleMajor = {0xE487EB08, 0x6B26, 0x4BE9, {0x9D, 0xD3, 0x99, 0x34, 0x34, 0xD3, 0x13, 0xFD}};
inline constexpr GUID kSubtitleUtf8 = {0x87C0B230, 0x03A8, 0x4FDF, {0x80, 0x10, 0xB2, 0x7A, 0x58, 0x48, 0x20, 0x0D}};

class SrtWriter final : public SinkBase {
 public:
  // Creates (or empties) the file: a writer with one reference, or null
  // with the failure in *phr.
  static SrtWriter *Create(const std::filesystem::path &path, HRESULT *phr);

  // "HH:MM:SS,mmm" for a stamp (100 ns units, rounded to the millisecond).
  static std::string Timestamp(REFERENCE_TIME t);

  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) override;

 private:
  SrtWriter() : SinkBase(CLSID_SrtWriter, TEXT("In")) {}
  std::ofstream m_file;
  int m_cues = 0;
};

}  // namespace tp::sinks
