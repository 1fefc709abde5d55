// CSubtitleSourceStream: the "Subtitle" output pin, made when the movie has
// a text track (and the registry does not turn it off: SubtitlePinWanted).
// Offers one type: major type Subtitle, subtype UTF8, a SUBTITLEINFO format
// block naming the track's language and stream name. One sample per cue,
// stamped with its start and end, holding the cue's text in UTF-8 (styles
// left out, lines separated by "\n"), no terminator.
//
// Threads: as the other pins.
#pragma once

#include <string>

#include "filter/CMediaSourceStream.h"

// {E487EB08-6B26-4BE9-9DD3-993434D313FD}
inline constexpr GUID kMediaTypeSubtitle = {
    0xE487EB08, 0x6B26, 0x4BE9, {0x9D, 0xD3, 0x99, 0x34, 0x34, 0xD3, 0x13, 0xFD}};
// {87C0B230-03A8-4FDF-8010-B27A5848200D}
inline constexpr GUID kSubtypeUtf8 = {0x87C0B230, 0x03A8, 0x4FDF, {0x80, 0x10, 0xB2, 0x7A, 0x58, 0x48, 0x20, 0x0D}};
// {A33D2F7D-96BC-4337-B23B-A8B9FBC295E9}
inline constexpr GUID kFormatSubtitleInfo = {
    0xA33D2F7D, 0x96BC, 0x4337, {0xB2, 0x3B, 0xA8, 0xB9, 0xFB, 0xC2, 0x95, 0xE9}};

// The format block of a subtitle stream.
struct SUBTITLEINFO {
  DWORD dwOffset;        // where the stream's own header would start: after this block
  CHAR IsoLang[4];       // ISO 639-2, NUL-terminated
  WCHAR TrackName[256];  // NUL-terminated
};
static_assert(sizeof(SUBTITLEINFO) == 520);

// False when HKEY_CURRENT_USER\Software\Tidepool "SubtitlePin" (REG_DWORD)
// is 0: hosts that render every pin and cannot render text then get none.
bool SubtitlePinWanted();

class CSubtitleSourceStream : public CMediaSourceStream {
 public:
  // language: ISO 639-2 ("und" when unknown); name: the stream's name.
  CSubtitleSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName,
                        IMediaExtraction *pExtraction, const std::string &language,
                        const std::basic_string<WCHAR> &name);

  HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
  // Subtitle, UTF8 and FORMAT_SubtitleInfo with a whole SUBTITLEINFO.
  HRESULT CheckMediaType(const CMediaType *pMediaType) override;

 protected:
  HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) override;
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) override;

 private:
  std::string m_language;
  std::basic_string<WCHAR> m_name;
};
