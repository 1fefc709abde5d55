// Output pin connection: media type agreement with a downstream peer, the
// refusals and their result codes, disconnection, and the pin's queries.
#include <gtest/gtest.h>

#include <string>

#include "peers/SourceFixture.h"

namespace {

using tp::test::kAudioPcm;
using tp::test::kVideoRgb32;
using tp::test::kVideoYuy2;
using tp::test::SimpleType;
using tp::test::TestInputPin;
using tp::test::TestStream;

std::string Narrow(LPCWSTR w) {
  std::string s;
  for (; w && *w; ++w) s.push_back(static_cast<char>(*w));
  return s;
}

class PinConnectionTest : public tp::test::SourceFixture {};

TEST_F(PinConnectionTest, Connect_RefusesNullConnectedAndActive) {
  TestStream *stream = AddStream();
  EXPECT_EQ(E_POINTER, stream->Connect(nullptr, nullptr));
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, stream->Connect(peers[1], nullptr));

  TestStream *second = AddStream();
  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, ConnectTo(second, peers[1]));
  EXPECT_FALSE(second->IsConnected());
}

TEST_F(PinConnectionTest, Connect_TriesPeerTypesBeforeOwn) {
  TestStream *stream = AddStream();
  peers[0]->types = {kVideoYuy2, kAudioPcm};  // neither is the pin's RGB32
  ASSERT_EQ(S_OK, stream->Connect(peers[0], nullptr));
  ASSERT_EQ(3u, stream->checkedSubtypes.size());
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_YUY2, stream->checkedSubtypes[0]));
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, stream->checkedSubtypes[1]));
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB32, stream->checkedSubtypes[2]));
  EXPECT_EQ(1u, peers[0]->log.Count("EnumMediaTypes"));
  EXPECT_EQ(1u, peers[0]->log.Count("ReceiveConnection"));
}

TEST_F(PinConnectionTest, Connect_Success_LeavesBothSidesConnected) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));

  IPin *connected = nullptr;
  ASSERT_EQ(S_OK, stream->ConnectedTo(&connected));
  EXPECT_EQ(static_cast<IPin *>(peers[0]), connected);
  connected->Release();
  EXPECT_EQ(static_cast<IPin *>(stream), peers[0]->Connector());

  AM_MEDIA_TYPE mt = {};
  ASSERT_EQ(S_OK, stream->ConnectionMediaType(&mt));
  EXPECT_TRUE(IsEqualGUID(MEDIATYPE_Video, mt.majortype));
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB32, mt.subtype));
  FreeMediaType(mt);
  EXPECT_NE(nullptr, stream->Allocator());
}

TEST_F(PinConnectionTest, Connect_PlainRefusalsEverywhere_NoAcceptableTypes) {
  TestStream *stream = AddStream();
  peers[0]->receiveConnectionResult = E_FAIL;
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, ConnectTo(stream, peers[0]));
  EXPECT_FALSE(stream->IsConnected());
  EXPECT_EQ(nullptr, peers[0]->Connector());
  // Tried with the peer's list, then with the pin's own.
  EXPECT_EQ(2u, peers[0]->log.Count("ReceiveConnection"));
}

TEST_F(PinConnectionTest, Connect_SpecificRefusal_IsReported) {
  TestStream *stream = AddStream();
  peers[0]->receiveConnectionResult = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, ConnectTo(stream, peers[0]));
  EXPECT_FALSE(stream->IsConnected());
  EXPECT_EQ(nullptr, stream->Allocator());
}

TEST_F(PinConnectionTest, Connect_FullySpecifiedType_IsTheOnlyOneTried) {
  TestStream *stream = AddStream();
  AM_MEDIA_TYPE rejected = tp::test::MakeType(kVideoYuy2);
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectTo(stream, peers[0], &rejected));
  EXPECT_EQ(0u, peers[0]->log.Count("EnumMediaTypes"));
  EXPECT_EQ(0u, peers[0]->log.Count("ReceiveConnection"));

  AM_MEDIA_TYPE accepted = tp::test::MakeType(kVideoRgb32);
  EXPECT_EQ(S_OK, ConnectTo(stream, peers[0], &accepted));
  EXPECT_EQ(0u, peers[0]->log.Count("EnumMediaTypes"));
}

TEST_F(PinConnectionTest, Connect_PartialType_FiltersTheCandidates) {
  TestStream *stream = AddStream();
  AM_MEDIA_TYPE audioOnly = tp::test::MakeType({MEDIATYPE_Audio, GUID_NULL, GUID_NULL});
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, ConnectTo(stream, peers[0], &audioOnly));
  EXPECT_EQ(0u, peers[0]->log.Count("ReceiveConnection"));
  EXPECT_TRUE(stream->checkedSubtypes.empty());

  AM_MEDIA_TYPE videoOnly = tp::test::MakeType({MEDIATYPE_Video, GUID_NULL, GUID_NULL});
  EXPECT_EQ(S_OK, ConnectTo(stream, peers[0], &videoOnly));
}

TEST_F(PinConnectionTest, Connect_PeerRefusesToEnumerate_OwnTypesStillTried) {
  TestStream *stream = AddStream();
  peers[0]->enumMediaTypesResult = E_NOTIMPL;
  EXPECT_EQ(S_OK, ConnectTo(stream, peers[0]));
}

TEST_F(PinConnectionTest, Connect_EndlessPeerEnumerator_GivesUpAtTheBound) {
  TestStream *stream = AddStream();
  peers[0]->endlessTypes = true;
  peers[0]->receiveConnectionResult = E_FAIL;
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, ConnectTo(stream, peers[0]));
  // The bound on the peer's list, then the pin's own single type.
  EXPECT_EQ(static_cast<size_t>(CBasePin::kMaxTypesPerEnumerator) + 1, peers[0]->log.Count("ReceiveConnection"));
}

TEST_F(PinConnectionTest, Connect_ToAnotherOutputPin_InvalidDirection) {
  TestStream *stream = AddStream();
  peers[0]->direction = PINDIR_OUTPUT;
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, ConnectTo(stream, peers[0]));
  EXPECT_EQ(0u, peers[0]->log.Count("ReceiveConnection"));
}

TEST_F(PinConnectionTest, Connect_PeerWithoutMemInputPin_Refused) {
  TestStream *stream = AddStream();
  peers[0]->supportsMemInput = false;
  EXPECT_EQ(E_NOINTERFACE, ConnectTo(stream, peers[0]));
  EXPECT_FALSE(stream->IsConnected());
}

TEST_F(PinConnectionTest, Connect_CompleteConnectFails_PeerIsDisconnectedAgain) {
  TestStream *stream = AddStream();
  peers[0]->notifyAllocatorResult = VFW_E_BADALIGN;
  EXPECT_EQ(VFW_E_BADALIGN, ConnectTo(stream, peers[0]));
  auto calls = peers[0]->log.Only({"ReceiveConnection", "Disconnect"});
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ("ReceiveConnection", calls[0]);
  EXPECT_EQ("Disconnect", calls[1]);
  EXPECT_EQ(nullptr, peers[0]->Connector());
  EXPECT_FALSE(stream->IsConnected());
  EXPECT_EQ(nullptr, stream->Allocator());
}

TEST_F(PinConnectionTest, ReceiveConnection_OnOutputPin) {
  TestStream *stream = AddStream();
  AM_MEDIA_TYPE mt = tp::test::MakeType(kVideoRgb32);
  EXPECT_EQ(E_POINTER, stream->ReceiveConnection(nullptr, &mt));
  EXPECT_EQ(E_POINTER, stream->ReceiveConnection(peers[0], nullptr));

  peers[1]->direction = PINDIR_OUTPUT;
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, stream->ReceiveConnection(peers[1], &mt));

  AM_MEDIA_TYPE other = tp::test::MakeType(kVideoYuy2);
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, stream->ReceiveConnection(peers[0], &other));
  EXPECT_FALSE(stream->IsConnected());

  EXPECT_EQ(S_OK, stream->ReceiveConnection(peers[0], &mt));
  EXPECT_TRUE(stream->IsConnected());
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, stream->ReceiveConnection(peers[0], &mt));
  // Our side only: release the reference the peer would otherwise hold.
  EXPECT_EQ(S_OK, stream->Disconnect());
}

TEST_F(PinConnectionTest, Disconnect_ReleasesPeerAndAllocator) {
  TestStream *stream = AddStream();
  EXPECT_EQ(S_FALSE, stream->Disconnect());
  const ULONG peerRefsBefore = peers[0]->RefCount();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_GT(peers[0]->RefCount(), peerRefsBefore);

  ASSERT_EQ(S_OK, filter->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, stream->Disconnect());
  ASSERT_EQ(S_OK, filter->Stop());

  EXPECT_EQ(S_OK, stream->Disconnect());
  EXPECT_FALSE(stream->IsConnected());
  EXPECT_EQ(nullptr, stream->Allocator());
  peers[0]->Disconnect();
  EXPECT_EQ(peerRefsBefore, peers[0]->RefCount());
}

TEST_F(PinConnectionTest, Unconnected_QueriesAndDeliveries) {
  TestStream *stream = AddStream();
  IPin *connected = reinterpret_cast<IPin *>(1);
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->ConnectedTo(&connected));
  EXPECT_EQ(nullptr, connected);

  AM_MEDIA_TYPE mt;
  mt.majortype = MEDIATYPE_Video;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->ConnectionMediaType(&mt));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, mt.majortype));
  EXPECT_EQ(0u, mt.cbFormat);

  IMediaSample *sample = nullptr;
  EXPECT_EQ(E_NOINTERFACE, stream->GetDeliveryBuffer(&sample, nullptr, nullptr, 0));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->Deliver(nullptr));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->DeliverEndOfStream());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->DeliverBeginFlush());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->DeliverEndFlush());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, stream->DeliverNewSegment(0, 1, 1.0));
  EXPECT_EQ(VFW_E_NO_ALLOCATOR, stream->CBaseOutputPin::Active());
  EXPECT_EQ(VFW_E_NO_ALLOCATOR, stream->CBaseOutputPin::Inactive());
}

TEST_F(PinConnectionTest, Connected_DeliveriesReachThePeer) {
  TestStream *stream = AddStream();
  ASSERT_EQ(S_OK, ConnectTo(stream, peers[0]));
  EXPECT_EQ(S_OK, stream->DeliverBeginFlush());
  EXPECT_EQ(S_OK, stream->DeliverEndFlush());
  EXPECT_EQ(S_OK, stream->DeliverNewSegment(0, 10, 1.0));
  EXPECT_EQ(S_OK, stream->DeliverEndOfStream());
  EXPECT_EQ((std::vector<std::string>{"BeginFlush", "EndFlush", "NewSegment", "EndOfStream"}),
            peers[0]->log.Only({"BeginFlush", "EndFlush", "NewSegment", "EndOfStream"}));
}

TEST_F(PinConnectionTest, Identity_IdsInfoDirection) {
  TestStream *first = AddStream();
  TestStream *second = AddStream();
  LPWSTR id = nullptr;
  ASSERT_EQ(S_OK, first->QueryId(&id));
  EXPECT_EQ("1", Narrow(id));
  CoTaskMemFree(id);
  ASSERT_EQ(S_OK, second->QueryId(&id));
  EXPECT_EQ("2", Narrow(id));
  CoTaskMemFree(id);

  PIN_INFO info = {};
  ASSERT_EQ(S_OK, second->QueryPinInfo(&info));
  EXPECT_EQ("Audio", Narrow(info.achName));
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  EXPECT_EQ(static_cast<IBaseFilter *>(filter), info.pFilter);
  info.pFilter->Release();

  PIN_DIRECTION dir = PINDIR_INPUT;
  EXPECT_EQ(S_OK, first->QueryDirection(&dir));
  EXPECT_EQ(PINDIR_OUTPUT, dir);

  EXPECT_EQ(E_POINTER, first->QueryId(nullptr));
  EXPECT_EQ(E_POINTER, first->QueryPinInfo(nullptr));
  EXPECT_EQ(E_POINTER, first->QueryDirection(nullptr));
  EXPECT_EQ(E_POINTER, first->ConnectedTo(nullptr));
  EXPECT_EQ(E_POINTER, first->ConnectionMediaType(nullptr));
  EXPECT_EQ(E_POINTER, first->QueryAccept(nullptr));
  EXPECT_EQ(E_POINTER, first->EnumMediaTypes(nullptr));
}

TEST_F(PinConnectionTest, Identity_LongNameTruncatedTo127) {
  std::u16string longName(200, u'x');
  HRESULT hr = E_FAIL;
  auto *stream = new TestStream(filter, longName.c_str(), &hr);
  ASSERT_EQ(S_OK, hr);
  PIN_INFO info = {};
  ASSERT_EQ(S_OK, stream->QueryPinInfo(&info));
  EXPECT_EQ(127u, std::u16string(info.achName).size());
  info.pFilter->Release();
}

TEST_F(PinConnectionTest, Identity_PinCountsOnItsFilter) {
  TestStream *stream = AddStream();
  IPin *pin = nullptr;
  ASSERT_EQ(S_OK, stream->QueryInterface(IID_IPin, reinterpret_cast<void **>(&pin)));
  IQualityControl *qc = nullptr;
  ASSERT_EQ(S_OK, stream->QueryInterface(IID_IQualityControl, reinterpret_cast<void **>(&qc)));
  IMediaSeeking *seeking = reinterpret_cast<IMediaSeeking *>(1);
  EXPECT_EQ(E_NOINTERFACE, stream->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking)));
  EXPECT_EQ(nullptr, seeking);
  // Two pin references are two filter references; releasing the filter's own
  // reference must not destroy it while they are held.
  const ULONG filterRefs = filter->AddRef();
  EXPECT_EQ(4u, filterRefs);  // fixture + pin + quality control + this one
  filter->Release();
  EXPECT_EQ(E_NOTIMPL, qc->Notify(filter, Quality{}));
  EXPECT_EQ(S_OK, qc->SetSink(nullptr));
  qc->Release();
  pin->Release();
}

TEST_F(PinConnectionTest, MediaTypes_SingleTypeRules) {
  TestStream *stream = AddStream();
  CMediaType mt;
  EXPECT_EQ(S_OK, stream->GetMediaType(0, &mt));
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB32, mt.subtype));
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, stream->GetMediaType(1, &mt));
  EXPECT_EQ(E_INVALIDARG, stream->GetMediaType(-1, &mt));

  AM_MEDIA_TYPE own = tp::test::MakeType(kVideoRgb32);
  AM_MEDIA_TYPE other = tp::test::MakeType(kVideoYuy2);
  EXPECT_EQ(S_OK, stream->QueryAccept(&own));
  EXPECT_EQ(S_FALSE, stream->QueryAccept(&other));

  IEnumMediaTypes *types = nullptr;
  ASSERT_EQ(S_OK, stream->EnumMediaTypes(&types));
  AM_MEDIA_TYPE *got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, types->Next(3, got, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB32, got[0]->subtype));
  DeleteMediaType(got[0]);
  types->Release();
}

}  // namespace
