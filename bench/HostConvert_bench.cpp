// The whole graph path, as a user runs it: `tidepool convert FILE --discard
// --format YV12|RGB32` (the graph manager, the registered source filter and
// discarding renderers on both pins, no clock) on a 20 s 1280x720 H.264
// (B-frames) + AAC movie, beside `ffmpeg -threads 1 -i FILE -f null -`,
// which decodes both streams of the same file, and beside ffmpeg with its
// default threads converting to the same layout (`-pix_fmt yuv420p` /
// `bgra`). Both sides are whole processes, timed from start to exit; peak
// resident memory from wait4. Tables at the end give the rate ratios
// (targets 0.95 against one thread, 1.0 against default threads) and the
// peaks (target: ours no more than ffmpeg's).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "SideBySide.h"

namespace {

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Corpus {
  std::string dir, movie;
  bool ok = false;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-host-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    movie = dir + "/av_720p.mp4";
    const std::string make = std::string("ffmpeg -nostdin -v error -y ") + sidebyside::kMovieArgs + " " + Quote(movie);
    setenv("TP_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
    const std::string bin = TP_BIN_DIR;
    const std::string reg = Quote(bin + "/regsvr32") + " /s " + Quote(bin + "/Tidepool.ax");
    ok = std::system(make.c_str()) == 0 && std::system(reg.c_str()) == 0;
  }
  ~Corpus() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

using sidebyside::Figures;
using sidebyside::Record;

// Runs a program (standard output and error to /dev/null); its wall time,
// peak resident memory and whether it exited 0.
bool RunProgram(const std::vector<std::string> &args, Figures *figures) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return sidebyside::RunChild(
      [&](int) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) return 126;
        execvp(argv[0], argv.data());
        return 127;
      },
      figures);
}

void Convert(benchmark::State &state, const std::string &name, const std::string &layout) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie or register the filter");
  for (auto _ : state) {
    Figures f;
    if (!RunProgram({std::string(TP_BIN_DIR) + "/tidepool", "convert", c.movie, "--discard", "--format", layout}, &f)) {
      return state.SkipWithError("tidepool convert failed");
    }
    Record(state, name, f);
  }
}

void Ffmpeg(benchmark::State &state) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie or register the filter");
  sidebyside::RunFfmpeg(state, c.movie);
}

void FfmpegThreaded(benchmark::State &state, const std::string &layout) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie or register the filter");
  sidebyside::RunFfmpegThreaded(state, c.movie, layout);
}

}  // namespace

int main(int argc, char **argv) { return sidebyside::Main(argc, argv, "Convert/", Convert, Ffmpeg, FfmpegThreaded); }
