// Worker threads under load: stopping while a worker waits for a free
// buffer, and many pause/run/stop cycles with two streaming pins.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "peers/SourceFixture.h"

namespace {

using tp::test::kAudioPcm;
using tp::test::TestStream;

class StreamingThreadTest : public tp::test::SourceFixture {};

TEST_F(StreamingThreadTest, Stop_WhileWorkerWaitsForABuffer_ReturnsPromptly) {
  TestStream *stream = AddStream();
  stream->bufferCount = 1;
  peers[0]->holdSamples = true;  // the only buffer never comes back
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(1, peers[0]->NotifiedProperties().cBuffers);
  ASSERT_TRUE(peers[0]->NotifiedIsOwn());
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(peers[0]->WaitForReceived(1));
  // The second request for a buffer cannot be served: the worker waits in it.
  ASSERT_TRUE(peers[0]->OwnAllocator()->WaitForGetBufferCalls(2));

  auto stopped = std::async(std::launch::async, [&] { return filter->Stop(); });
  const bool returned = stopped.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  // On a hang, hand the buffer back so the worker (and the test) can finish.
  if (!returned) peers[0]->ReleaseHeld();
  EXPECT_TRUE(returned) << "Stop did not return while the worker waited for a buffer";
  EXPECT_EQ(S_OK, stopped.get());
  EXPECT_FALSE(stream->ThreadExists());
  if (returned) {
    EXPECT_EQ(1u, peers[0]->Received().size());
  }
  peers[0]->ReleaseHeld();
}

TEST_F(StreamingThreadTest, Stop_WhileDownstreamBlocksInReceive_ReturnsOnceReleased) {
  TestStream *stream = AddStream();
  peers[0]->blockReceive = true;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(peers[0]->WaitUntilBlocked());

  auto stopped = std::async(std::launch::async, [&] { return filter->Stop(); });
  // Downstream lets go when it is flushed or stopped; here the test does it.
  peers[0]->Unblock();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(10))) << "Stop hung";
  EXPECT_EQ(S_OK, stopped.get());
  EXPECT_FALSE(stream->ThreadExists());
}

TEST_F(StreamingThreadTest, ThousandPauseRunStopCycles_TwoPins) {
  TestStream *video = AddStream();
  TestStream *audio = AddStream();
  audio->offeredType = kAudioPcm;
  video->bufferCount = 2;
  audio->bufferCount = 3;
  ASSERT_EQ(S_OK, ConnectTo(video, peers[0]));
  ASSERT_EQ(S_OK, ConnectTo(audio, peers[1]));

  constexpr int kCycles = 1000;
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_EQ(S_OK, filter->Pause()) << "cycle " << i;
    ASSERT_EQ(S_OK, filter->Run(0)) << "cycle " << i;
    ASSERT_EQ(S_OK, filter->Stop()) << "cycle " << i;
    ASSERT_FALSE(video->ThreadExists());
    ASSERT_FALSE(audio->ThreadExists());
  }
  EXPECT_EQ(kCycles, video->threadCreateCalls.load());
  EXPECT_EQ(kCycles, audio->threadDestroyCalls.load());

  // Every sample went back to its allocator: a last run still streams.
  const size_t before = peers[0]->Received().size();
  ASSERT_EQ(S_OK, filter->Run(0));
  EXPECT_TRUE(peers[0]->WaitForReceived(before + 5));
  ASSERT_EQ(S_OK, filter->Stop());
}

}  // namespace
