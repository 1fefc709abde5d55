// The copy record, read back by a host-side reader (RecordReader.h) that
// knows only the documented offsets: every layout the copy distinguishes,
// the size rules, and the promise never to write past the buffer.
#include "filter/AVSampleDataCopy.h"

#include <windows.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>
#include <strmif.h>
#include <uuids.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/EngineTestEnv.h"
#include "RecordReader.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"

namespace filtertest {
namespace {

constexpr GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr BYTE kUnwritten = 0xcd;
constexpr BYTE kPadding = 0xee;

// The value of byte c of row r of plane p in every test picture.
BYTE Pixel(int p, int r, int c) { return static_cast<BYTE>(p * 97 + r * 13 + c * 7 + 1); }

enum class Source { Planes, Sample };

struct Case {
  const char *name;
  bool audio;
  GUID subtype;
  GUID formatType;
  LONG width;
  LONG height;
  WORD bitCount;
  Source source;
  LONG bottomUp;
  long sampleLength;  // -1: the picture's own bytes
  ULONG cbFormat;     // 0: the block's own size
  long sizeDelta;     // buffer = 4096 + expected data bytes + sizeDelta
  long absoluteSize;  // > 0: this buffer size instead
  LONG result;
  long dataLength;  // expected; -1: the expected image's size
  bool headerWritten;
  const char *trace;  // expected in the trace, or ""
};

// A record over a test picture, and the image a host must find in its copy.
struct Fixture {
  std::vector<BYTE> format;
  AM_MEDIA_TYPE type{};
  std::vector<std::vector<BYTE>> planes;
  PlaneLayout layout{};
  std::vector<BYTE> sampleBytes;
  WAVEFORMATEX wave{};
  std::vector<BYTE> expected;
};

void Build(const Case &c, Fixture *f) {
  const int n = c.height < 0 ? -c.height : c.height;
  if (c.audio) {
    f->wave = WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    for (int i = 0; i < 100; ++i) f->sampleBytes.push_back(Pixel(0, 0, i));
    f->expected = f->sampleBytes;
  } else {
    const bool v2 = c.formatType == FORMAT_VideoInfo2;
    f->format.assign(v2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER), 0);
    BITMAPINFOHEADER bmi{};
    bmi.biSize = sizeof bmi;
    bmi.biWidth = c.width;
    bmi.biHeight = c.height;
    bmi.biBitCount = c.bitCount;
    std::memcpy(f->format.data() + (v2 ? 72 : 48), &bmi, sizeof bmi);
    if (c.cbFormat > f->format.size()) f->format.resize(c.cbFormat);
    f->type.majortype = MEDIATYPE_Video;
    f->type.subtype = c.subtype;
    f->type.formattype = c.formatType;
    f->type.cbFormat = c.cbFormat != 0 ? c.cbFormat : static_cast<ULONG>(f->format.size());
    f->type.pbFormat = f->format.data();

    const bool planar = c.subtype == MEDIASUBTYPE_YV12 || c.subtype == kI420;
    const int planeCount = planar ? 3 : 1;
    const int rowBytes = (c.bitCount * c.width + 31) / 32 * 4;
    for (int p = 0; p < planeCount; ++p) {
      const int w = planar ? (p == 0 ? c.width : c.width / 2) : rowBytes;
      const int rows = p == 0 ? n : n / 2;
      const int pitch = w + 5;  // padded rows in the decoded picture
      std::vector<BYTE> plane(static_cast<size_t>(pitch) * rows, kPadding);
      for (int r = 0; r < rows; ++r) {
        for (int x = 0; x < w; ++x) plane[r * pitch + x] = Pixel(p, r, x);
      }
      for (int r = 0; r < rows; ++r) {
        const int from = !planar && c.bottomUp == 1 ? rows - 1 - r : r;
        for (int x = 0; x < w; ++x) f->expected.push_back(Pixel(p, from, x));
      }
      f->layout.planes[p] = plane.data();
      f->layout.strides[p] = pitch;
      f->planes.push_back(std::move(plane));
    }
    // Without planes the sample holds the picture tightly, in output order.
    f->sampleBytes = c.source == Source::Sample ? f->expected : f->planes[0];
    if (c.subtype == MEDIASUBTYPE_RGB8) f->expected = f->sampleBytes;
  }
  if (c.sampleLength >= 0) f->sampleBytes.resize(static_cast<size_t>(c.sampleLength), kPadding);
}

class CopyTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { InstallAVSampleDataCopy(); }
};

TEST_P(CopyTest, HostReadsWhatTheRecordHolds) {
  const Case &c = GetParam();
  Fixture f;
  Build(c, &f);
  HRESULT hr = S_OK;
  CMediaSample sample(TEXT("test"), nullptr, &hr, f.sampleBytes.data(), static_cast<LONG>(f.sampleBytes.size()));
  sample.SetActualDataLength(static_cast<LONG>(f.sampleBytes.size()));
  AVSampleData record;
  record.isAudio = c.audio ? 1 : 0;
  record.startTime = 12345678;
  record.stopTime = -12345;
  record.sample = &sample;
  record.mediaType = c.audio ? nullptr : &f.type;
  record.planes = !c.audio && c.source == Source::Planes ? &f.layout : nullptr;
  record.bottomUp = c.bottomUp;
  record.audioFormat = c.audio && c.subtype == MEDIASUBTYPE_PCM ? &f.wave : nullptr;

  const size_t size = c.absoluteSize > 0
                          ? static_cast<size_t>(c.absoluteSize)
                          : static_cast<size_t>(4096 + static_cast<long>(f.expected.size()) + c.sizeDelta);
  std::vector<BYTE> buffer(size + 64, kUnwritten);
  enginetest::TraceCapture trace;
  IQuillSampleRecord *host = &record;
  EXPECT_EQ(host->CopyTo(buffer.data(), static_cast<unsigned>(size)), c.result);
  for (size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kUnwritten) << "written past the size at " << i;
  buffer.resize(size);
  if (*c.trace != '\0') {
    EXPECT_NE(trace.Take().find(c.trace), std::string::npos) << c.trace;
  }

  if (!c.headerWritten) {
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(buffer[i], kUnwritten) << "header written at " << i;
    return;
  }
  const RecordView v = ReadRecord(buffer);
  EXPECT_EQ(v.header, 1);
  EXPECT_EQ(v.isAudio, c.audio ? 1 : 0);
  EXPECT_EQ(v.startMs, 1234.0);
  EXPECT_EQ(v.stopMs, -1.0);
  EXPECT_EQ(v.subtype, c.subtype);
  EXPECT_EQ(v.formatType, c.formatType);
  if (c.audio) {
    const bool known = c.subtype == MEDIASUBTYPE_PCM;
    ASSERT_EQ(v.formatSize, known ? 18 : 0);
    if (known) {
      EXPECT_EQ(0, std::memcmp(v.format.data(), &f.wave, 18));
    }
  } else {
    EXPECT_EQ(v.format, std::vector<BYTE>(f.format.begin(), f.format.begin() + f.type.cbFormat));
  }
  const long dataLength = c.dataLength >= 0 ? c.dataLength : static_cast<long>(f.expected.size());
  EXPECT_EQ(v.dataLength, dataLength);
  if (c.result != 0) {
    for (size_t i = 4096; i < size; ++i) ASSERT_EQ(buffer[i], kUnwritten) << "data written at " << i;
    return;
  }
  if (f.sampleBytes.empty()) {
    EXPECT_NE(v.dataOffset, 4096);
    return;
  }
  EXPECT_EQ(v.dataOffset, 4096);
  if (c.dataLength < 0) {
    EXPECT_EQ(v.data, f.expected);
  }
}

const GUID kNone = GUID_NULL;
const GUID kVih = FORMAT_VideoInfo;
const GUID kVih2 = FORMAT_VideoInfo2;
const GUID kWave = FORMAT_WaveFormatEx;
const GUID kPcm = MEDIASUBTYPE_PCM;

// name, audio, subtype, format type, w, h, bpp, source, bottomUp, sample
// length, cbFormat, size delta, absolute size, result, dataLength, header
// written, trace
INSTANTIATE_TEST_SUITE_P(
    Layouts, CopyTest,
    ::testing::Values(
        Case{"Rgb24BottomUp", false, MEDIASUBTYPE_RGB24, kVih, 3, 2, 24, Source::Planes, 1, -1, 0, 0, 0, 0, -1, true,
             ""},
        Case{"Yuy2TopDown", false, MEDIASUBTYPE_YUY2, kVih, 4, 3, 16, Source::Planes, 0, -1, 0, 0, 0, 0, -1, true, ""},
        Case{"Rgb32FromSample", false, MEDIASUBTYPE_RGB32, kVih, 2, 2, 32, Source::Sample, 0, -1, 0, 0, 0, 0, -1, true,
             ""},
        Case{"Rgb565NegativeHeightInfo2", false, MEDIASUBTYPE_RGB565, kVih2, 5, -2, 16, Source::Planes, 0, -1, 0, 0, 0,
             0, -1, true, ""},
        Case{"Rgb555BottomUp", false, MEDIASUBTYPE_RGB555, kVih, 3, 3, 16, Source::Planes, 1, -1, 0, 0, 0, 0, -1, true,
             ""},
        Case{"Yv12Planes", false, MEDIASUBTYPE_YV12, kVih, 4, 4, 12, Source::Planes, 0, -1, 0, 0, 0, 0, -1, true, ""},
        Case{"I420NegativeHeight", false, kI420, kVih, 6, -4, 12, Source::Planes, 0, -1, 0, 0, 0, 0, -1, true, ""},
        Case{"I420FromSample", false, kI420, kVih, 4, 4, 12, Source::Sample, 0, -1, 0, 0, 0, 0, -1, true,
             "SrcStride(4)"},
        Case{"OtherSubtypeUnchanged", false, MEDIASUBTYPE_RGB8, kVih, 4, 2, 8, Source::Planes, 0, -1, 0, 0, 0, 0, -1,
             true, "Media type we ignored"},
        Case{"PackedWithoutBitmapHeader", false, MEDIASUBTYPE_RGB24, kNone, 3, 2, 24, Source::Planes, 0, -1, 0, 0, 0, 0,
             0, true, ""},
        Case{"AudioPcm", true, kPcm, kWave, 0, 0, 0, Source::Sample, 0, -1, 0, 0, 0, 0, -1, true, ""},
        Case{"AudioWithoutFormat", true, kNone, kNone, 0, 0, 0, Source::Sample, 0, -1, 0, 0, 0, 0, -1, true, ""},
        Case{"EmptySample", true, kPcm, kWave, 0, 0, 0, Source::Sample, 0, 0, 0, 0, 0, 0, 0, true, ""},
        Case{"OneByteShort", true, kPcm, kWave, 0, 0, 0, Source::Sample, 0, -1, 0, -1, 0, -1, -1, true,
             "too small(4195)"},
        // The image is larger than the sample's length says: the size test
        // must be made against what the copy writes.
        Case{"PlanarLargerThanSample", false, MEDIASUBTYPE_YV12, kVih, 4, 4, 12, Source::Planes, 0, 1, 0, -1, 0, -1, -1,
             true, "too small(4119)"},
        Case{"PackedSampleShorterThanImage", false, MEDIASUBTYPE_RGB24, kVih, 3, 2, 24, Source::Sample, 0, 20, 0, 0, 0,
             -1, -1, true, "shorter than its image(20)"},
        Case{"BufferSmallerThanHeader", true, kPcm, kWave, 0, 0, 0, Source::Sample, 0, -1, 0, 0, 70, -1, -1, false,
             "too small(70)"},
        Case{"FormatBlockTooLarge", false, MEDIASUBTYPE_RGB24, kVih, 3, 2, 24, Source::Planes, 0, -1, 4034, 0, 0, -1,
             -1, false, "too large for the av sample buffer(4034)"},
        Case{"LargestFormatBlock", false, MEDIASUBTYPE_RGB24, kVih, 3, 2, 24, Source::Planes, 0, -1, 4033, 0, 0, 0, -1,
             true, ""}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(Copy, NullBufferFailsWithTrace) {
  InstallAVSampleDataCopy();
  BYTE byte = 0;
  HRESULT hr = S_OK;
  CMediaSample sample(TEXT("test"), nullptr, &hr, &byte, 1);
  AVSampleData record;
  record.sample = &sample;
  enginetest::TraceCapture trace;
  EXPECT_EQ(record.CopyTo(nullptr, 8192), -1);
  EXPECT_NE(trace.Take().find("out of sample buffer"), std::string::npos);
}

}  // namespace
}  // namespace filtertest
