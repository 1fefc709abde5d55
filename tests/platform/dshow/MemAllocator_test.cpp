// The standard memory allocator, reached as a program reaches it: through
// COM activation of CLSID_MemoryAllocator.
#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace {

class MemAllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void **>(&alloc_)),
              S_OK);
  }
  void TearDown() override {
    if (alloc_) alloc_->Release();
    CoUninitialize();
  }
  HRESULT Configure(LONG count, LONG size, LONG align = 1, LONG prefix = 0) {
    ALLOCATOR_PROPERTIES want{count, size, align, prefix}, got{};
    return alloc_->SetProperties(&want, &got);
  }
  IMemAllocator *alloc_ = nullptr;
};

TEST_F(MemAllocatorTest, SetProperties_ValidatesAndReportsWhatIsInForce) {
  ALLOCATOR_PROPERTIES want{3, 1000, 16, 8}, got{};
  ASSERT_EQ(alloc_->SetProperties(&want, &got), S_OK);
  EXPECT_EQ(got.cBuffers, 3);
  EXPECT_EQ(got.cbBuffer, 1000);
  EXPECT_EQ(got.cbAlign, 16);
  EXPECT_EQ(got.cbPrefix, 8);
  ALLOCATOR_PROPERTIES now{};
  ASSERT_EQ(alloc_->GetProperties(&now), S_OK);
  EXPECT_EQ(std::memcmp(&now, &got, sizeof now), 0);

  for (LONG bad : {0, 3, 12, -4}) {
    ALLOCATOR_PROPERTIES w{1, 10, bad, 0};
    EXPECT_EQ(alloc_->SetProperties(&w, &got), VFW_E_BADALIGN) << bad;
  }
  ALLOCATOR_PROPERTIES negative{-1, 10, 1, 0};
  EXPECT_EQ(alloc_->SetProperties(&negative, &got), E_INVALIDARG);
  EXPECT_EQ(alloc_->SetProperties(nullptr, &got), E_POINTER);
  EXPECT_EQ(alloc_->SetProperties(&want, nullptr), E_POINTER);

  ASSERT_EQ(alloc_->Commit(), S_OK);
  EXPECT_EQ(alloc_->SetProperties(&want, &got), VFW_E_ALREADY_COMMITTED);
  EXPECT_EQ(alloc_->Decommit(), S_OK);
}

TEST_F(MemAllocatorTest, Commit_NeedsProperties) {
  EXPECT_EQ(alloc_->Commit(), VFW_E_SIZENOTSET);
  IMediaSample *s = nullptr;
  EXPECT_EQ(alloc_->GetBuffer(&s, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  EXPECT_EQ(s, nullptr);
}

TEST_F(MemAllocatorTest, Buffers_AreAlignedWithWritablePrefixAndDistinct) {
  ASSERT_EQ(Configure(4, 333, 64, 24), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *samples[4] = {};
  for (auto &s : samples) {
    ASSERT_EQ(alloc_->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    BYTE *p = nullptr;
    ASSERT_EQ(s->GetPointer(&p), S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    EXPECT_EQ(s->GetSize(), 333);
    // Under ASan this proves the prefix and the whole buffer are ours.
    std::memset(p - 24, 0xAB, 24 + 333);
  }
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(samples[i], samples[j]);
  IMediaSample *extra = nullptr;
  EXPECT_EQ(alloc_->GetBuffer(&extra, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
  for (auto *s : samples) EXPECT_EQ(s->Release(), 0u);
  EXPECT_EQ(alloc_->GetBuffer(&extra, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  extra->Release();
  alloc_->Decommit();
}

TEST_F(MemAllocatorTest, Sample_PropertiesAreClearedForTheNextUser) {
  ASSERT_EQ(Configure(1, 100), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *s = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&s, nullptr, nullptr, 0), S_OK);

  REFERENCE_TIME a = 10, b = 20, ga = 0, gb = 0;
  EXPECT_EQ(s->GetTime(&ga, &gb), VFW_E_SAMPLE_TIME_NOT_SET);
  ASSERT_EQ(s->SetTime(&a, nullptr), S_OK);
  EXPECT_EQ(s->GetTime(&ga, &gb), VFW_S_NO_STOP_TIME);
  EXPECT_EQ(gb, 11);
  ASSERT_EQ(s->SetTime(&a, &b), S_OK);
  EXPECT_EQ(s->GetTime(&ga, &gb), S_OK);
  EXPECT_EQ(gb, 20);
  LONGLONG ma = 5, mb = 9;
  EXPECT_EQ(s->GetMediaTime(&ma, &mb), VFW_E_MEDIA_TIME_NOT_SET);
  ASSERT_EQ(s->SetMediaTime(&ma, &mb), S_OK);
  EXPECT_EQ(s->SetActualDataLength(100), S_OK);
  EXPECT_EQ(s->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(s->SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
  s->SetSyncPoint(TRUE);
  s->SetDiscontinuity(TRUE);
  s->SetPreroll(TRUE);
  EXPECT_EQ(s->IsSyncPoint(), S_OK);
  AM_MEDIA_TYPE mt{};
  BYTE format[12] = {1, 2, 3};
  mt.majortype = MEDIATYPE_Audio;
  mt.cbFormat = sizeof format;
  mt.pbFormat = format;
  ASSERT_EQ(s->SetMediaType(&mt), S_OK);
  AM_MEDIA_TYPE *copy = nullptr;
  ASSERT_EQ(s->GetMediaType(&copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->pbFormat, format);
  EXPECT_EQ(copy->pbFormat[2], 3);
  CoTaskMemFree(copy->pbFormat);
  CoTaskMemFree(copy);
  s->Release();

  IMediaSample *again = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&again, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(again, s);
  EXPECT_EQ(again->IsSyncPoint(), S_FALSE);
  EXPECT_EQ(again->IsDiscontinuity(), S_FALSE);
  EXPECT_EQ(again->IsPreroll(), S_FALSE);
  EXPECT_EQ(again->GetTime(&ga, &gb), VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(again->GetMediaTime(&ma, &mb), VFW_E_MEDIA_TIME_NOT_SET);
  EXPECT_EQ(again->GetMediaType(&copy), S_FALSE);
  again->Release();
  alloc_->Decommit();
}

TEST_F(MemAllocatorTest, ReleaseBuffer_RejectsForeignAndRepeatedSamples) {
  ASSERT_EQ(Configure(1, 10), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *s = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(alloc_->ReleaseBuffer(nullptr), E_POINTER);
  s->Release();
  // Already back in the free list: a second return must not duplicate it.
  EXPECT_EQ(alloc_->ReleaseBuffer(s), E_INVALIDARG);
  IMediaSample *a = nullptr, *b = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&a, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  EXPECT_EQ(alloc_->GetBuffer(&b, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
  a->Release();
  alloc_->Decommit();
}

TEST_F(MemAllocatorTest, Decommit_WakesABlockedGetBuffer) {
  ASSERT_EQ(Configure(1, 10), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *held = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&held, nullptr, nullptr, 0), S_OK);

  std::atomic<bool> started{false};
  auto waiter = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMediaSample *s = nullptr;
    started = true;
    HRESULT hr = alloc_->GetBuffer(&s, nullptr, nullptr, 0);
    CoUninitialize();
    return hr;
  });
  while (!started) std::this_thread::yield();
  // Whether the waiter has reached its wait yet or not, Decommit must make
  // it return, and with the decommitted answer.
  ASSERT_EQ(alloc_->Decommit(), S_OK);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), VFW_E_NOT_COMMITTED);
  held->Release();  // freed now, not returned to a free list
}

TEST_F(MemAllocatorTest, ReleasedBuffer_WakesABlockedGetBuffer) {
  ASSERT_EQ(Configure(1, 10), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *held = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
  auto waiter = std::async(std::launch::async, [&] {
    IMediaSample *s = nullptr;
    HRESULT hr = alloc_->GetBuffer(&s, nullptr, nullptr, 0);
    if (s) s->Release();
    return hr;
  });
  held->Release();
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), S_OK);
  alloc_->Decommit();
}

TEST_F(MemAllocatorTest, OutstandingSample_KeepsTheAllocatorAlive) {
  ASSERT_EQ(Configure(2, 64), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *s = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
  alloc_->Decommit();
  alloc_->Release();
  alloc_ = nullptr;
  // The sample still works and its release frees everything (ASan checks).
  BYTE *p = nullptr;
  ASSERT_EQ(s->GetPointer(&p), S_OK);
  std::memset(p, 1, 64);
  EXPECT_EQ(s->Release(), 0u);
}

TEST_F(MemAllocatorTest, Recommit_AfterDecommitWithSamplesOut_KeepsTheCount) {
  ASSERT_EQ(Configure(2, 16), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  IMediaSample *out = nullptr;
  ASSERT_EQ(alloc_->GetBuffer(&out, nullptr, nullptr, 0), S_OK);
  ASSERT_EQ(alloc_->Decommit(), S_OK);
  ALLOCATOR_PROPERTIES want{2, 16, 1, 0}, got{};
  EXPECT_EQ(alloc_->SetProperties(&want, &got), VFW_E_BUFFERS_OUTSTANDING);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  out->Release();  // comes back into service
  IMediaSample *a = nullptr, *b = nullptr, *c = nullptr;
  EXPECT_EQ(alloc_->GetBuffer(&a, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  EXPECT_EQ(alloc_->GetBuffer(&b, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  EXPECT_EQ(alloc_->GetBuffer(&c, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
  a->Release();
  b->Release();
  alloc_->Decommit();
}

TEST_F(MemAllocatorTest, ManyThreads_ShareAFewBuffers) {
  ASSERT_EQ(Configure(2, 32), S_OK);
  ASSERT_EQ(alloc_->Commit(), S_OK);
  std::atomic<int> got{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        IMediaSample *s = nullptr;
        if (alloc_->GetBuffer(&s, nullptr, nullptr, 0) == S_OK) {
          BYTE *p = nullptr;
          s->GetPointer(&p);
          p[0] = static_cast<BYTE>(i);
          s->SetActualDataLength(1);
          s->Release();
          ++got;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(got.load(), 800);
  alloc_->Decommit();
}

}  // namespace
