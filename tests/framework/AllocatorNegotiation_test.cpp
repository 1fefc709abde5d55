// Allocator negotiation when a connection completes: the peer's allocator
// first, the standard memory allocator second, the order of the calls and
// the result codes; commit and decommit with the filter's state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peers/SourceFixture.h"

namespace {

using tp::test::TestInputPin;
using tp::test::TestStream;

const std::vector<std::string> kNegotiationCalls = {"GetAllocatorRequirements", "GetAllocator", "Alloc.SetProperties",
                                                    "NotifyAllocator"};

class AllocatorNegotiationTest : public tp::test::SourceFixture {};

TEST_F(AllocatorNegotiationTest, PeerAllocatorAccepted_UsedInOrder) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(kNegotiationCalls, peers[0]->log.Only(kNegotiationCalls));
  EXPECT_TRUE(peers[0]->NotifiedIsOwn());
  EXPECT_EQ(peers[0]->NotifiedAllocator(), stream->Allocator());
  EXPECT_GE(peers[0]->NotifiedProperties().cbBuffer, stream->bufferSize);
}

TEST_F(AllocatorNegotiationTest, Requirements_PassedOnWithAlignmentAtLeastOne) {
  TestStream *stream = AddStream();
  peers[0]->requirements = {4, 2048, 0, 0};
  peers[0]->requirementsResult = S_OK;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(1u, stream->sizingRequests.size());
  EXPECT_EQ(4, stream->sizingRequests[0].cBuffers);
  EXPECT_EQ(2048, stream->sizingRequests[0].cbBuffer);
  EXPECT_EQ(1, stream->sizingRequests[0].cbAlign);
  EXPECT_EQ(0, stream->sizingRequests[0].cbPrefix);
}

TEST_F(AllocatorNegotiationTest, RequirementsRefused_StartFromZeroes) {
  TestStream *stream = AddStream();
  peers[0]->requirements = {9, 9, 9, 9};
  peers[0]->requirementsResult = E_NOTIMPL;  // the peer writes nothing
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(1u, stream->sizingRequests.size());
  EXPECT_EQ(0, stream->sizingRequests[0].cBuffers);
  EXPECT_EQ(0, stream->sizingRequests[0].cbBuffer);
  EXPECT_EQ(1, stream->sizingRequests[0].cbAlign);
}

TEST_F(AllocatorNegotiationTest, PeerHasNoAllocator_StandardAllocatorUsed) {
  TestStream *stream = AddStream();
  peers[0]->allocatorMode = TestInputPin::AllocatorMode::None;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(1u, stream->sizingRequests.size());
  EXPECT_EQ(1u, peers[0]->log.Count("NotifyAllocator"));
  EXPECT_EQ(0u, peers[0]->log.Count("Alloc.SetProperties"));
  ASSERT_NE(nullptr, peers[0]->NotifiedAllocator());
  EXPECT_FALSE(peers[0]->NotifiedIsOwn());
  EXPECT_EQ(peers[0]->NotifiedAllocator(), stream->Allocator());
  ALLOCATOR_PROPERTIES props = peers[0]->NotifiedProperties();
  EXPECT_EQ(stream->bufferSize, props.cbBuffer);
  EXPECT_EQ(stream->bufferCount, props.cBuffers);
}

TEST_F(AllocatorNegotiationTest, PeerClaimsAnAllocatorButGivesNone_StandardAllocatorUsed) {
  TestStream *stream = AddStream();
  peers[0]->allocatorMode = TestInputPin::AllocatorMode::NullWithSuccess;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(1u, stream->sizingRequests.size());
  ASSERT_NE(nullptr, stream->Allocator());
  EXPECT_EQ(peers[0]->NotifiedAllocator(), stream->Allocator());
}

TEST_F(AllocatorNegotiationTest, PeerAllocatorRefusesSizes_FallbackSeesTheSameRecord) {
  TestStream *stream = AddStream();
  peers[0]->ownAllocatorSetPropertiesResult = VFW_E_BADALIGN;
  stream->prefixSetByFirstSizing = 16;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  ASSERT_EQ(2u, stream->sizingRequests.size());
  EXPECT_EQ(0, stream->sizingRequests[0].cbPrefix);
  EXPECT_EQ(16, stream->sizingRequests[1].cbPrefix);  // changed by the first call, kept for the second
  EXPECT_EQ(1u, peers[0]->log.Count("NotifyAllocator"));
  EXPECT_FALSE(peers[0]->NotifiedIsOwn());
  EXPECT_EQ(16, peers[0]->NotifiedProperties().cbPrefix);
}

TEST_F(AllocatorNegotiationTest, NotifyRefusedTwice_ConnectionFailsWithThatCode) {
  TestStream *stream = AddStream();
  peers[0]->notifyAllocatorResult = VFW_E_NO_ALLOCATOR;
  EXPECT_EQ(VFW_E_NO_ALLOCATOR, ConnectTo(stream, peers[0]));
  // The pin's own type list is tried too after the peer's, each attempt
  // negotiating twice (peer's allocator, then the standard one).
  EXPECT_EQ(0u, peers[0]->log.Count("NotifyAllocator") % 2);
  EXPECT_GE(peers[0]->log.Count("NotifyAllocator"), 2u);
  EXPECT_EQ(nullptr, stream->Allocator());
  EXPECT_FALSE(stream->IsConnected());
}

TEST_F(AllocatorNegotiationTest, SizingFailsEverywhere_LastFailureReturned) {
  TestStream *stream = AddStream();
  stream->decideBufferSizeResult = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, ConnectTo(stream, peers[0]));
  EXPECT_EQ(0u, peers[0]->log.Count("NotifyAllocator"));
  EXPECT_EQ(nullptr, stream->Allocator());
}

TEST_F(AllocatorNegotiationTest, ActiveCommitsInactiveDecommits) {
  TestStream *stream = AddStream();
  stream->samplesToProduce = 0;
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  peers[0]->log.Clear();
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_EQ(std::vector<std::string>{"Alloc.Commit"}, peers[0]->log.Only({"Alloc.Commit", "Alloc.Decommit"}));
  ASSERT_EQ(S_OK, filter->Stop());
  EXPECT_EQ((std::vector<std::string>{"Alloc.Commit", "Alloc.Decommit"}),
            peers[0]->log.Only({"Alloc.Commit", "Alloc.Decommit"}));
}

}  // namespace
