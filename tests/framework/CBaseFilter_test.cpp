// Filter base: state changes and the pin calls they make, pin lookup by id,
// filter information, graph membership and events, the clock, identity.
#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FilterTestDoubles.h"
#include "FrameworkTestSupport.h"

namespace tp::test {
namespace {

using Log = std::vector<std::string>;

class CBaseFilterTest : public FrameworkTest {
 protected:
  void SetUp() override {
    FrameworkTest::SetUp();
    filter_ = new RecordingFilter();
    filter_->AddRef();
  }
  void TearDown() override {
    filter_->Release();
    FrameworkTest::TearDown();
  }
  RecordingPin *ConnectedPin(const char *tag) {
    RecordingPin *p = filter_->AddRecordingPin(tag);
    p->PretendConnected(reinterpret_cast<IPin *>(static_cast<IUnknown *>(&peer_)));
    return p;
  }
  RecordingFilter *filter_ = nullptr;
  DummyPeer peer_;
};

TEST_F(CBaseFilterTest, Run_FromStopped_ActivatesConnectedPinsThenRunsThem) {
  ConnectedPin("a");
  filter_->AddRecordingPin("unconnected");
  ConnectedPin("b");
  ASSERT_EQ(filter_->Run(5), S_OK);
  EXPECT_EQ(filter_->log, (Log{"a.Active", "b.Active", "a.Run", "b.Run"}));
  FILTER_STATE s;
  ASSERT_EQ(filter_->GetState(0, &s), S_OK);
  EXPECT_EQ(s, State_Running);

  filter_->log.clear();
  ASSERT_EQ(filter_->Pause(), S_OK);  // from Running: pins are already active
  EXPECT_TRUE(filter_->log.empty());
  ASSERT_EQ(filter_->Run(6), S_OK);
  EXPECT_EQ(filter_->log, (Log{"a.Run", "b.Run"}));
  filter_->log.clear();
  ASSERT_EQ(filter_->Stop(), S_OK);
  EXPECT_EQ(filter_->log, (Log{"a.Inactive", "b.Inactive"}));
  filter_->log.clear();
  ASSERT_EQ(filter_->Stop(), S_OK);  // already stopped: no pin is visited
  EXPECT_TRUE(filter_->log.empty());
  EXPECT_EQ(filter_->GetState(0, nullptr), E_POINTER);
}

TEST_F(CBaseFilterTest, Stop_VisitsEveryPinAndReportsTheFirstFailure) {
  ConnectedPin("a")->inactiveResult = E_UNEXPECTED;
  ConnectedPin("b")->inactiveResult = E_FAIL;
  ASSERT_EQ(filter_->Pause(), S_OK);
  filter_->log.clear();
  EXPECT_EQ(filter_->Stop(), E_UNEXPECTED);
  EXPECT_EQ(filter_->log, (Log{"a.Inactive", "b.Inactive"}));
  EXPECT_TRUE(filter_->IsStopped());
}

TEST_F(CBaseFilterTest, Pause_FailingPin_UndoesThePinsAlreadyActivated) {
  ConnectedPin("a");
  ConnectedPin("b")->activeResult = E_OUTOFMEMORY;
  ConnectedPin("c");
  EXPECT_EQ(filter_->Pause(), E_OUTOFMEMORY);
  // "a" would otherwise keep a worker that no Stop ever reaches.
  EXPECT_EQ(filter_->log, (Log{"a.Active", "b.Active", "a.Inactive"}));
  EXPECT_TRUE(filter_->IsStopped());
  EXPECT_FALSE(filter_->IsActive());

  filter_->log.clear();
  EXPECT_EQ(filter_->Run(0), E_OUTOFMEMORY);  // Run goes through Pause
  EXPECT_TRUE(filter_->IsStopped());
}

TEST_F(CBaseFilterTest, Run_PinFailure_IsReturnedAndTheFilterIsNotRunning) {
  ConnectedPin("a")->runResult = VFW_E_NOT_CONNECTED;
  EXPECT_EQ(filter_->Run(0), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(filter_->GetStateNoLock(), State_Paused);
}

TEST_F(CBaseFilterTest, PinWalk_StopsAtTheFirstMissingPin) {
  ConnectedPin("a");
  filter_->extraCount = 2;  // claims pins that GetPin cannot give
  EXPECT_EQ(filter_->Pause(), S_OK);
  EXPECT_EQ(filter_->log, (Log{"a.Active"}));
  filter_->Stop();
}

TEST_F(CBaseFilterTest, FindPin_ByDecimalPosition) {
  RecordingPin *a = filter_->AddRecordingPin("a");
  RecordingPin *b = filter_->AddRecordingPin("b");
  IPin *pin = nullptr;
  ASSERT_EQ(filter_->FindPin(u"1", &pin), S_OK);
  EXPECT_EQ(pin, static_cast<IPin *>(a));
  pin->Release();
  ASSERT_EQ(filter_->FindPin(u" +2", &pin), S_OK);
  EXPECT_EQ(pin, static_cast<IPin *>(b));
  pin->Release();
  for (const char16_t *id : {u"Video", u"0", u"3", u"-1", u"", u"99999999999999999999999"}) {
    pin = reinterpret_cast<IPin *>(1);
    EXPECT_EQ(filter_->FindPin(id, &pin), VFW_E_NOT_FOUND);
    EXPECT_EQ(pin, nullptr);
  }
  EXPECT_EQ(filter_->FindPin(nullptr, &pin), VFW_E_NOT_FOUND);
  EXPECT_EQ(filter_->FindPin(u"1", nullptr), E_POINTER);
  EXPECT_EQ(filter_->FindPinNumber(b), 1);
  EXPECT_EQ(filter_->FindPinNumber(nullptr), -1);
}

TEST_F(CBaseFilterTest, FilterInfo_TruncatesTheNameAndCountsTheGraph) {
  TestGraph graph;
  std::u16string longName(200, u'x');
  longName[126] = u'y';
  ASSERT_EQ(filter_->JoinFilterGraph(&graph, longName.c_str()), S_OK);
  EXPECT_EQ(graph.RefCount(), 0u) << "the graph must not be counted by its member";
  FILTER_INFO info;
  ASSERT_EQ(filter_->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(std::u16string(info.achName), longName.substr(0, 127));
  EXPECT_EQ(info.pGraph, static_cast<IFilterGraph *>(&graph));
  EXPECT_EQ(graph.RefCount(), 1u);
  info.pGraph->Release();

  ASSERT_EQ(filter_->JoinFilterGraph(nullptr, nullptr), S_OK);
  ASSERT_EQ(filter_->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(info.achName[0], 0);
  EXPECT_EQ(info.pGraph, nullptr);
  EXPECT_EQ(filter_->QueryFilterInfo(nullptr), E_POINTER);
}

TEST_F(CBaseFilterTest, NotifyEvent_GoesToTheGraphsSink) {
  EXPECT_EQ(filter_->NotifyEvent(EC_ERRORABORT, E_FAIL, 0), E_NOTIMPL);
  TestGraph graph;
  ASSERT_EQ(filter_->JoinFilterGraph(&graph, u"f"), S_OK);
  EXPECT_EQ(filter_->NotifyEvent(EC_ERRORABORT, E_FAIL, 7), S_OK);
  EXPECT_EQ(filter_->NotifyEvent(EC_COMPLETE, S_OK, 7), S_OK);
  ASSERT_EQ(graph.Events().size(), 2u);
  EXPECT_EQ(graph.Events()[0].code, EC_ERRORABORT);
  EXPECT_EQ(graph.Events()[0].param1, static_cast<LONG_PTR>(E_FAIL));
  EXPECT_EQ(graph.Events()[0].param2, 7);
  EXPECT_EQ(graph.Events()[1].param2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(filter_)));
  filter_->JoinFilterGraph(nullptr, nullptr);
  EXPECT_EQ(filter_->NotifyEvent(EC_COMPLETE, S_OK, 0), E_NOTIMPL);
  EXPECT_EQ(graph.RefCount(), 0u);
}

TEST_F(CBaseFilterTest, Clock_IsCountedAndGivesStreamTime) {
  REFERENCE_TIME t = 0;
  EXPECT_EQ(filter_->StreamTime(t), VFW_E_NO_CLOCK);
  FixedClock clock, other;
  ASSERT_EQ(filter_->SetSyncSource(&clock), S_OK);
  EXPECT_EQ(clock.refs.load(), 1);
  clock.now = 1000;
  ASSERT_EQ(filter_->Run(400), S_OK);
  ASSERT_EQ(filter_->StreamTime(t), S_OK);
  EXPECT_EQ(t, 600);
  clock.result = E_UNEXPECTED;
  EXPECT_EQ(filter_->StreamTime(t), E_UNEXPECTED);

  IReferenceClock *got = nullptr;
  ASSERT_EQ(filter_->GetSyncSource(&got), S_OK);
  EXPECT_EQ(got, &clock);
  got->Release();
  ASSERT_EQ(filter_->SetSyncSource(&other), S_OK);
  EXPECT_EQ(clock.refs.load(), 0);
  EXPECT_EQ(other.refs.load(), 1);
  ASSERT_EQ(filter_->SetSyncSource(nullptr), S_OK);
  EXPECT_EQ(other.refs.load(), 0);
  ASSERT_EQ(filter_->GetSyncSource(&got), S_OK);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(filter_->GetSyncSource(nullptr), E_POINTER);
  filter_->Stop();
}

TEST_F(CBaseFilterTest, Identity_AnswersItsInterfacesOnly) {
  IBaseFilter *base = nullptr;
  IMediaFilter *media = nullptr;
  IPersist *persist = nullptr;
  IAMovieSetup *setup = nullptr;
  ASSERT_EQ(filter_->QueryInterface(IID_IBaseFilter, reinterpret_cast<void **>(&base)), S_OK);
  ASSERT_EQ(filter_->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&media)), S_OK);
  ASSERT_EQ(filter_->QueryInterface(IID_IPersist, reinterpret_cast<void **>(&persist)), S_OK);
  ASSERT_EQ(filter_->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void **>(&setup)), S_OK);
  EXPECT_EQ(static_cast<void *>(base), static_cast<void *>(media));
  EXPECT_EQ(static_cast<void *>(base), static_cast<void *>(persist));
  IUnknown *u1 = nullptr, *u2 = nullptr;
  ASSERT_EQ(base->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&u1)), S_OK);
  ASSERT_EQ(setup->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&u2)), S_OK);
  EXPECT_EQ(u1, u2) << "one identity for every interface";
  CLSID clsid;
  ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_RecordingFilter);
  EXPECT_EQ(persist->GetClassID(nullptr), E_POINTER);
  EXPECT_EQ(setup->Register(), S_FALSE);
  EXPECT_EQ(setup->Unregister(), S_FALSE);
  LPWSTR vendor = nullptr;
  EXPECT_EQ(base->QueryVendorInfo(&vendor), E_NOTIMPL);
  IPin *notMine = reinterpret_cast<IPin *>(1);
  EXPECT_EQ(filter_->QueryInterface(IID_IPin, reinterpret_cast<void **>(&notMine)), E_NOINTERFACE);
  EXPECT_EQ(notMine, nullptr);
  EXPECT_EQ(filter_->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
  for (IUnknown *u : {static_cast<IUnknown *>(base), static_cast<IUnknown *>(media), static_cast<IUnknown *>(persist),
                      static_cast<IUnknown *>(setup), u1, u2})
    u->Release();
}

}  // namespace
}  // namespace tp::test
