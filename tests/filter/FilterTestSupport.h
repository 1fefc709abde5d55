// Shared fixture of the filter tests: a private registry pointing at the
// real runtime, ffmpeg-made movies (made once per process), a CTidepool
// loaded with one of them, recording peers on its pins, the trace capture,
// and the engine's own output for the same movie as the reference.
#pragma once

#include <unistd.h>
#include <windows.h>
#include <amvideo.h>
#include <uuids.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "FrameworkTestSupport.h"
#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "filter/CAudioSourceStream.h"
#include "filter/CTidepool.h"
#include "filter/CVideoSourceStream.h"
#include "peers/TestGraph.h"
#include "peers/TestInputPin.h"
#include "support/FfmpegTools.h"
#include "trace/Trace.h"

namespace tp::test {

using enginetest::Wide;

// Movies made by the ffmpeg command line once per process; empty on failure.
inline std::string Movie(const std::string &name, const std::string &args) {
  static ff::TempDir dir;
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  const std::string path = dir.File(name);
  return made[name] = ff::RunFfmpeg(args + " " + ff::ShellQuote(path)) ? path : std::string();
}

// H.264 with B-frames (2 s) and AAC (3 s): the tracks differ in length.
inline std::string AvMovie() {
  return Movie("av.mp4",
               "-f lavfi -i testsrc=size=176x144:rate=25:duration=2 "
               "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
               "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -c:a aac");
}
inline std::string VideoOnlyMovie() {
  return Movie("video.mp4", "-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v libx264 -bf 2 -pix_fmt yuv420p");
}

inline const std::vector<GUID> &SevenSubtypes() {
  static const std::vector<GUID> subtypes = {MEDIASUBTYPE_YV12,  MEDIASUBTYPE_YUY2,  MEDIASUBTYPE_I420,
                                             MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB555,
                                             MEDIASUBTYPE_RGB565};
  return subtypes;
}

// The trace lines captured since the last Take, without level and tag.
class TraceLines {
 public:
  bool Available() const { return capture_.Available(); }
  std::vector<std::string> Take() {
    std::vector<std::string> lines = enginetest::Lines(capture_.Take());
    for (std::string &line : lines) {
      const size_t tag = line.find("Tidepool: ");
      if (tag != std::string::npos) line.erase(0, tag + 10);
    }
    return lines;
  }

 private:
  enginetest::TraceCapture capture_;
};

// One sample as the engine's track gives it.
struct TrackSample {
  LONGLONG start = 0, duration = 0;
  std::vector<BYTE> bytes;
};

struct TrackOutput {
  LONG timeScale = 0;
  LONGLONG duration = 0;
  std::vector<TrackSample> samples;
};

// Track units in 100 ns units, exactly: rounded to the nearest, halves up
// (test movies are short enough for the product to fit).
inline REFERENCE_TIME ExactTime(LONGLONG units, LONG timeScale) {
  return (units * 20000000 + timeScale) / (2LL * timeScale);
}

// The stamping of the output streams applied to a track's times: the
// sample's start and end, each relative to the segment and divided by the
// rate, truncated.
struct Stamp {
  REFERENCE_TIME start, stop;
  bool operator==(const Stamp &) const = default;
};
inline Stamp StampOf(const TrackSample &s, LONG timeScale, REFERENCE_TIME segmentStart, double rate) {
  const REFERENCE_TIME begin = ExactTime(s.start, timeScale), end = ExactTime(s.start + s.duration, timeScale);
  return {static_cast<REFERENCE_TIME>(static_cast<double>(begin - segmentStart) / rate),
          static_cast<REFERENCE_TIME>(static_cast<double>(end - segmentStart) / rate)};
}

class FilterTest : public FrameworkTest {
 protected:
  void SetUp() override {
    FrameworkTest::SetUp();
    if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    registry_ = std::make_unique<ff::TempDir>();
    setenv("TP_REGISTRY_FILE", registry_->File("registry.reg").c_str(), 1);
    enginetest::SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
    for (auto &peer : peers) {
      peer = new TestInputPin;
      // The pins then take the standard memory allocator.
      peer->allocatorMode = TestInputPin::AllocatorMode::None;
    }
  }

  void TearDown() override {
    if (filter) {
      filter->Stop();
      for (int i = 0; i < filter->GetPinCount(); ++i) filter->GetPin(i)->Disconnect();
    }
    for (TestInputPin *&peer : peers) {
      if (!peer) continue;
      peer->Disconnect();
      peer->Release();
      peer = nullptr;
    }
    if (filter) {
      filter->JoinFilterGraph(nullptr, nullptr);
      filter->NonDelegatingRelease();
    }
    filter = nullptr;
    FrameworkTest::TearDown();
  }

  // A new filter (one reference) with the movie loaded; the Load result.
  HRESULT Load(const std::string &file) {
    HRESULT hr = E_FAIL;
    filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
    EXPECT_EQ(hr, S_OK);
    filter->NonDelegatingAddRef();
    filter->JoinFilterGraph(&graph, TEXT("Tidepool"));
    return filter->Load(Wide(file).c_str(), nullptr);
  }

  CVideoSourceStream *Video() { return PinNamed<CVideoSourceStream>("Video"); }
  CAudioSourceStream *Audio() { return PinNamed<CAudioSourceStream>("Audio"); }

  template <typename Stream>
  Stream *PinNamed(const std::string &name) {
    for (int i = 0; i < filter->GetPinCount(); ++i) {
      auto *stream = dynamic_cast<Stream *>(filter->GetPin(i));
      if (stream && std::basic_string<WCHAR>(stream->CBasePin::Name()) == Wide(name)) return stream;
    }
    return nullptr;
  }

  // Connects the video pin in subtype to peers[0].
  HRESULT ConnectVideo(const GUID &subtype, TestInputPin *peer = nullptr) {
    CVideoSourceStream *video = Video();
    if (!video) return E_FAIL;
    for (int i = 0;; ++i) {
      CMediaType mt;
      if (video->GetMediaType(i, &mt) != S_OK) return E_FAIL;
      if (IsEqualGUID(*mt.Subtype(), subtype)) return video->Connect(peer ? peer : peers[0], &mt);
    }
  }
  HRESULT ConnectAudio(TestInputPin *peer = nullptr) {
    return Audio() ? Audio()->Connect(peer ? peer : peers[1], nullptr) : E_FAIL;
  }

  static IMediaSeeking *Seeking(CBasePin *pin) {
    IMediaSeeking *seeking = nullptr;
    pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking));
    if (seeking) seeking->Release();  // counts go to the filter, which the test holds
    return seeking;
  }

  // Everything the engine gives for a movie's track, read from a session
  // of its own (video in the subtype given).
  static TrackOutput EngineOutput(const std::string &file, bool video, const GUID &subtype = GUID_NULL) {
    TrackOutput out;
    CQTAVExtraction session(Wide(file).c_str());
    if (session.GetStatus() != 0) return out;
    IMediaExtraction *track = video ? session.GetVideoExtraction() : session.GetAudioExtraction();
    if (!track) return out;
    out.timeScale = track->GetTimeScale();
    out.duration = track->GetDuration();
    LONG size = track->GetBufferSize();
    if (video) {
      VIDEOINFOHEADER info{};
      track->FillMediaInfo(&info, sizeof info, &subtype);
      track->SetOutputSubtype(&subtype);
      track->ExtractionBegin();
      size = static_cast<LONG>(info.bmiHeader.biSizeImage);
    }
    std::vector<BYTE> buffer(static_cast<size_t>(size));
    for (;;) {
      TrackSample s;
      LONG n = size;
      if (track->GetNextSample(buffer.data(), &n, &s.start, &s.duration) < 0) break;
      s.bytes.assign(buffer.begin(), buffer.begin() + (video ? size : n));
      out.samples.push_back(std::move(s));
    }
    return out;
  }

  CTidepool *filter = nullptr;
  TestGraph graph;
  std::array<TestInputPin *, 2> peers{};

 private:
  std::unique_ptr<ff::TempDir> registry_;
};

}  // namespace tp::test
