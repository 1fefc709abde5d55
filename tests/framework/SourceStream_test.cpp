// Source stream pins: activation and deactivation with the filter's state
// changes (and their failure paths), the buffer loop, and the worker's
// command channel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include <evcode.h>

#include "peers/SourceFixture.h"

namespace {

using tp::test::TestGraph;
using tp::test::TestStream;

HANDLE WINAPI NoEvent(BOOL) { return nullptr; }

class SourceStreamTest : public tp::test::SourceFixture {
 protected:
  // Runs fn on another thread; a call that does not return within the bound
  // ends the test program with a failure instead of hanging it.
  template <typename Fn>
  static auto Bounded(Fn fn, std::chrono::seconds bound = std::chrono::seconds(10)) {
    auto future = std::async(std::launch::async, fn);
    if (future.wait_for(bound) != std::future_status::ready) {
      std::fprintf(stderr, "FATAL: call did not return within %lld s\n", static_cast<long long>(bound.count()));
      std::fflush(stderr);
      std::_Exit(1);
    }
    return future.get();
  }

  TestGraph graph;
};

// ---- state changes ----------------------------------------------------------

TEST_F(SourceStreamTest, Pause_UnconnectedPin_GetsNoThread) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_FALSE(stream->ThreadExists());
  EXPECT_EQ(0, stream->threadCreateCalls.load());
  // The filter is active now.
  EXPECT_EQ(S_FALSE, stream->Active());
  EXPECT_EQ(S_OK, filter->Stop());
}

TEST_F(SourceStreamTest, PauseThenStop_StartsAndEndsTheWorker) {
  TestStream *stream = AddStream();
  stream->samplesToProduce = 3;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_TRUE(stream->ThreadExists());
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());
  EXPECT_EQ(3u, peers[0]->Received().size());

  ASSERT_EQ(S_OK, filter->Stop());
  EXPECT_FALSE(stream->ThreadExists());
  EXPECT_EQ(1, stream->threadCreateCalls.load());
  EXPECT_EQ(1, stream->threadDestroyCalls.load());
  EXPECT_EQ(1, stream->startPlayCalls.load());
  // The worker runs in the multithreaded apartment.
  EXPECT_EQ(RPC_E_CHANGED_MODE, stream->apartmentProbe.load());
}

TEST_F(SourceStreamTest, RunFromStopped_ActivatesOnceAndLeavesTheWorkerAlone) {
  TestStream *stream = AddStream();
  stream->samplesToProduce = 2;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Run(0));
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());
  ASSERT_EQ(S_OK, filter->Pause());  // from Running: no pin call
  ASSERT_EQ(S_OK, filter->Stop());
  EXPECT_EQ(1, stream->threadCreateCalls.load());
  EXPECT_EQ(1, stream->startPlayCalls.load());
}

TEST_F(SourceStreamTest, OnThreadCreateFails_PauseReportsItAndALaterPauseWorks) {
  TestStream *stream = AddStream();
  stream->samplesToProduce = 1;
  stream->onThreadCreateResult = E_OUTOFMEMORY;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));

  EXPECT_EQ(E_OUTOFMEMORY, filter->Pause());
  EXPECT_EQ(1, stream->threadDestroyCalls.load());
  EXPECT_FALSE(stream->ThreadExists());
  FILTER_STATE state = State_Running;
  filter->GetState(0, &state);
  EXPECT_EQ(State_Stopped, state);
  // The allocator was decommitted again.
  EXPECT_EQ("Alloc.Decommit", peers[0]->log.Only({"Alloc.Commit", "Alloc.Decommit"}).back());

  stream->onThreadCreateResult = S_OK;
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_TRUE(peers[0]->WaitForEndOfStream());
  EXPECT_EQ(S_OK, filter->Stop());
}

TEST_F(SourceStreamTest, EventsCouldNotBeCreated_PauseFailsCleanly) {
  TestStream *stream = AddStream(&NoEvent);
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(E_FAIL, filter->Pause());
  EXPECT_FALSE(stream->ThreadExists());
  EXPECT_EQ(0, stream->threadCreateCalls.load());
  EXPECT_EQ("Alloc.Decommit", peers[0]->log.Only({"Alloc.Commit", "Alloc.Decommit"}).back());
  EXPECT_EQ(static_cast<DWORD>(E_FAIL), stream->CallWorker(TestStream::CMD_INIT));
  EXPECT_EQ(S_OK, filter->Stop());
}

TEST_F(SourceStreamTest, SecondPinFails_FirstPinIsStoppedAgain) {
  TestStream *first = AddStream();
  TestStream *second = AddStream();
  second->onThreadCreateResult = VFW_E_NO_CLOCK;
  ASSERT_EQ(S_OK, ConnectTo(first, peers[0]));
  ASSERT_EQ(S_OK, ConnectTo(second, peers[1]));

  EXPECT_EQ(VFW_E_NO_CLOCK, filter->Pause());
  EXPECT_FALSE(first->ThreadExists());
  EXPECT_EQ(1, first->threadDestroyCalls.load());
  EXPECT_FALSE(second->ThreadExists());
  // Teardown would wait for ever on a first worker left streaming.
}

TEST_F(SourceStreamTest, WorkerLeftOnItsOwn_StopReportsItAndALaterPauseWorks) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  // The worker is made to leave behind the filter's back.
  ASSERT_EQ(S_OK, stream->Stop());
  ASSERT_EQ(S_OK, stream->Exit());
  EXPECT_EQ(E_FAIL, Bounded([&] { return filter->Stop(); }));
  EXPECT_FALSE(stream->ThreadExists());
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_TRUE(peers[0]->WaitForNewSegments(2));
  EXPECT_EQ(S_OK, filter->Stop());
}

// ---- the buffer loop --------------------------------------------------------

TEST_F(SourceStreamTest, Loop_EndOfStreamAfterTwoSamples) {
  TestStream *stream = AddStream();
  stream->samplesToProduce = 2;
  ASSERT_EQ(S_OK, filter->JoinFilterGraph(&graph, TEXT("test")));
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());
  ASSERT_EQ(S_OK, filter->Stop());

  auto received = peers[0]->Received();
  ASSERT_EQ(2u, received.size());
  EXPECT_EQ(0, received[0].start);
  EXPECT_EQ(400000, received[0].stop);
  EXPECT_EQ(400000, received[1].start);
  EXPECT_EQ(16, received[1].length);
  EXPECT_EQ(3, stream->fillCalls.load());
  EXPECT_EQ(1, peers[0]->EndOfStreamCount());
  EXPECT_TRUE(graph.Events().empty());
  filter->JoinFilterGraph(nullptr, nullptr);
}

TEST_F(SourceStreamTest, Loop_FillFails_EndOfStreamAndErrorAbort) {
  TestStream *stream = AddStream();
  stream->fillResults[1] = E_FAIL;
  ASSERT_EQ(S_OK, filter->JoinFilterGraph(&graph, TEXT("test")));
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(graph.WaitForEvents(1));
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());

  auto events = graph.Events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EC_ERRORABORT, events[0].code);
  EXPECT_EQ(static_cast<LONG_PTR>(E_FAIL), events[0].param1);
  EXPECT_EQ(0, events[0].param2);
  EXPECT_EQ(1u, peers[0]->Received().size());
  // The worker stays alive and idle, and still answers.
  EXPECT_TRUE(stream->ThreadExists());
  EXPECT_EQ(static_cast<DWORD>(E_NOTIMPL), stream->CallWorker(42));
  EXPECT_EQ(S_OK, filter->Stop());
  filter->JoinFilterGraph(nullptr, nullptr);
}

TEST_F(SourceStreamTest, Loop_DownstreamRefuses_NoEndOfStream) {
  TestStream *stream = AddStream();
  peers[0]->receiveResult = S_FALSE;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(peers[0]->WaitForReceived(1));
  // The loop has ended: the worker is idle and answers an unknown command
  // as such (while streaming it would be E_UNEXPECTED).
  EXPECT_EQ(static_cast<DWORD>(E_NOTIMPL), stream->CallWorker(42));
  ASSERT_EQ(S_OK, filter->Stop());
  EXPECT_EQ(1u, peers[0]->Received().size());
  EXPECT_EQ(0, peers[0]->EndOfStreamCount());
}

// ---- commands -------------------------------------------------------------------

TEST_F(SourceStreamTest, Commands_StopWhileStreamingThenRunRestartsTheLoop) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(S_OK, filter->Pause());
  ASSERT_TRUE(peers[0]->WaitForReceived(3));
  EXPECT_EQ(static_cast<DWORD>(E_UNEXPECTED), stream->CallWorker(42));  // streaming: answered, loop goes on
  EXPECT_EQ(S_OK, stream->Pause());                                     // streaming: answered, loop goes on

  EXPECT_EQ(S_OK, stream->Stop());
  EXPECT_EQ(static_cast<DWORD>(E_NOTIMPL), stream->CallWorker(42));  // idle now
  const int startsBefore = stream->startPlayCalls.load();
  EXPECT_EQ(1, startsBefore);

  EXPECT_EQ(S_OK, stream->Run());
  ASSERT_TRUE(peers[0]->WaitForNewSegments(2));
  EXPECT_EQ(2, stream->startPlayCalls.load());
  const size_t before = peers[0]->Received().size();
  ASSERT_TRUE(peers[0]->WaitForReceived(before + 2));
  EXPECT_EQ(S_OK, filter->Stop());
  EXPECT_EQ(1, stream->threadCreateCalls.load());
}

TEST_F(SourceStreamTest, Commands_BeforeInitOnlyInitIsServed) {
  TestStream *stream = AddStream();
  EXPECT_EQ(static_cast<DWORD>(E_FAIL), stream->CallWorker(TestStream::CMD_INIT));  // no thread yet
  ASSERT_TRUE(stream->Create());
  EXPECT_FALSE(stream->Create());
  EXPECT_EQ(E_UNEXPECTED, stream->Pause());
  EXPECT_EQ(E_UNEXPECTED, stream->Stop());
  EXPECT_EQ(0, stream->threadCreateCalls.load());
  EXPECT_EQ(S_OK, stream->Init());
  EXPECT_EQ(1, stream->threadCreateCalls.load());
  EXPECT_EQ(static_cast<DWORD>(E_NOTIMPL), stream->CallWorker(7));
  EXPECT_EQ(S_OK, stream->Stop());
  EXPECT_EQ(S_OK, stream->Exit());
  // The worker has left: further commands fail instead of waiting for ever.
  EXPECT_EQ(E_FAIL, Bounded([&] { return stream->Stop(); }));
  stream->Close();
  EXPECT_FALSE(stream->ThreadExists());
  EXPECT_EQ(1, stream->threadDestroyCalls.load());
}

}  // namespace
