// Tidepool.h: everything a host application needs to use the Tidepool source
// filter beyond the standard DirectShow interfaces.
//
// - CLSID_Tidepool: create the filter with CoCreateInstance (after the module
//   was registered with regsvr32), load a movie through IFileSourceFilter.
// - IQuillSampleGrabber: ask the filter for it (after Load) to receive every
//   decoded sample by callback. The pointer is not reference counted: it is
//   valid for the filter's lifetime, and AddRef/Release on it do nothing and
//   return 1. Its QueryInterface hands out the same pointer for IID_IUnknown
//   and IID_IQuillSampleGrabber, and E_NOINTERFACE with null for the rest.
// - IQuillLoadReport: ask the filter for it (after Load) to learn which
//   tracks of the movie got no pin because nothing on this system decodes
//   them, and their codecs. Counted as any interface of the filter.
// - IQuillSampleRecord: the record handed to the callback; it lives only for
//   the call. CopyTo writes a self-contained copy in the layout described by
//   the TpRecord* offsets below.
//
// Compiles as C++ against the Windows SDK headers and against Tidepool's own
// stand-in headers elsewhere.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstdint>

// {8E1D106D-D80C-4AB5-965B-193E135630C2}
static constexpr GUID CLSID_Tidepool = {0x8e1d106d, 0xd80c, 0x4ab5, {0x96, 0x5b, 0x19, 0x3e, 0x13, 0x56, 0x30, 0xc2}};
// {C5F3B1F5-C4C0-4DD4-9699-18C30515E6B1}
static constexpr GUID IID_IQuillSampleGrabber = {
    0xc5f3b1f5, 0xc4c0, 0x4dd4, {0x96, 0x99, 0x18, 0xc3, 0x05, 0x15, 0xe6, 0xb1}};

// {3B7C2E61-9A4D-4F0B-8C55-6E1D2A9F7B40}
static constexpr GUID IID_IQuillLoadReport = {
    0x3b7c2e61, 0x9a4d, 0x4f0b, {0x8c, 0x55, 0x6e, 0x1d, 0x2a, 0x9f, 0x7b, 0x40}};

// IFileSourceFilter::Load's results. S_OK only when at least one pin was
// made; otherwise the filter has no pins, a later Load is still accepted,
// and the result says why:
//   HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)  the file does not exist
//   E_ACCESSDENIED                            it exists but cannot be opened
//                                             for reading
//   HRESULT_FROM_WIN32(ERROR_READ_FAULT)      reading it failed
//   TIDEPOOL_E_RUNTIME_UNAVAILABLE            the movie runtime cannot be
//                                             found, loaded or bound
//   VFW_E_UNKNOWN_FILE_TYPE                   not a movie (empty, unknown
//                                             bytes)
//   VFW_E_INVALID_FILE_FORMAT                 a movie, but damaged or cut
//                                             short
//   VFW_E_UNSUPPORTED_VIDEO / _AUDIO          no track that a decoder on this
//                                             system can play; the first
//                                             track left out decides
//                                             (IQuillLoadReport names them)
//   VFW_E_UNSUPPORTED_STREAM                  a movie without video or sound
//   E_OUTOFMEMORY                             memory ran out
//   VFW_E_ALREADY_CONNECTED                   pins were made by an earlier
//                                             Load
// A read that fails while the pins stream (the file shrank, went away, or
// its device failed) is not taken for the movie's end: the pin delivers what
// it has, sends no end of stream, and the graph gets EC_ERRORABORT with
// HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) (the file ends before its data) or
// HRESULT_FROM_WIN32(ERROR_READ_FAULT); the other pin stops too, and both
// stay stopped until the filter is stopped.
//
// MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0A01): outside the range the
// graph's own codes use (0x0200 to 0x03FF).
static constexpr HRESULT TIDEPOOL_E_RUNTIME_UNAVAILABLE = static_cast<HRESULT>(0x80040A01L);

// What the last Load left out. A movie whose every video and sound track is
// left out does not load (VFW_E_UNSUPPORTED_VIDEO or VFW_E_UNSUPPORTED_AUDIO,
// no pins); the report still names its tracks.
struct IQuillLoadReport : public IUnknown {
  // Track `index` (from 0, in the order found: at most the first video track
  // and the first sound track) that got no pin because nothing on this
  // system decodes it: *majorType MEDIATYPE_Video or MEDIATYPE_Audio, *codec
  // the four-character code of its codec (video) or sound format (audio),
  // first character in the high byte. S_OK; S_FALSE with GUID_NULL and 0
  // past the last; E_POINTER for a null pointer.
  virtual HRESULT STDMETHODCALLTYPE GetMissingDecoder(ULONG index, GUID *majorType, DWORD *codec) = 0;
};

// The sample record given to the callback. Its one operation writes a
// self-contained copy into buffer (size bytes, layout below) and never
// writes past size: 0 on success, -1 when the record has no data, the
// buffer is null, the format block is longer than TpRecordMaxFormatSize, or
// the buffer is too small. A buffer that holds the header and format but not
// the data still gets the header, whose dataLength then says how many data
// bytes the copy needs: TpRecordDataOffset + dataLength is enough.
class IQuillSampleRecord {
 public:
  virtual LONG CopyTo(BYTE *buffer, unsigned size) = 0;

 protected:
  ~IQuillSampleRecord() = default;
};

// The host's callback, called on a pin's worker thread for every video frame
// (isAudio 0) and audio buffer (isAudio 1) the filter produces. formatChanged
// is 1 on the first video frame after the output format was (re)established,
// else 0. user1 and user2 are the values given to SetCallback, pointer-sized
// so that a host can pass an object. Video and audio calls may run at the
// same time on two threads.
typedef void(STDMETHODCALLTYPE *QuillSampleCallback)(LONG isAudio, IQuillSampleRecord *record, LONG formatChanged,
                                                     LONG_PTR user1, LONG_PTR user2);

struct IQuillSampleGrabber : public IUnknown {
  // Accepted and ignored; S_OK.
  virtual HRESULT STDMETHODCALLTYPE GrabberOption1(LONG value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GrabberOption2(LONG value) = 0;
  // Replaces the callback and its two values; a null callback stops the
  // calls. A call already under way may still reach the old callback. S_OK.
  virtual HRESULT STDMETHODCALLTYPE SetCallback(QuillSampleCallback callback, LONG_PTR user1, LONG_PTR user2) = 0;
  // Accepted and ignored; S_OK.
  virtual HRESULT STDMETHODCALLTYPE GrabberConfigure(LONG a, LONG b, LONG c, LONG d, LONG e) = 0;
};

// Layout of the buffer CopyTo writes: little-endian, packed, no padding.
//   header      int32   always 1
//   isAudio     uint8   1 audio, 0 video
//   startMs     double  start time in whole milliseconds (truncated)
//   stopMs      double  stop time in whole milliseconds (truncated)
//   subtype     GUID    video: the output subtype; audio: MEDIASUBTYPE_PCM
//   formatType  GUID    video: FORMAT_VideoInfo; audio: FORMAT_WaveFormatEx
//   formatSize  uint16  bytes of the format block at TpRecordFormat
//   dataLength  int32   bytes of sample data at dataOffset: exactly what
//                       the copy wrote there
//   dataOffset  int32   TpRecordDataOffset; written only when the sample
//                       holds data
//   format      formatSize bytes: video, the VIDEOINFOHEADER of the video
//               pin's type; audio, the 18-byte WAVEFORMATEX of the audio
//               pin's type (a record that knows no format has GUID_NULL in
//               both GUIDs and formatSize 0)
//   data        at TpRecordDataOffset. Audio: the PCM as delivered. Video:
//               the frame tightly packed. Packed layouts (YUY2, RGB32,
//               RGB24, RGB555, RGB565): |height| rows of the bitmap's
//               DWORD-aligned row size, in the order the delivered sample
//               holds them (bottom-up for RGB24, RGB555 and RGB565).
//               YV12 and I420: the Y plane (|height| rows of width bytes),
//               then the two chroma planes in the subtype's order
//               (|height|/2 rows of width/2 bytes each), top row first
//               whatever the sign of the height. Other subtypes: the
//               sample's bytes unchanged.
enum TpRecordOffsets : uint32_t {
  TpRecordHeader = 0,
  TpRecordIsAudio = 4,
  TpRecordStartMs = 5,
  TpRecordStopMs = 13,
  TpRecordSubtype = 21,
  TpRecordFormatType = 37,
  TpRecordFormatSize = 53,
  TpRecordDataLength = 55,
  TpRecordDataOffsetField = 59,
  TpRecordFormat = 63,
  TpRecordDataOffset = 4096,
  // The largest format block that fits before the data.
  TpRecordMaxFormatSize = TpRecordDataOffset - TpRecordFormat,
};
static_assert(TpRecordIsAudio == TpRecordHeader + 4);
static_assert(TpRecordStartMs == TpRecordIsAudio + 1);
static_assert(TpRecordStopMs == TpRecordStartMs + sizeof(double));
static_assert(TpRecordSubtype == TpRecordStopMs + sizeof(double));
static_assert(TpRecordFormatType == TpRecordSubtype + sizeof(GUID));
static_assert(TpRecordFormatSize == TpRecordFormatType + sizeof(GUID));
static_assert(TpRecordDataLength == TpRecordFormatSize + sizeof(uint16_t));
static_assert(TpRecordDataOffsetField == TpRecordDataLength + sizeof(int32_t));
static_assert(TpRecordFormat == TpRecordDataOffsetField + sizeof(int32_t));
static_assert(TpRecordMaxFormatSize == 4033);
