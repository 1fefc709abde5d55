// Both pins of a CTidepool streaming a 20 s 1280x720 H.264 (B-frames) + AAC
// movie into discarding peers with the standard allocator and no clock, in
// YV12 and RGB32, beside `ffmpeg -threads 1 -i FILE -f null -`, which decodes
// both streams of the same file. Each side runs in a child process of its
// own, so that its peak resident memory (from wait4) is its alone; our time
// runs from making the filter (Load included, as ffmpeg's includes opening
// the file) to both ends of stream, ffmpeg's from its start to its exit. The
// peers only count what they receive.
// A table at the end gives the rate ratios (target 0.95) and the peaks.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <uuids.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "filter/CTidepool.h"
#include "filter/CVideoSourceStream.h"
#include "SideBySide.h"
#include "peers/TestInputPin.h"
#include "BenchRuntime.h"

namespace {

using bench::Wide;

struct Corpus {
  std::string dir, movie;
  bool ok = false;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-pins-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    movie = dir + "/av_720p.mp4";
    const std::string command = std::string("ffmpeg -nostdin -v error -y ") + sidebyside::kMovieArgs + " " + movie;
    ok = std::system(command.c_str()) == 0;
    bench::UseOwnRegistry(dir);
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
using sidebyside::RunChild;

// The child's side of our run: load, connect, stream to both ends. Exit
// status 0 on success.
int StreamInChild(const std::string &movie, const GUID &subtype, int reportFd) {
  using tp::test::TestInputPin;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const auto begin = std::chrono::steady_clock::now();
  HRESULT hr = E_FAIL;
  auto *filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
  filter->NonDelegatingAddRef();
  if (filter->Load(Wide(movie).c_str(), nullptr) != S_OK || filter->GetPinCount() != 2) return 2;
  TestInputPin *peers[2] = {new TestInputPin, new TestInputPin};
  for (TestInputPin *p : peers) {
    p->allocatorMode = TestInputPin::AllocatorMode::None;
    p->discard = true;
  }
  auto *video = static_cast<CVideoSourceStream *>(filter->GetPin(0));
  CMediaType mt;
  for (int i = 0; video->GetMediaType(i, &mt) == S_OK; ++i) {
    if (IsEqualGUID(*mt.Subtype(), subtype)) break;
  }
  if (video->Connect(peers[0], &mt) != S_OK || filter->GetPin(1)->Connect(peers[1], nullptr) != S_OK) return 3;
  if (filter->Run(0) != S_OK) return 4;
  for (TestInputPin *p : peers) {
    if (!p->WaitForEndOfStream(1, std::chrono::minutes(5))) return 5;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const size_t frames = peers[0]->DiscardedCount();
  filter->Stop();
  if (write(reportFd, &seconds, sizeof seconds) != sizeof seconds) return 6;
  return frames >= sidebyside::kMovieFrames - 10 ? 0 : 7;
}

void Pins(benchmark::State &state, const std::string &name, const GUID &subtype) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie");
  for (auto _ : state) {
    Figures f;
    if (!RunChild([&](int fd) { return StreamInChild(c.movie, subtype, fd); }, &f)) {
      return state.SkipWithError("the pins did not stream the movie");
    }
    Record(state, name, f);
  }
}

void Ffmpeg(benchmark::State &state) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie");
  sidebyside::RunFfmpeg(state, c.movie);
}

}  // namespace

int main(int argc, char **argv) {
  return sidebyside::Main(
      argc, argv, "Pins/",
      [](benchmark::State &s, const std::string &name, const std::string &layout) {
        Pins(s, name, layout == "RGB32" ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_YV12);
      },
      Ffmpeg);
}
