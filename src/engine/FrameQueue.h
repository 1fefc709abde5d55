// FrameQueue: the decoded frames that wait for delivery, at most three.
// Fixed capacity, so that topping it up and draining it never allocate.
//
// Ownership: holds pointers only; the frames belong to the track's
// FramePool, which the track gives them back to.
#pragma once

#include <cstddef>

#include "engine/FramePool.h"

class FrameQueue {
 public:
  static constexpr size_t kCapacity = 3;

  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  bool Full() const { return size_ == kCapacity; }
  DecodedFrame *Front() const { return size_ != 0 ? frames_[0] : nullptr; }
  DecodedFrame *At(size_t i) const { return i < size_ ? frames_[i] : nullptr; }

  // Appends at the end; false (and nothing kept) when full or null.
  bool Push(DecodedFrame *frame) {
    if (frame == nullptr || Full()) return false;
    frames_[size_++] = frame;
    return true;
  }

  // Removes and returns the first frame, or null when empty.
  DecodedFrame *PopFront() {
    if (size_ == 0) return nullptr;
    DecodedFrame *first = frames_[0];
    for (size_t i = 1; i < size_; ++i) frames_[i - 1] = frames_[i];
    frames_[--size_] = nullptr;
    return first;
  }

  // Earliest presentation time first; frames with equal times keep their
  // decode order.
  void SortByPresentationTime() {
    for (size_t i = 1; i < size_; ++i) {
      DecodedFrame *frame = frames_[i];
      size_t j = i;
      for (; j > 0 && frames_[j - 1]->presentationTime > frame->presentationTime; --j) frames_[j] = frames_[j - 1];
      frames_[j] = frame;
    }
  }

  void Clear() {
    for (size_t i = 0; i < size_; ++i) frames_[i] = nullptr;
    size_ = 0;
  }

 private:
  DecodedFrame *frames_[kCapacity] = {};
  size_t size_ = 0;
};
