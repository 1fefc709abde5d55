// A delivery buffer's round trip through the standard memory allocator
// (GetBuffer, write, Release back to the free list), beside the reference of
// a plain heap allocation, write and free of the same size in the same run.
// Also the round trip with two threads taking turns on two buffers.
#include <benchmark/benchmark.h>

#include <windows.h>
#include <dshow.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr LONG kFrameBytes = 640 * 480 * 4;

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

IMemAllocator *MakeAllocator(LONG count) {
  IMemAllocator *a = nullptr;
  if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              reinterpret_cast<void **>(&a))))
    return nullptr;
  ALLOCATOR_PROPERTIES want{count, kFrameBytes, 16, 0}, got{};
  a->SetProperties(&want, &got);
  a->Commit();
  return a;
}

void BM_Allocator_RoundTrip(benchmark::State &state) {
  Com com;
  IMemAllocator *a = MakeAllocator(1);
  if (!a) {
    state.SkipWithError("no allocator");
    return;
  }
  for (auto _ : state) {
    IMediaSample *s = nullptr;
    a->GetBuffer(&s, nullptr, nullptr, 0);
    BYTE *p = nullptr;
    s->GetPointer(&p);
    p[0] = 1;
    p[kFrameBytes - 1] = 2;
    benchmark::DoNotOptimize(p);
    s->Release();
  }
  a->Decommit();
  a->Release();
}
BENCHMARK(BM_Allocator_RoundTrip);

void BM_Reference_HeapRoundTrip(benchmark::State &state) {
  for (auto _ : state) {
    std::unique_ptr<BYTE[]> p(new BYTE[kFrameBytes]);
    p[0] = 1;
    p[kFrameBytes - 1] = 2;
    benchmark::DoNotOptimize(p.get());
  }
}
BENCHMARK(BM_Reference_HeapRoundTrip);

// A producer takes buffers, a consumer thread releases them: the hand-over
// cost of the free list and its wake-up.
void BM_Allocator_TwoThreadHandOver(benchmark::State &state) {
  Com com;
  IMemAllocator *a = MakeAllocator(2);
  if (!a) {
    state.SkipWithError("no allocator");
    return;
  }
  for (auto _ : state) {
    IMediaSample *s = nullptr;
    a->GetBuffer(&s, nullptr, nullptr, 0);
    std::thread([s] { s->Release(); }).join();
  }
  a->Decommit();
  a->Release();
}
BENCHMARK(BM_Allocator_TwoThreadHandOver);

void BM_Reference_ThreadStartJoin(benchmark::State &state) {
  for (auto _ : state) std::thread([] {}).join();
}
BENCHMARK(BM_Reference_ThreadStartJoin);

}  // namespace

BENCHMARK_MAIN();
