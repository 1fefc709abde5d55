// The media type dump, line for line, including blocks whose own size
// fields claim more than the block holds.
#include "filter/DumpMediaType.h"

#include <dvdmedia.h>
#include <mmreg.h>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

std::string GuidText(const GUID &g) {
  std::string s;
  for (const WCHAR *p = FormatGuid(&g); *p; ++p) s += static_cast<char>(*p);
  return s;
}

struct DumpCase {
  const char *name;
  GUID format;
  std::vector<BYTE> block;
  std::vector<std::string> expectedAfterGuids;
};

template <typename T>
std::vector<BYTE> Bytes(const T &value, size_t length = sizeof(T)) {
  const auto *p = reinterpret_cast<const BYTE *>(&value);
  return std::vector<BYTE>(p, p + length);
}

std::vector<DumpCase> Cases() {
  VIDEOINFOHEADER vih{};
  vih.rcSource = {0, 0, 640, 480};
  vih.rcTarget = {0, 0, 640, 480};
  vih.dwBitRate = 1000;
  vih.AvgTimePerFrame = 400000;
  vih.bmiHeader = {sizeof(BITMAPINFOHEADER), 640, 480, 1, 32, BI_RGB, 640 * 480 * 4, 0, 0, 0, 0};
  const std::vector<std::string> bmi = {"    bmiHeader.biWidth        = 640", "    bmiHeader.biHeight       = 480",
                                        "    bmiHeader.biPlanes       = 1",   "    bmiHeader.biBitCount     = 32",
                                        "    bmiHeader.biCompression  = 0x0", "    bmiHeader.biSizeImage    = 1228800",
                                        "    bmiHeader.biClrUsed      = 0",   "    bmiHeader.biClrImportant = 0"};
  std::vector<std::string> rgb32 = {"    rcSource        = 0, 0, 640, 480", "    rcTarget        = 0, 0, 640, 480",
                                    "    dwBitRate       = 1000", "    dwBitErrorRate  = 0",
                                    "    AvgTimePerFrame = 0.040000 s, 25.00 f/s"};
  rgb32.insert(rgb32.end(), bmi.begin(), bmi.end());
  VIDEOINFOHEADER still = vih;
  still.AvgTimePerFrame = 0;
  std::vector<std::string> zeroRate = rgb32;
  zeroRate[4] = "    AvgTimePerFrame = 0.000000 s, 0.00 f/s";

  VIDEOINFOHEADER2 vih2{};
  vih2.rcSource = {0, 0, 320, 240};
  vih2.AvgTimePerFrame = 333667;
  vih2.dwPictAspectRatioX = 4;
  vih2.dwPictAspectRatioY = 3;
  const std::vector<std::string> v2 = {"    rcSource           = 0, 0, 320, 240",
                                       "    rcTarget           = 0, 0, 0, 0",
                                       "    dwBitRate          = 0",
                                       "    dwBitErrorRate     = 0",
                                       "    AvgTimePerFrame    = 0.033367 s, 29.97 f/s",
                                       "    dwInterlaceFlags   = 0",
                                       "    dwCopyProtectFlags = 0",
                                       "    dwPictAspectRatioX = 4",
                                       "    dwPictAspectRatioY = 3"};

  WAVEFORMATEXTENSIBLE wave{};
  wave.Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  const std::vector<std::string> pcm = {"    wFormatTag      = 0x1",   "    nChannels       = 2",
                                        "    nSamplesPerSec  = 44100", "    nAvgBytesPerSec = 176400",
                                        "    nBlockAlign     = 4",     "    wBitsPerSample  = 16"};
  WAVEFORMATEXTENSIBLE claims = wave;
  claims.Format.cbSize = 22;
  claims.Samples.wValidBitsPerSample = 16;
  std::vector<std::string> claimed = pcm;
  claimed.push_back("    cbSize              = 22");
  std::vector<std::string> claimedInside = claimed;
  claimedInside.push_back("    wValidBitsPerSample = 16");
  claimedInside.push_back("    dwChannelMask       = 0");

  return {
      {"Rgb32VideoInfo", FORMAT_VideoInfo, Bytes(vih), rgb32},
      {"VideoInfo2NoBitmapLines", FORMAT_VideoInfo2, Bytes(vih2), v2},
      {"PcmWithoutExtension", FORMAT_WaveFormatEx, Bytes(wave, 18), pcm},
      {"FormatNone", FORMAT_None, {}, {}},
      {"ZeroFrameTime", FORMAT_VideoInfo, Bytes(still), zeroRate},
      // cbSize claims an extension the 18-byte block does not hold.
      {"CbSizePastBlock", FORMAT_WaveFormatEx, Bytes(claims, 18), claimed},
      // The block ends inside the extension, before SubFormat.
      {"CbSizePartlyInside", FORMAT_WaveFormatEx, Bytes(claims, 30), claimedInside},
  };
}

class DumpTest : public FilterTest, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpTest, LinesInOrder) {
  const DumpCase &c = GetParam();
  AM_MEDIA_TYPE mt{};
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = MEDIASUBTYPE_RGB32;
  mt.formattype = c.format;
  std::vector<BYTE> block = c.block;  // the dump reads no further than cbFormat
  mt.cbFormat = static_cast<ULONG>(block.size());
  mt.pbFormat = block.empty() ? nullptr : block.data();
  TraceLines trace;
  ASSERT_TRUE(trace.Available());
  DumpMediaType(&mt);
  DumpMediaType(nullptr);
  std::vector<std::string> expected = {"    majorType  = " + GuidText(MEDIATYPE_Video),
                                       "    subType    = " + GuidText(MEDIASUBTYPE_RGB32),
                                       "    formatType = " + GuidText(c.format)};
  expected.insert(expected.end(), c.expectedAfterGuids.begin(), c.expectedAfterGuids.end());
  EXPECT_EQ(trace.Take(), expected);
}

INSTANTIATE_TEST_SUITE_P(Types, DumpTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<DumpCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::test
