// DecodeAhead: a thread of the video track's own that runs the track's
// decoding step (read one sample, decompress it into a pool block) ahead of
// the reader, so that decoding and the reader's copy into the downstream
// buffer run side by side. Up to Depth() decoded frames wait here, in decode
// order, for the reader's Take; the reader still reorders them itself.
//
// Ownership: the owner (the video track) supplies the step and its context
// and owns the frames; this object only holds pointers to the waiting ones.
// The thread exists from Start until Stop (or destruction).
//
// Threads: Start, Stop, Take, Pause, Resume and PopWaiting are called by the
// owner's callers, one at a time (the track's callers serialise its calls).
// The step runs on this object's thread only, never while paused: between
// Pause and Resume the decoding state belongs to the caller. A step is never
// started while Depth() frames wait, so the owner's pool needs Depth()
// blocks beyond what the reader holds.
//
// Lock order: mutex_ is a leaf; it is never held while the step runs or the
// stall hook is called, and callers may hold their own locks (the stream's
// lock, the video track's draw tickets) while taking it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "engine/FramePool.h"
#include "engine/noncopyable.h"

class DecodeAhead : public noncopyable {
 public:
  enum class Step { Frame, Skipped, End };
  // One decoding step on the thread: Frame with *frame set, Skipped (a
  // sample that gave no frame), End (nothing more until repositioned).
  using StepFn = Step (*)(void *context, DecodedFrame **frame);
  // Called on the thread, with no lock held, when it stops because Depth()
  // frames wait (the reader may be waiting for something only more steps
  // would bring).
  using StallFn = void (*)(void *context);
  static constexpr size_t kDepth = 2;
  static constexpr size_t kMaxDepth = 32;

  DecodeAhead(StepFn step, void *context, StallFn stalled = nullptr);
  ~DecodeAhead();

  // How many decoded frames may wait (kDepth to kMaxDepth); set while no
  // thread runs, before Start.
  void SetDepth(size_t depth);
  size_t Depth() const { return depth_; }

  // Test seam: with false, Start fails as when no thread can be made.
  static void AllowThreadsForTesting(bool allow);

  // Starts the thread unless it runs (an end reached by an earlier thread
  // is forgotten); false when none could be made (the
  // owner then decodes on the calling thread).
  bool Start();
  // Ends the thread and waits for it. The waiting frames stay (PopWaiting).
  void Stop();
  // Whether frames come from the thread: it runs and is not paused.
  bool Active() const { return thread_.joinable() && !pausedByCaller_; }

  // The next frame in decode order; waits for the thread's step when none
  // is ready. End when the thread reached the end (until Resume(true)), or
  // when it is not active.
  Step Take(DecodedFrame **frame);

  // Waits until no step is running and holds the thread between steps.
  void Pause();
  // Lets the thread go on. repositioned: the caller moved the decoding
  // state, so an end reached before no longer holds.
  void Resume(bool repositioned);
  // While paused or stopped: the oldest waiting frame, removed (Pop) or
  // left in place (Peek); null when none waits.
  DecodedFrame *PopWaiting();
  DecodedFrame *PeekWaiting();
  // While paused or stopped: adds a frame the caller decoded itself behind
  // the waiting ones; false (nothing kept) when Depth() frames wait.
  bool PushWaiting(DecodedFrame *frame);
  // Whether the thread is held only because Depth() frames wait.
  bool Stalled();
  size_t WaitingCount();

 private:
  void Run();

  const StepFn step_;
  void *const context_;
  const StallFn stalled_;
  std::thread thread_;
  bool pausedByCaller_ = false;  // caller side only
  size_t depth_ = kDepth;        // changed only while no thread runs

  // Guards what follows. Leaf lock.
  std::mutex mutex_;
  std::condition_variable changed_;  // a step ended, or a command arrived
  DecodedFrame *waiting_[kMaxDepth] = {};
  size_t count_ = 0;
  bool paused_ = false;
  bool quit_ = false;
  bool busy_ = false;  // a step is running
  bool ended_ = false;
};
