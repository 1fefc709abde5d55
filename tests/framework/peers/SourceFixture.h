// SourceFixture: a test source filter with up to two streams and one test
// input pin per stream, torn down in the order that leaves nothing alive
// (stop, disconnect both sides, release peers, release the filter).
#pragma once

#include <array>

#include "FrameworkTestSupport.h"
#include "peers/TestInputPin.h"
#include "peers/TestSource.h"

namespace tp::test {

class SourceFixture : public FrameworkTest {
 protected:
  void SetUp() override {
    FrameworkTest::SetUp();
    filter = new TestSource;
    filter->NonDelegatingAddRef();
    for (int i = 0; i < 2; ++i) peers[i] = new TestInputPin;
  }

  void TearDown() override {
    if (filter) {
      filter->Stop();
      for (int i = 0; i < filter->GetPinCount(); ++i) filter->Stream(i)->Disconnect();
    }
    for (TestInputPin *&peer : peers) {
      if (!peer) continue;
      peer->Disconnect();
      peer->Release();
      peer = nullptr;
    }
    if (filter) filter->NonDelegatingRelease();
    filter = nullptr;
    FrameworkTest::TearDown();
  }

  // Adds a stream named "Video" (first) or "Audio" (second).
  TestStream *AddStream(CAMEvent::Creator createEvent = nullptr) {
    HRESULT hr = E_UNEXPECTED;
    const int n = filter->GetPinCount();
    auto *stream = new TestStream(filter, n == 0 ? TEXT("Video") : TEXT("Audio"), &hr, createEvent);
    EXPECT_EQ(S_OK, hr);
    return stream;
  }

  HRESULT ConnectTo(TestStream *stream, TestInputPin *peer, const AM_MEDIA_TYPE *pmt = nullptr) {
    if (peer->types.empty()) peer->types = {stream->offeredType};
    return stream->Connect(peer, pmt);
  }

  TestSource *filter = nullptr;
  std::array<TestInputPin *, 2> peers{};
};

}  // namespace tp::test
