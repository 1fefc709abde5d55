// The grabber's two faces: the host's interface (identity, inert counting,
// callback with the host's values) and the tracks' OnSample, including a
// callback replaced while samples arrive on another thread.
#include "filter/CMediaSampleGrabber.h"

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/SampleData.h"
#include "framework/CMediaSample.h"

namespace filtertest {
namespace {

struct Call {
  LONG isAudio;
  IQuillSampleRecord *record;
  LONG formatChanged;
  LONG_PTR user1;
  LONG_PTR user2;
  LONG copyResult;
};

struct Host {
  std::vector<Call> calls;
};

void STDMETHODCALLTYPE Record(LONG isAudio, IQuillSampleRecord *record, LONG formatChanged, LONG_PTR user1,
                              LONG_PTR user2) {
  std::vector<BYTE> buffer(4096 + 16);
  const LONG copied = record->CopyTo(buffer.data(), static_cast<unsigned>(buffer.size()));
  reinterpret_cast<Host *>(user1)->calls.push_back(Call{isAudio, record, formatChanged, user1, user2, copied});
}

TEST(Grabber, QueryInterfaceHandsOutTheGrabberOnly) {
  CMediaSampleGrabber grabber(nullptr);
  IQuillSampleGrabber *face = &grabber;
  struct Row {
    GUID iid;
    HRESULT result;
    void *expected;
  };
  const Row rows[] = {{IID_IUnknown, S_OK, face},
                      {IID_IQuillSampleGrabber, S_OK, face},
                      {IID_IMediaSeeking, E_NOINTERFACE, nullptr},
                      {IID_IBaseFilter, E_NOINTERFACE, nullptr}};
  for (const Row &row : rows) {
    void *out = &grabber;  // anything but the answer
    EXPECT_EQ(face->QueryInterface(row.iid, &out), row.result);
    EXPECT_EQ(out, row.expected);
  }
  EXPECT_EQ(face->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  // Counting is inert: the filter owns the object.
  EXPECT_EQ(face->AddRef(), 1u);
  EXPECT_EQ(face->Release(), 1u);
  EXPECT_EQ(face->Release(), 1u);
  EXPECT_EQ(face->GrabberOption1(-7), S_OK);
  EXPECT_EQ(face->GrabberOption2(123), S_OK);
  EXPECT_EQ(face->GrabberConfigure(1, 2, 3, 4, 5), S_OK);
}

TEST(Grabber, CallbackGetsEachSampleWithTheHostsValues) {
  CMediaSampleGrabber grabber(nullptr);
  IMediaSampleGrabber *tracks = &grabber;
  BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  HRESULT hr = S_OK;
  CMediaSample sample(TEXT("test"), nullptr, &hr, bytes, 8);
  sample.SetActualDataLength(8);
  AVSampleData record;
  record.isAudio = 1;
  record.sample = &sample;

  EXPECT_EQ(tracks->OnSample(1, &record, 0), 0);  // no callback yet: nothing happens

  Host host;
  const LONG_PTR user2 = static_cast<LONG_PTR>(-2);
  ASSERT_EQ(grabber.SetCallback(&Record, reinterpret_cast<LONG_PTR>(&host), user2), S_OK);
  EXPECT_EQ(tracks->OnSample(0, &record, 1), 0);
  EXPECT_EQ(tracks->OnSample(1, &record, 0), 0);
  ASSERT_EQ(grabber.SetCallback(nullptr, 0, 0), S_OK);
  EXPECT_EQ(tracks->OnSample(1, &record, 0), 0);

  ASSERT_EQ(host.calls.size(), 2u);
  const IQuillSampleRecord *expected = &record;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(host.calls[i].isAudio, static_cast<LONG>(i));
    EXPECT_EQ(host.calls[i].formatChanged, i == 0 ? 1 : 0);
    EXPECT_EQ(host.calls[i].record, expected);
    EXPECT_EQ(host.calls[i].user1, reinterpret_cast<LONG_PTR>(&host));
    EXPECT_EQ(host.calls[i].user2, user2);
    // The grabber put the copy in place: the host can copy the record.
    EXPECT_EQ(host.calls[i].copyResult, 0);
  }
}

std::atomic<int> g_mismatches{0};
std::atomic<int> g_calls{0};

void STDMETHODCALLTYPE First(LONG, IQuillSampleRecord *, LONG, LONG_PTR user1, LONG_PTR user2) {
  if (user1 != 1 || user2 != 10) ++g_mismatches;
  ++g_calls;
}

void STDMETHODCALLTYPE Second(LONG, IQuillSampleRecord *, LONG, LONG_PTR user1, LONG_PTR user2) {
  if (user1 != 2 || user2 != 20) ++g_mismatches;
  ++g_calls;
}

// Samples arrive on a worker while the host swaps callbacks: each call sees
// a callback with its own values, never a mix.
TEST(Grabber, CallbackReplacedWhileSamplesArrive) {
  CMediaSampleGrabber grabber(nullptr);
  AVSampleData record;
  grabber.SetCallback(&First, 1, 10);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) grabber.OnSample(0, &record, 0);
  });
  // Keep swapping until the worker has made calls too, however the two
  // threads are scheduled.
  for (int i = 0; i < 2000 || g_calls.load() < 200; ++i) {
    if (i % 2 == 0) {
      grabber.SetCallback(&Second, 2, 20);
    } else {
      grabber.SetCallback(&First, 1, 10);
    }
  }
  stop = true;
  worker.join();
  EXPECT_GT(g_calls.load(), 0);
  EXPECT_EQ(g_mismatches.load(), 0);
}

}  // namespace
}  // namespace filtertest
