#include "engine/FramePool.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

void *DefaultAllocate(size_t bytes) { return std::malloc(bytes); }
void DefaultFree(void *block) { std::free(block); }

FramePool::AllocateFn g_allocate = DefaultAllocate;
FramePool::FreeFn g_free = DefaultFree;

constexpr size_t kAlign = 16;
// Larger pictures than this are refused rather than attempted.
constexpr size_t kMaxPoolBytes = size_t{1} << 31;

size_t RoundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

}  // namespace

void FramePool::SetAllocatorForTesting(AllocateFn allocate, FreeFn release) {
  g_allocate = allocate != nullptr ? allocate : DefaultAllocate;
  g_free = release != nullptr ? release : DefaultFree;
}

void *FramePool::Allocate(size_t bytes) { return g_allocate(bytes); }

void FramePool::Free(void *block) {
  if (block != nullptr) g_free(block);
}

FramePool *FramePool::Create(size_t pixelBytes, int count) {
  if (count <= 0 || pixelBytes == 0 || pixelBytes > kMaxPoolBytes) return nullptr;
  const size_t blockSize = RoundUp(sizeof(DecodedFrame)) + RoundUp(pixelBytes);
  if (blockSize > kMaxPoolBytes / static_cast<size_t>(count)) return nullptr;
  auto *storage = static_cast<BYTE *>(Allocate(blockSize * static_cast<size_t>(count)));
  if (storage == nullptr) return nullptr;
  void *memory = Allocate(sizeof(FramePool));
  if (memory == nullptr) {
    Free(storage);
    return nullptr;
  }
  return new (memory) FramePool(storage, blockSize, pixelBytes, count);
}

FramePool::FramePool(BYTE *storage, size_t blockSize, size_t pixelBytes, int count)
    : head_(nullptr), storage_(storage), blockSize_(blockSize), pixelBytes_(pixelBytes), count_(count) {
  // Link from the last block down so that the first block ends up at the head.
  for (int i = count - 1; i >= 0; --i) {
    BYTE *block = storage_ + static_cast<size_t>(i) * blockSize_;
    std::memcpy(block, &head_, sizeof head_);
    head_ = block;
  }
}

FramePool::~FramePool() { Free(storage_); }

void FramePool::Destroy(FramePool *pool) {
  if (pool == nullptr) return;
  pool->~FramePool();
  Free(pool);
}

DecodedFrame *FramePool::Acquire() {
  BYTE *block = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (head_ == nullptr) return nullptr;
    block = head_;
    std::memcpy(&head_, block, sizeof head_);
  }
  auto *frame = new (block) DecodedFrame{};
  frame->pixels = block + RoundUp(sizeof(DecodedFrame));
  return frame;
}

void FramePool::Release(DecodedFrame *frame) {
  if (frame == nullptr) return;
  auto *block = reinterpret_cast<BYTE *>(frame);
  std::lock_guard<std::mutex> lock(mutex_);
  std::memcpy(block, &head_, sizeof head_);
  head_ = block;
}
