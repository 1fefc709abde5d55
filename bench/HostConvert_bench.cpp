// The whole graph path, as a user runs it: `tidepool convert FILE --discard
// --format YV12|RGB32` (the graph manager, the registered source filter and
// discarding renderers on both pins, no clock), beside ffmpeg with its
// default threads converting the same file to the same layout (`-pix_fmt
// yuv420p` / `bgra`), on three movies with AAC sound:
// - 720p: 20 s 1280x720 H.264 with B-frames, also beside `ffmpeg -threads 1
//   -i FILE -f null -` (both streams, one thread);
// - 2160p H.264: 8 s 3840x2160 H.264 with B-frames, YV12 and RGB32;
// - 2160p HEVC 10-bit: 8 s 3840x2160 HEVC 4:2:0 10-bit with B-frames, YV12.
// The movies are made with the ffmpeg command line when first needed (the
// 2160p ones take a minute or two). Both sides are whole processes, timed
// from start to exit; peak resident memory from wait4. Every case runs once
// per round, ours and ffmpeg's one after the other; the tables at the end
// give the medians (targets: rate ratio 0.95 against one thread, 1.0
// against default threads; peak memory no more than ffmpeg's).
// TP_BENCH_ROUNDS sets the rounds (5); --benchmark_filter=720p (or 2160p)
// runs one movie's cases only.
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

struct MovieSpec {
  const char *name;  // in the cases' names and the tables
  const char *file;
  std::string makeArgs;  // ffmpeg's arguments that make it; the output path follows
  std::vector<std::string> layouts;
  int frames;
};

std::string Sound(int seconds) {
  return " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds) + " -ac 2 -c:a aac";
}

const std::vector<MovieSpec> &Movies() {
  static const std::vector<MovieSpec> movies = {
      {"720p", "av_720p.mp4", sidebyside::kMovieArgs, {"YV12", "RGB32"}, sidebyside::kMovieFrames},
      {"2160p_h264",
       "h264_2160p.mp4",
       "-f lavfi -i testsrc2=size=3840x2160:rate=25:duration=8" + Sound(8) +
           " -c:v libx264 -preset veryfast -bf 3 -g 50 -pix_fmt yuv420p",
       {"YV12", "RGB32"},
       200},
      {"2160p_hevc10",
       "hevc10_2160p.mp4",
       "-f lavfi -i testsrc2=size=3840x2160:rate=25:duration=8" + Sound(8) +
           " -c:v libx265 -preset ultrafast -x265-params bframes=3:keyint=50:log-level=error"
           " -pix_fmt yuv420p10le -tag:v hvc1",
       {"YV12"},
       200},
  };
  return movies;
}

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The registered filter and the movies, each made on first use.
class Corpus {
 public:
  Corpus() {
    char pattern[] = "/tmp/tp-bench-host-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir_ = pattern;
    setenv("TP_REGISTRY_FILE", (dir_ + "/registry.reg").c_str(), 1);
    const std::string bin = TP_BIN_DIR;
    const std::string reg = Quote(bin + "/regsvr32") + " /s " + Quote(bin + "/Tidepool.ax");
    registered_ = std::system(reg.c_str()) == 0;
  }
  ~Corpus() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  // The movie's path, or empty when it could not be made.
  std::string Movie(const MovieSpec &spec) {
    if (!registered_) return {};
    auto it = made_.find(spec.name);
    if (it != made_.end()) return it->second;
    const std::string path = dir_ + "/" + spec.file;
    const std::string make = "ffmpeg -nostdin -v error -y " + spec.makeArgs + " " + Quote(path);
    std::fprintf(stderr, "making %s ...\n", spec.file);
    const bool ok = std::system(make.c_str()) == 0;
    return made_[spec.name] = ok ? path : std::string();
  }

 private:
  std::string dir_;
  bool registered_ = false;
  std::map<std::string, std::string> made_;
};

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

using sidebyside::Figures;

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

std::string OursName(const MovieSpec &m, const std::string &layout) { return std::string(m.name) + "/ours/" + layout; }
std::string FfmpegName(const MovieSpec &m, const std::string &layout) {
  return std::string(m.name) + "/ffmpeg/" + layout;
}

void Convert(benchmark::State &state, const MovieSpec &m, const std::string &layout) {
  const std::string movie = Files().Movie(m);
  if (movie.empty()) return state.SkipWithError("could not make the movie or register the filter");
  for (auto _ : state) {
    Figures f;
    if (!RunProgram({std::string(TP_BIN_DIR) + "/tidepool", "convert", movie, "--discard", "--format", layout}, &f)) {
      return state.SkipWithError("tidepool convert failed");
    }
    sidebyside::Record(state, OursName(m, layout), f, m.frames);
  }
}

void FfmpegThreaded(benchmark::State &state, const MovieSpec &m, const std::string &layout) {
  const std::string movie = Files().Movie(m);
  if (movie.empty()) return state.SkipWithError("could not make the movie or register the filter");
  const std::string format = layout == "RGB32" ? "bgra" : "yuv420p";
  for (auto _ : state) {
    Figures f;
    if (!RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", movie, "-pix_fmt", format, "-f", "null", "-"}, &f)) {
      return state.SkipWithError("ffmpeg failed");
    }
    sidebyside::Record(state, FfmpegName(m, layout), f, m.frames);
  }
}

void FfmpegOneThread(benchmark::State &state) {
  const std::string movie = Files().Movie(Movies().front());
  if (movie.empty()) return state.SkipWithError("could not make the movie or register the filter");
  sidebyside::RunFfmpeg(state, movie);
}

void Register(const std::string &name, std::function<void(benchmark::State &)> fn) {
  benchmark::RegisterBenchmark(name.c_str(), std::move(fn))
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Iterations(1);
}

void PrintTables() {
  const auto &r = sidebyside::Results();
  std::printf("\nMedians over the rounds: wall seconds, CPU seconds (user + system), peak resident MB\n");
  for (const MovieSpec &m : Movies()) {
    bool header = false;
    for (const std::string &layout : m.layouts) {
      const auto ours = r.find(OursName(m, layout));
      const auto ff = r.find(FfmpegName(m, layout));
      if (ours == r.end() || ff == r.end()) continue;
      if (!header) {
        std::printf(
            "\n%s against ffmpeg with its default threads, same output layout (target: ratio 1.0, memory no "
            "more)\n",
            m.name);
        sidebyside::PrintHeader();
        header = true;
      }
      sidebyside::PrintRow(layout.c_str(), sidebyside::Summarise(ours->second), sidebyside::Summarise(ff->second), 1.0);
    }
  }
  const auto ff = r.find("ffmpeg");
  if (ff == r.end()) return;
  const MovieSpec &m = Movies().front();
  std::printf("\n%s against ffmpeg -threads 1\n", m.name);
  sidebyside::PrintHeader();
  for (const std::string &layout : m.layouts) {
    const auto ours = r.find(OursName(m, layout));
    if (ours != r.end())
      sidebyside::PrintRow(layout.c_str(), sidebyside::Summarise(ours->second), sidebyside::Summarise(ff->second),
                           0.95);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = sidebyside::Rounds();
  for (int round = 1; round <= rounds; ++round) {
    const std::string suffix = "/round:" + std::to_string(round);
    for (const MovieSpec &m : Movies()) {
      for (const std::string &layout : m.layouts) {
        Register(std::string("Convert/") + m.name + "/" + layout + suffix,
                 [&m, layout](benchmark::State &s) { Convert(s, m, layout); });
        Register(std::string("Ffmpeg/") + m.name + "/default_threads/" + layout + suffix,
                 [&m, layout](benchmark::State &s) { FfmpegThreaded(s, m, layout); });
      }
    }
    Register(std::string("Ffmpeg/") + Movies().front().name + "/both_streams/threads:1" + suffix, FfmpegOneThread);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  PrintTables();
  benchmark::Shutdown();
  return 0;
}
