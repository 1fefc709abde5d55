// Movies whose track header turns the picture (quarter turns, mirrors): every
// frame of `tidepool extract --video`, in each of the seven layouts, against
// ffmpeg's decode shown the way the matrix says, at the displayed (swapped)
// size; `tidepool info` reports that size; the registry value that asks for
// the stored orientation gives the picture and size as stored.
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdint>
#include <utility>
#include <cstdlib>
#include <ostream>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MiniJson.h"
#include "RawFrames.h"
#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileBytes;
using tp::test::ff::ReadFileText;
using tp::test::ff::ShellQuote;
using tp::test::ff::WriteFileBytes;
using namespace rawframes;

namespace {

// ffmpeg 5.1's "rotate" stream tag writes these matrices.
constexpr int32_t kOne = 0x10000;
struct Matrix {
  int32_t a, b, c, d;
};

struct Turn {
  const char *name;
  const char *encode;  // ffmpeg arguments that make the stored movie
  int width, height;   // as stored
  const char *rotate;  // "rotate" tag for `-c copy`, or null: `matrix` is written into 'tkhd'
  Matrix matrix;
  // How ffmpeg shows it: true for its own autorotation (ffmpeg 5.1 does not
  // turn mirrored matrices itself), else `turn` on the undecorated picture.
  bool autorotate;
  // The same turn as a filter. The 16-bit RGB layouts are compared with the
  // picture converted first and turned after (as the world is): the
  // conversion dithers by position, so the other order moves the pattern.
  const char *turn;
  bool swaps;
};

constexpr const char *kAvc =
    "-f lavfi -i testsrc2=size=320x180:rate=25 -t 0.4 -c:v libx264 -bf 2 -g 6 -pix_fmt yuv420p";

const Turn kTurns[] = {
    {"ccw90.mp4", kAvc, 320, 180, "90", {}, true, "transpose=cclock", true},
    {"turn180.mp4", kAvc, 320, 180, "180", {}, true, "hflip,vflip", false},
    {"cw90.mp4", kAvc, 320, 180, "270", {}, true, "transpose=clock", true},
    {"mirror.mp4", kAvc, 320, 180, nullptr, {-kOne, 0, 0, kOne}, false, "hflip", false},
    {"transpose.mp4", kAvc, 320, 180, nullptr, {0, kOne, kOne, 0}, false, "transpose=cclock_flip", true},
    // Odd sizes: the turned picture keeps the top-left corner, the even
    // rounding repeats its last column and row.
    {"odd_cw90.mov",
     "-f lavfi -i testsrc=size=321x241:rate=25 -t 0.4 -c:v mpeg4 -bf 2 -g 6 -q:v 3",
     321,
     241,
     "270",
     {},
     true,
     "transpose=clock",
     true},
};

void PrintTo(const Turn &t, std::ostream *os) { *os << t.name; }

int System(const std::string &command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Overwrites the matrix of the first track header.
bool WriteTrackMatrix(const std::string &path, const Matrix &m) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  const size_t tkhd = text.find("tkhd");
  if (tkhd == std::string::npos || tkhd < 4 || tkhd + 4 + 52 + 36 > bytes.size()) return false;
  const size_t at = tkhd + 4 + (bytes[tkhd + 4] == 1 ? 52 : 40);
  const int32_t values[9] = {m.a, m.b, 0, m.c, m.d, 0, 0, 0, 0x40000000};
  for (int i = 0; i < 9; ++i) {
    for (int k = 0; k < 4; ++k) bytes[at + 4 * i + k] = uint8_t(uint32_t(values[i]) >> (24 - 8 * k));
  }
  return WriteFileBytes(path, bytes);
}

// The bytes of one delivered frame at the even-rounded size W x H.
size_t FrameBytes(const Layout &layout, int W, int H) {
  if (layout.planar) return size_t(W) * H * 3 / 2;
  const int bits = layout.bytesPerPixel * 8;
  return size_t((bits * W + 31) / 32 * 4) * H;
}

class Orientation : public ::testing::TestWithParam<Turn> {
 protected:
  static fs::path dir;

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("tp_orient_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    // The tools and this process share one registry store.
    setenv("TP_REGISTRY_FILE", (dir / "registry.reg").c_str(), 1);
    const std::string bin = std::string(TP_BUILD_DIR) + "/bin/";
    ASSERT_EQ(0, Run(ShellQuote(bin + "regsvr32") + " /s " + ShellQuote(bin + "Tidepool.ax")));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static int Run(const std::string &command) {
    return System("TP_REGISTRY_FILE=" + ShellQuote((dir / "registry.reg").string()) + " " + command + " 2>" +
                  ShellQuote((dir / "stderr.txt").string()));
  }
  static std::string Tool(const std::string &args) {
    return ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " " + args;
  }
  static std::string MakeMovie(const Turn &t) {
    const fs::path file = dir / t.name;
    if (fs::exists(file)) return file.string();
    const fs::path stored = dir / ("stored_" + std::string(t.name));
    if (!tp::test::ff::RunFfmpeg(std::string(t.encode) + " " + ShellQuote(stored.string()))) return {};
    if (t.rotate != nullptr) {
      if (!tp::test::ff::RunFfmpeg("-i " + ShellQuote(stored.string()) + " -c copy -metadata:s:v:0 rotate=" + t.rotate +
                                   " " + ShellQuote(file.string()))) {
        return {};
      }
    } else {
      fs::copy_file(stored, file);
      if (!WriteTrackMatrix(file.string(), t.matrix)) return {};
    }
    return file.string();
  }
  // ffmpeg's decode of `file` in `format`, through `filter` (empty: its own
  // autorotation; "none": as stored).
  static std::string Reference(const std::string &file, const std::string &filter, const char *format) {
    std::string tag = filter;
    for (char &c : tag) {
      if (c == ',' || c == '=') c = '-';
    }
    const fs::path out = dir / (fs::path(file).filename().string() + "_" + tag + "_" + format + ".raw");
    if (!fs::exists(out)) {
      const std::string turn = filter.empty() ? "" : "-noautorotate ";
      const std::string vf = filter.empty() || filter == "none" ? "" : " -vf " + filter;
      EXPECT_TRUE(tp::test::ff::RunFfmpeg(turn + "-i " + ShellQuote(file) + " -map 0:v:0 -fps_mode passthrough" + vf +
                                          " -f rawvideo -pix_fmt " + format + " " + ShellQuote(out.string())));
    }
    return ReadFileText(out);
  }
  static std::string Extract(const std::string &file, const char *subtype) {
    const fs::path out = dir / (fs::path(file).filename().string() + "_" + subtype);
    fs::remove_all(out);
    EXPECT_EQ(Run(Tool("extract " + ShellQuote(file) + " --video " + subtype + " --out " + ShellQuote(out.string()))),
              0)
        << ReadFileText(dir / "stderr.txt");
    return ReadFileText(out / "video.raw");
  }
  // The width and height of the video pin's first type, as `tidepool info`
  // reports them.
  static std::pair<int, int> InfoSize(const std::string &file) {
    const fs::path json = dir / "info.json";
    EXPECT_EQ(Run(Tool("info " + ShellQuote(file) + " --json > " + ShellQuote(json.string()))), 0);
    minijson::Value info;
    EXPECT_TRUE(minijson::Parser(ReadFileText(json)).Parse(&info));
    if (!info.Has("pins")) return {0, 0};
    for (const minijson::Value &pin : info["pins"].items) {
      if (pin["name"].text != "Video" || pin["types"].items.empty()) continue;
      const minijson::Value &type = pin["types"][0];
      return {int(type["width"].Int()), int(type["height"].Int())};
    }
    return {0, 0};
  }
  // Every frame of ours against the reference at the displayed size w x h.
  static void CompareAll(const Layout &layout, const std::string &ours, const std::string &ref, int w, int h,
                         bool yuv420) {
    const int W = (w + 1) / 2 * 2, H = (h + 1) / 2 * 2;
    const size_t ourFrame = FrameBytes(layout, W, H);
    ASSERT_GT(ours.size(), 0u);
    ASSERT_EQ(ours.size() % ourFrame, 0u) << "frames of " << W << " x " << H;
    const size_t frames = ours.size() / ourFrame;
    ASSERT_EQ(ref.size() % frames, 0u) << "ffmpeg decoded a different number of frames";
    const size_t refFrame = ref.size() / frames;
    for (size_t f = 0; f < frames; ++f) {
      Error luma, chroma;
      CompareFrame(layout, ours, f * ourFrame, ourFrame, ref, f * refFrame, refFrame, w, h, W, H, &luma, &chroma);
      if (layout.planar && yuv420) {
        ASSERT_EQ(luma.differing + chroma.differing, 0u) << "frame " << f << " is not bit-exact";
      } else {
        ASSERT_GE(luma.Psnr(), 40.0) << "frame " << f << " (luma)";
        if (chroma.count > 0) {
          ASSERT_GE(chroma.Psnr(), 40.0) << "frame " << f << " (chroma)";
        }
      }
    }
  }
};
fs::path Orientation::dir;

TEST_P(Orientation, EveryLayout_EqualsFfmpegTurned_AtTheDisplayedSize) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const Turn &t = GetParam();
  const std::string file = MakeMovie(t);
  ASSERT_FALSE(file.empty()) << "could not make " << t.name;
  const int w = t.swaps ? t.height : t.width, h = t.swaps ? t.width : t.height;
  EXPECT_EQ(InfoSize(file), std::make_pair((w + 1) / 2 * 2, (h + 1) / 2 * 2));
  for (const Layout &layout : kLayouts) {
    SCOPED_TRACE(layout.subtype);
    const bool sixteen = layout.rgb && layout.bytesPerPixel == 2;
    const std::string filter = sixteen        ? "format=" + std::string(layout.ffmpegFormat) + "," + t.turn
                               : t.autorotate ? std::string()
                                              : std::string(t.turn);
    CompareAll(layout, Extract(file, layout.subtype), Reference(file, filter, layout.ffmpegFormat), w, h, true);
  }
}

INSTANTIATE_TEST_SUITE_P(Turns, Orientation, ::testing::ValuesIn(kTurns),
                         [](const ::testing::TestParamInfo<Turn> &info) {
                           std::string n = info.param.name;
                           for (char &c : n) {
                             if (c == '.') c = '_';
                           }
                           return n;
                         });

// HKEY_CURRENT_USER\Software\Tidepool "StoredOrientation" = 1: the picture and
// its size as stored; removing the value turns it again.
TEST_F(Orientation, StoredOrientationValue_DeliversThePictureAsStored) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const Turn &t = kTurns[0];
  const std::string file = MakeMovie(t);
  ASSERT_FALSE(file.empty());
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Tidepool"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const DWORD stored = 1;
  ASSERT_EQ(RegSetValueExW(key, TEXT("StoredOrientation"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&stored),
                           sizeof stored),
            ERROR_SUCCESS);
  EXPECT_EQ(InfoSize(file), std::make_pair(t.width, t.height));
  CompareAll(kLayouts[2], Extract(file, "I420"), Reference(file, "none", "yuv420p"), t.width, t.height, true);
  ASSERT_EQ(RegDeleteValueW(key, TEXT("StoredOrientation")), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(InfoSize(file), std::make_pair(t.height, t.width));
}

}  // namespace
