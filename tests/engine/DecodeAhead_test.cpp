// The video track's decoding thread: on its own with a scripted step (order,
// depth, pause, end and restart, stop while it waits, the runtime's depth),
// and through the track, where a table of call scripts must deliver the
// same frames whether the thread decodes or the caller does, and whether
// the runtime finishes each picture in its call or later (frame threads).
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "VideoTestMovies.h"
#include "engine/DecodeAhead.h"

using namespace videotest;

namespace {

// Hands out frames[0..], then End once `available` have been handed out.
struct ScriptedStep {
  DecodedFrame frames[64] = {};
  std::atomic<int> steps{0};
  std::atomic<int> available{0};
  static DecodeAhead::Step Run(void *self, DecodedFrame **frame) {
    auto *s = static_cast<ScriptedStep *>(self);
    const int n = s->steps.load();
    if (n >= s->available.load()) return DecodeAhead::Step::End;
    s->steps.store(n + 1);
    *frame = &s->frames[n];
    return DecodeAhead::Step::Frame;
  }
};

TEST(DecodeAheadThread, OrderDepthPauseEndRestartAndStop) {
  ScriptedStep script;
  script.available = 5;
  DecodeAhead ahead(&ScriptedStep::Run, &script);
  DecodedFrame *frame = nullptr;
  EXPECT_EQ(ahead.Take(&frame), DecodeAhead::Step::End) << "not started: nothing comes";
  ASSERT_TRUE(ahead.Start());
  ASSERT_EQ(ahead.Take(&frame), DecodeAhead::Step::Frame);
  EXPECT_EQ(frame, &script.frames[0]);
  ahead.Pause();
  EXPECT_LE(script.steps.load(), 1 + static_cast<int>(DecodeAhead::kDepth)) << "never more than kDepth ahead";
  const int held = script.steps.load();
  std::vector<DecodedFrame *> waiting;
  while (DecodedFrame *f = ahead.PopWaiting()) waiting.push_back(f);
  EXPECT_EQ(script.steps.load(), held) << "no step while paused, even with room";
  EXPECT_FALSE(ahead.Active());
  EXPECT_EQ(ahead.Take(&frame), DecodeAhead::Step::End) << "paused: the caller decodes";
  for (size_t i = 0; i < waiting.size(); ++i) EXPECT_EQ(waiting[i], &script.frames[1 + i]);
  ahead.Resume(false);
  for (int i = held; i < 5; ++i) {
    ASSERT_EQ(ahead.Take(&frame), DecodeAhead::Step::Frame);
    EXPECT_EQ(frame, &script.frames[i]);
  }
  EXPECT_EQ(ahead.Take(&frame), DecodeAhead::Step::End);
  EXPECT_EQ(ahead.Take(&frame), DecodeAhead::Step::End) << "the end holds";
  // Repositioned: the end is forgotten and decoding goes on.
  ahead.Pause();
  script.available = 20;
  ahead.Resume(true);
  ASSERT_EQ(ahead.Take(&frame), DecodeAhead::Step::Frame);
  EXPECT_EQ(frame, &script.frames[5]);
  // Stopped while it waits for room; then destroyed with no thread.
  ahead.Stop();
  EXPECT_FALSE(ahead.Active());
}

// Deeper for a runtime that holds pictures back: the thread fills exactly
// the depth, says so through its stall hook, and the caller's own frames
// queue behind the waiting ones only while there is room.
TEST(DecodeAheadThread, DepthFromTheRuntime_StallHook_CallerFramesBehind) {
  ScriptedStep script;
  script.available = 40;
  static std::atomic<int> stalls{0};
  DecodeAhead ahead(&ScriptedStep::Run, &script, [](void *) { ++stalls; });
  ahead.SetDepth(100);
  EXPECT_EQ(ahead.Depth(), DecodeAhead::kMaxDepth) << "bounded";
  ahead.SetDepth(0);
  EXPECT_EQ(ahead.Depth(), DecodeAhead::kDepth) << "never below the default";
  ahead.SetDepth(6);
  ASSERT_TRUE(ahead.Start());
  ahead.SetDepth(9);
  EXPECT_EQ(ahead.Depth(), 6u) << "not while the thread runs";
  DecodedFrame *frame = nullptr;
  ASSERT_EQ(ahead.Take(&frame), DecodeAhead::Step::Frame);
  // The thread refills to 6 and stalls; the reader waits for the hook.
  while (!ahead.Stalled()) std::this_thread::yield();
  EXPECT_EQ(script.steps.load(), 7);
  EXPECT_GE(stalls.load(), 1);
  ahead.Pause();
  EXPECT_FALSE(ahead.PushWaiting(&script.frames[63])) << "full";
  ASSERT_NE(ahead.PopWaiting(), nullptr);
  EXPECT_TRUE(ahead.PushWaiting(&script.frames[63]));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ahead.PopWaiting(), &script.frames[2 + i]);
  EXPECT_EQ(ahead.PopWaiting(), &script.frames[63]) << "behind the thread's frames";
  ahead.Stop();
}

class DecodeAheadTrack : public ::testing::Test {
 protected:
  enginetest::EngineEnvironment env;
  void TearDown() override {
    DecodeAhead::AllowThreadsForTesting(true);
    CQTVideoExtraction::DeferPicturesForTesting(true);
  }
};

struct Frame {
  LONGLONG start = 0;
  size_t hash = 0;
  bool operator==(const Frame &) const = default;
};

// One call script: reads (n frames; -1 for all), seeks (seconds), moves
// forward (seconds), or a rebuild through another layout and back.
struct Op {
  char kind;  // 'r' read, 's' seek, 'm' move forward, 'b' rebuild
  double value;
};

struct Script {
  const char *name;
  std::vector<Op> ops;
};

const Script kScripts[] = {
    {"read_all", {{'r', -1}}},
    {"seek_mid_stream", {{'r', 5}, {'s', 1.0}, {'r', 4}, {'s', 0.3}, {'r', -1}}},
    {"move_forward", {{'r', 7}, {'m', 0}, {'r', 4}, {'m', 1.0}, {'r', -1}}},
    {"seek_after_end", {{'r', -1}, {'s', 2.5}, {'r', -1}, {'s', 0}, {'r', 6}}},
    {"rebuild", {{'r', 3}, {'b', 0}, {'r', -1}}},
};

std::vector<Frame> Play(const std::string &file, const GUID &subtype, const Script &script) {
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  if (video == nullptr) return {};
  LONG size = Start(video, subtype);
  std::vector<BYTE> buffer(static_cast<size_t>(size));
  std::vector<Frame> out;
  const LONGLONG scale = video->GetTimeScale();
  for (const Op &op : script.ops) {
    if (op.kind == 'r') {
      for (int i = 0; op.value < 0 || i < op.value; ++i) {
        LONG n = size;
        LONGLONG start = 0, duration = 0;
        if (video->GetNextSample(buffer.data(), &n, &start, &duration) != 0) break;
        out.push_back({start, std::hash<std::string>()(std::string(buffer.begin(), buffer.end()))});
      }
      out.push_back({-1, 0});  // where each read stopped
    } else if (op.kind == 's') {
      LONGLONG time = static_cast<LONGLONG>(op.value * static_cast<double>(scale));
      video->SetPosition(&time);
      out.push_back({time, 1});
    } else if (op.kind == 'm') {
      LONGLONG delta = static_cast<LONGLONG>(op.value * static_cast<double>(scale));
      video->MoveForward(&delta);
    } else {
      Start(video, IsEqualGUID(subtype, MEDIASUBTYPE_RGB24) ? MEDIASUBTYPE_YV12 : MEDIASUBTYPE_RGB24);
      size = Start(video, subtype);
      out.push_back({video->Position(), 2});
    }
  }
  return out;
}

// The reference: every picture finished in its own call, the caller
// decoding. Against it: the thread decoding, and with frame threads (more
// than this machine may have, so more pictures are held back) both the
// thread and the caller, which then feeds the runtime itself.
TEST_F(DecodeAheadTrack, CallScripts_SameFramesWhetherTheThreadOrTheCallerDecodes_FrameThreadsOrNot) {
  const char *const movies[][2] = {
      {"ahead_b3.mp4", "-f lavfi -i testsrc=size=96x64:rate=25 -t 3 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p"},
      {"ahead_open.mov",
       "-f lavfi -i testsrc=size=96x64:rate=25 -t 3 -c:v libx264 -bf 3 -g 12 -x264-params open-gop=1:scenecut=0 "
       "-pix_fmt yuv420p"},
      {"ahead_mpeg4.mov", "-f lavfi -i testsrc=size=96x64:rate=25 -t 3 -c:v mpeg4 -bf 2 -g 10"},
      // Eight B-frames in a pyramid: a reference picture comes out a dozen
      // samples after its own, while few pictures are held at once.
      {"ahead_b8.mp4",
       "-f lavfi -i testsrc=size=96x64:rate=25 -t 3 -c:v libx264 -bf 8 -x264-params b-adapt=0:b-pyramid=strict -g 24 "
       "-pix_fmt yuv420p"},
  };
  ::setenv("TP_DECODE_THREADS", "3", 1);
  for (const auto &movie : movies) {
    const std::string file = MakeMovie(movie[0], movie[1]);
    ASSERT_FALSE(file.empty()) << movie[0];
    for (const GUID *subtype : {&MEDIASUBTYPE_YV12, &MEDIASUBTYPE_RGB32}) {
      for (const Script &script : kScripts) {
        SCOPED_TRACE(std::string(movie[0]) + " " + script.name);
        CQTVideoExtraction::DeferPicturesForTesting(false);
        DecodeAhead::AllowThreadsForTesting(false);
        const std::vector<Frame> reference = Play(file, *subtype, script);
        DecodeAhead::AllowThreadsForTesting(true);
        EXPECT_EQ(Play(file, *subtype, script), reference) << "thread";
        CQTVideoExtraction::DeferPicturesForTesting(true);
        EXPECT_EQ(Play(file, *subtype, script), reference) << "thread, frame threads";
        DecodeAhead::AllowThreadsForTesting(false);
        EXPECT_EQ(Play(file, *subtype, script), reference) << "caller, frame threads";
        EXPECT_GT(reference.size(), script.ops.size());
      }
    }
  }
  ::unsetenv("TP_DECODE_THREADS");
}

}  // namespace
