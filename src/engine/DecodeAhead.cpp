#include "engine/DecodeAhead.h"

#include <atomic>
#include <system_error>

#include "trace/Trace.h"

namespace {

std::atomic<bool> g_threadsAllowed{true};

}  // namespace

void DecodeAhead::AllowThreadsForTesting(bool allow) { g_threadsAllowed.store(allow); }

DecodeAhead::DecodeAhead(StepFn step, void *context, StallFn stalled)
    : step_(step), context_(context), stalled_(stalled) {}

void DecodeAhead::SetDepth(size_t depth) {
  if (thread_.joinable()) return;
  depth_ = depth < kDepth ? kDepth : depth > kMaxDepth ? kMaxDepth : depth;
}

bool DecodeAhead::PushWaiting(DecodedFrame *frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (frame == nullptr || count_ >= depth_) return false;
  waiting_[count_++] = frame;
  return true;
}

size_t DecodeAhead::WaitingCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

bool DecodeAhead::Stalled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable() && !busy_ && !ended_ && count_ >= depth_;
}

DecodeAhead::~DecodeAhead() { Stop(); }

bool DecodeAhead::Start() {
  if (thread_.joinable()) return true;
  if (!g_threadsAllowed.load()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = false;
    ended_ = false;
    paused_ = pausedByCaller_;
  }
  try {
    thread_ = std::thread(&DecodeAhead::Run, this);
  } catch (const std::system_error &) {
    TraceW8(TEXT("DecodeAhead: no decoding thread, decoding on the caller's"));
    return false;
  }
  return true;
}

void DecodeAhead::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

DecodeAhead::Step DecodeAhead::Take(DecodedFrame **frame) {
  *frame = nullptr;
  if (!Active()) return Step::End;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return count_ > 0 || ended_; });
  if (count_ == 0) return Step::End;
  *frame = waiting_[0];
  for (size_t i = 1; i < count_; ++i) waiting_[i - 1] = waiting_[i];
  waiting_[--count_] = nullptr;
  lock.unlock();
  // The thread may have been held by a full list.
  changed_.notify_all();
  return Step::Frame;
}

void DecodeAhead::Pause() {
  pausedByCaller_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  paused_ = true;
  changed_.wait(lock, [this] { return !busy_; });
}

void DecodeAhead::Resume(bool repositioned) {
  pausedByCaller_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    if (repositioned) ended_ = false;
  }
  changed_.notify_all();
}

DecodedFrame *DecodeAhead::PeekWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_ != 0 ? waiting_[0] : nullptr;
}

DecodedFrame *DecodeAhead::PopWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) return nullptr;
  DecodedFrame *frame = waiting_[0];
  for (size_t i = 1; i < count_; ++i) waiting_[i - 1] = waiting_[i];
  waiting_[--count_] = nullptr;
  return frame;
}

void DecodeAhead::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || (!paused_ && !ended_ && count_ < depth_); });
    if (quit_) return;
    busy_ = true;
    lock.unlock();
    DecodedFrame *frame = nullptr;
    const Step result = step_(context_, &frame);
    lock.lock();
    busy_ = false;
    if (result == Step::Frame && frame != nullptr) waiting_[count_++] = frame;
    if (result == Step::End) ended_ = true;
    changed_.notify_all();
    if (count_ >= depth_ && stalled_ != nullptr) {
      lock.unlock();
      stalled_(context_);
      lock.lock();
    }
  }
}
