// The filter graph manager against the graph test source module: source
// lookup by extension, rendering by merit onto the null renderer, state
// order, completion and error events, seeking through the renderers, and
// the event queue's handle and flags.
#include <windows.h>
#include <dshow.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "support/GraphTestEnv.h"
#include "support/RecordingSink.h"

namespace {

using tp::test::GraphTest;
using tp::test::RecordingSink;
using tp::test::Watchdog;

// {C1F400A4-3F08-11D3-9F0B-006008039E37}
TP_SDK_GUID(CLSID_NullRendererForTest, 0xC1F400A4, 0x3F08, 0x11D3, 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37);

constexpr LONGLONG kSecond = 10'000'000;

template <class T>
struct Ref {
  T *p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T **put() { return &p; }
  void **putVoid() { return reinterpret_cast<void **>(&p); }
  T *operator->() const { return p; }
  void Reset() {
    if (p) p->Release();
    p = nullptr;
  }
};

class FilterGraphTest : public GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    ASSERT_TRUE(RegisterExtension(u".tgs"));
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.putVoid()));
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaControl, control.putVoid()));
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaEventEx, events.putVoid()));
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaSeeking, seeking.putVoid()));
  }
  void TearDown() override {
    if (control.p) control->Stop();
    seeking.Reset();
    events.Reset();
    control.Reset();
    graph.Reset();
    GraphTest::TearDown();
  }

  int FilterCount() {
    Ref<IEnumFilters> e;
    EXPECT_EQ(S_OK, graph->EnumFilters(e.put()));
    int n = 0;
    IBaseFilter *f = nullptr;
    while (e->Next(1, &f, nullptr) == S_OK) {
      f->Release();
      ++n;
    }
    return n;
  }
  // The filter downstream of the source's pin `id` ("1", "2").
  CLSID DownstreamOf(IBaseFilter *source, LPCWSTR id) {
    CLSID clsid = GUID_NULL;
    Ref<IPin> out, peer;
    if (FAILED(source->FindPin(id, out.put())) || FAILED(out->ConnectedTo(peer.put()))) return clsid;
    PIN_INFO info{};
    peer->QueryPinInfo(&info);
    info.pFilter->GetClassID(&clsid);
    info.pFilter->Release();
    return clsid;
  }
  LONG Delivered(IBaseFilter *source, LPCWSTR pin) {
    Ref<IGraphTestSource> probe;
    if (FAILED(source->QueryInterface(IID_IGraphTestSource, probe.putVoid()))) return -1;
    return probe->Delivered(pin);
  }
  // Adds the source for `spec` and connects its first pin to a new
  // recording sink that takes `major`.
  RecordingSink *SourceIntoSink(const std::string &spec, const GUID &major, Ref<IBaseFilter> &source) {
    EXPECT_EQ(S_OK, graph->AddSourceFilter(WriteSpec("s.tgs", spec).c_str(), u"source", source.put()));
    RecordingSink *sink = RecordingSink::Make(major);
    EXPECT_EQ(S_OK, graph->AddFilter(sink, u"sink"));
    Ref<IPin> out;
    EXPECT_EQ(S_OK, source->FindPin(u"1", out.put()));
    EXPECT_EQ(S_OK, graph->Connect(out.p, sink->InputPin()));
    return sink;
  }

  Ref<IGraphBuilder> graph;
  Ref<IMediaControl> control;
  Ref<IMediaEventEx> events;
  Ref<IMediaSeeking> seeking;
};

TEST_F(FilterGraphTest, AddSourceFilter_FindsTheSourceByExtension) {
  // {5A5A5A5A-0000-4000-8000-000000000001}: registered, but no such class.
  ASSERT_TRUE(
      SetString(u"Media Type\\Extensions\\.ghost", u"Source Filter", u"{5A5A5A5A-0000-4000-8000-000000000001}"));
  const std::u16string spec = WriteSpec("a.tgs", "video 2\n");
  const std::u16string upper = WriteSpec("B.TGS", "video 2\n");
  const std::u16string unknown = WriteSpec("c.xyz", "video 2\n");
  const std::u16string none = WriteSpec("noextension", "video 2\n");
  const std::u16string ghost = WriteSpec("d.ghost", "video 2\n");
  const std::u16string missing = tp::test::Widen((Dir() / "missing.tgs").string());
  struct Case {
    const std::u16string *file;
    HRESULT expected;
  } cases[] = {
      {&spec, S_OK},
      {&upper, S_OK},  // extension keys are case-insensitive, as on Windows
      {&unknown, VFW_E_UNKNOWN_FILE_TYPE},
      {&none, VFW_E_UNKNOWN_FILE_TYPE},
      {&ghost, VFW_E_CANNOT_LOAD_SOURCE_FILTER},
      {&missing, VFW_E_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.file->begin(), c.file->end()));
    Ref<IBaseFilter> source;
    ASSERT_EQ(c.expected, graph->AddSourceFilter(c.file->c_str(), nullptr, source.put()));
    if (c.expected != S_OK) {
      EXPECT_EQ(nullptr, source.p);
      continue;
    }
    CLSID clsid;
    ASSERT_EQ(S_OK, source->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_GraphTestSource));
    FILTER_INFO info{};
    ASSERT_EQ(S_OK, source->QueryFilterInfo(&info));
    EXPECT_EQ(*c.file, std::u16string(info.achName));  // named after the file
    EXPECT_EQ(static_cast<IFilterGraph *>(graph.p), info.pGraph);
    info.pGraph->Release();
    Ref<IFileSourceFilter> fs;
    ASSERT_EQ(S_OK, source->QueryInterface(IID_IFileSourceFilter, fs.putVoid()));
    LPOLESTR loaded = nullptr;
    ASSERT_EQ(S_OK, fs->GetCurFile(&loaded, nullptr));
    EXPECT_EQ(*c.file, std::u16string(loaded));
    CoTaskMemFree(loaded);
    EXPECT_EQ(S_OK, graph->RemoveFilter(source.p));
  }
  EXPECT_EQ(0, FilterCount());
}

TEST_F(FilterGraphTest, RenderFile_ConnectsEveryPinByMerit) {
  struct Case {
    const char *spec;
    bool withoutNullRenderer;
    HRESULT expected;
    int filters;
  } cases[] = {
      {"video 3\naudio 3\n", false, S_OK, 3},
      {"audio 3\n", false, S_OK, 2},
      {"", false, VFW_E_CANNOT_RENDER, 0},  // a source with no pins
      {"video 3\n", true, VFW_E_CANNOT_RENDER, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.spec);
    if (c.withoutNullRenderer) {
      Ref<IFilterMapper2> mapper;
      ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                       mapper.putVoid()));
      ASSERT_EQ(S_OK, mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, CLSID_NullRendererForTest));
    }
    const std::u16string file = WriteSpec("render.tgs", c.spec);
    EXPECT_EQ(c.expected, graph->RenderFile(file.c_str(), nullptr));
    EXPECT_EQ(c.filters, FilterCount());
    Ref<IBaseFilter> source;
    if (c.expected == S_OK) {
      ASSERT_EQ(S_OK, graph->FindFilterByName(file.c_str(), source.put()));
      EXPECT_TRUE(IsEqualGUID(CLSID_NullRendererForTest, DownstreamOf(source.p, u"1")));
      ASSERT_EQ(S_OK, graph->RemoveFilter(source.p));
    }
    // The renderers stay; clear them for the next case.
    Ref<IEnumFilters> e;
    graph->EnumFilters(e.put());
    IBaseFilter *f = nullptr;
    while (e->Next(1, &f, nullptr) == S_OK) {
      graph->RemoveFilter(f);
      f->Release();
    }
  }
}

TEST_F(FilterGraphTest, AddFilter_NamesAreUniqueAndFound) {
  RecordingSink *a = RecordingSink::Make(GUID_NULL);
  RecordingSink *b = RecordingSink::Make(GUID_NULL);
  RecordingSink *c = RecordingSink::Make(GUID_NULL);
  EXPECT_EQ(S_OK, graph->AddFilter(a, u"sink"));
  EXPECT_EQ(VFW_S_DUPLICATE_NAME, graph->AddFilter(b, u"sink"));
  EXPECT_EQ(S_OK, graph->AddFilter(c, nullptr));
  EXPECT_EQ(VFW_E_DUPLICATE_NAME, graph->AddFilter(a, u"again"));  // the same filter twice
  struct Case {
    const char16_t *name;
    IBaseFilter *filter;
  } cases[] = {{u"sink", a}, {u"sink 0001", b}, {u"0001", c}, {u"nobody", nullptr}};
  for (const Case &k : cases) {
    Ref<IBaseFilter> found;
    EXPECT_EQ(k.filter ? S_OK : VFW_E_NOT_FOUND, graph->FindFilterByName(k.name, found.put()));
    EXPECT_EQ(k.filter, found.p);
  }
  EXPECT_EQ(S_OK, graph->RemoveFilter(b));
  EXPECT_EQ(VFW_E_NOT_FOUND, graph->RemoveFilter(b));
  FILTER_INFO info{};
  ASSERT_EQ(S_OK, b->QueryFilterInfo(&info));
  EXPECT_EQ(nullptr, info.pGraph);  // left the graph
  EXPECT_EQ(2, FilterCount());
  a->Release();
  b->Release();
  c->Release();
}

TEST_F(FilterGraphTest, ConnectDirect_RefusesWhatDirectShowRefuses) {
  Ref<IBaseFilter> source;
  RecordingSink *sink = SourceIntoSink("video 3\n", MEDIATYPE_Video, source);
  RecordingSink *outsider = RecordingSink::Make(GUID_NULL);
  Ref<IPin> out;
  ASSERT_EQ(S_OK, source->FindPin(u"1", out.put()));
  EXPECT_EQ(VFW_E_NOT_IN_GRAPH, graph->ConnectDirect(out.p, outsider->InputPin(), nullptr));
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, graph->ConnectDirect(sink->InputPin(), out.p, nullptr));
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, graph->Render(out.p));
  EXPECT_EQ(S_OK, graph->Reconnect(out.p));
  AM_MEDIA_TYPE mt{};
  ASSERT_EQ(S_OK, sink->InputPin()->ConnectionMediaType(&mt));
  EXPECT_TRUE(IsEqualGUID(MEDIATYPE_Video, mt.majortype));
  tp::sink::FreeTypeFields(mt);
  ASSERT_TRUE(SUCCEEDED(control->Pause()));  // S_FALSE until the sink has a sample
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph->Reconnect(out.p));
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph->RemoveFilter(sink));
  EXPECT_EQ(S_OK, control->Stop());
  EXPECT_EQ(S_OK, graph->Disconnect(out.p));
  EXPECT_EQ(S_OK, graph->Disconnect(sink->InputPin()));
  EXPECT_EQ(S_FALSE, graph->Disconnect(sink->InputPin()));
  outsider->Release();
  sink->Release();
}

// Streaming: runs each case to its end, without a clock (as fast as the
// filters go) or on the system clock (real time).
TEST_F(FilterGraphTest, Run_EndsWithOneEventForTheWholeGraph) {
  struct Case {
    const char *spec;
    bool clock;
    LONG code;
    LONG video, audio;
  } cases[] = {
      {"video 50\naudio 100\n", false, EC_COMPLETE, 50, 100},
      {"video 10\naudio 3\n", true, EC_COMPLETE, 10, 3},
      // The audio pin outlasts the failing video pin by far, so the error
      // comes before any completion could.
      {"video 10\naudio 1000000\nfail 4\n", false, EC_ERRORABORT, 4, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.spec);
    Watchdog watchdog(std::chrono::seconds(20));
    Ref<IGraphBuilder> g;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, g.putVoid()));
    Ref<IMediaControl> mc;
    Ref<IMediaEventEx> ev;
    Ref<IMediaFilter> mf;
    g->QueryInterface(IID_IMediaControl, mc.putVoid());
    g->QueryInterface(IID_IMediaEventEx, ev.putVoid());
    g->QueryInterface(IID_IMediaFilter, mf.putVoid());
    if (!c.clock) {
      ASSERT_EQ(S_OK, mf->SetSyncSource(nullptr));
    }
    const std::u16string file = WriteSpec("run.tgs", c.spec);
    ASSERT_EQ(S_OK, g->RenderFile(file.c_str(), nullptr));
    Ref<IBaseFilter> source;
    ASSERT_EQ(S_OK, g->FindFilterByName(file.c_str(), source.put()));
    LONG code = 0;
    EXPECT_EQ(VFW_E_WRONG_STATE, ev->WaitForCompletion(0, &code));
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(S_OK, mc->Run());
    ASSERT_EQ(S_OK, ev->WaitForCompletion(15000, &code));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(c.code, code);
    if (c.code == EC_COMPLETE) {
      // One EC_COMPLETE for all renderers: nothing else is queued.
      LONG more = 0;
      LONG_PTR p1, p2;
      EXPECT_EQ(E_ABORT, ev->GetEvent(&more, &p1, &p2, 50));
      EXPECT_EQ(c.video, Delivered(source.p, u"Video"));
      EXPECT_EQ(c.audio, Delivered(source.p, u"Audio"));
    } else {
      EXPECT_EQ(c.video, Delivered(source.p, u"Video"));
    }
    if (c.clock) {
      // 10 frames of 40 ms on the clock: at least their length.
      EXPECT_GE(seconds, 0.39);
      EXPECT_LT(seconds, 5.0);
    }
    EXPECT_EQ(S_OK, mc->Stop());
  }
}

TEST_F(FilterGraphTest, Pause_ReachesRenderersBeforeSources) {
  Ref<IBaseFilter> source;
  RecordingSink *sink = SourceIntoSink("video 20\n", MEDIATYPE_Video, source);
  Watchdog watchdog(std::chrono::seconds(20));
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(S_OK, control->Run());
    LONG code = 0;
    ASSERT_EQ(S_OK, events->WaitForCompletion(15000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    ASSERT_EQ(S_OK, control->Stop());
  }
  EXPECT_FALSE(sink->UpstreamPausedFirst());
  sink->Release();
}

TEST_F(FilterGraphTest, SetPositions_GoesThroughTheRenderersToTheSource) {
  Ref<IBaseFilter> source;
  RecordingSink *sink = SourceIntoSink("video 50\n", MEDIATYPE_Video, source);
  Watchdog watchdog(std::chrono::seconds(20));
  Ref<IMediaFilter> mf;
  ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaFilter, mf.putVoid()));
  ASSERT_EQ(S_OK, mf->SetSyncSource(nullptr));

  LONGLONG duration = 0;
  ASSERT_EQ(S_OK, seeking->GetDuration(&duration));
  EXPECT_EQ(2 * kSecond, duration);
  DWORD caps = 0;
  ASSERT_EQ(S_OK, seeking->GetCapabilities(&caps));
  EXPECT_TRUE(caps & AM_SEEKING_CanSeekAbsolute);

  ASSERT_TRUE(SUCCEEDED(control->Pause()));
  LONGLONG start = kSecond;
  ASSERT_EQ(S_OK, seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning));
  LONGLONG current = -1;
  ASSERT_EQ(S_OK, seeking->GetCurrentPosition(&current));
  EXPECT_EQ(kSecond, current);
  ASSERT_EQ(S_OK, control->Run());
  LONG code = 0;
  ASSERT_EQ(S_OK, events->WaitForCompletion(15000, &code));
  EXPECT_EQ(EC_COMPLETE, code);
  const auto samples = sink->Samples();
  // Frames 25..49, stamped from zero: what was cued before the seek was
  // flushed, not rendered.
  ASSERT_EQ(25u, samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * tp::test::kGraphVideoFrame, samples[i].start) << i;
    EXPECT_EQ(tp::test::SampleByte(25 + static_cast<long long>(i), 0), samples[i].first) << i;
  }
  EXPECT_TRUE(samples[0].discontinuity);
  sink->Release();
}

TEST_F(FilterGraphTest, Events_HandleFlagsAndDefaultHandling) {
  Ref<IMediaEventSink> sink;
  ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaEventSink, sink.putVoid()));
  OAEVENT handle = 0;
  ASSERT_EQ(S_OK, events->GetEventHandle(&handle));
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 0));
  ASSERT_EQ(S_OK, sink->Notify(EC_USER + 1, 7, 8));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(h, 0));
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
  EXPECT_EQ(EC_USER + 1, code);
  EXPECT_EQ(7, p1);
  EXPECT_EQ(8, p2);
  EXPECT_EQ(S_OK, events->FreeEventParams(code, p1, p2));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 0));

  ASSERT_EQ(S_OK, events->SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY));
  sink->Notify(EC_USER + 2, 0, 0);
  EXPECT_EQ(E_ABORT, events->GetEvent(&code, &p1, &p2, 0));
  ASSERT_EQ(S_OK, events->SetNotifyFlags(0));

  // EC_COMPLETE from a renderer of a graph that has not started counts for
  // nothing by default, and passes through once handling is cancelled.
  sink->Notify(EC_COMPLETE, S_OK, 1);
  EXPECT_EQ(E_ABORT, events->GetEvent(&code, &p1, &p2, 0));
  ASSERT_EQ(S_OK, events->CancelDefaultHandling(EC_COMPLETE));
  sink->Notify(EC_COMPLETE, S_OK, 1);
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
  EXPECT_EQ(EC_COMPLETE, code);
  EXPECT_EQ(E_INVALIDARG, events->CancelDefaultHandling(EC_REPAINT));
}

}  // namespace
