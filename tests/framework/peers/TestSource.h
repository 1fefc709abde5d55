// TestSource / TestStream: a minimal source filter whose streams produce a
// configurable number of samples, with scripted results for the worker
// hooks and records of what the framework asked of them.
//
// Ownership: TestSource is reference counted like any filter (it starts at
// 0; the test takes the first reference) and owns its TestStream pins.
// Stream configuration is set before the filter is paused; the counters may
// be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include "framework/CSource.h"
#include "framework/CSourceStream.h"
#include "peers/TestGraph.h"
#include "peers/TestInputPin.h"

namespace tp::test {

// {6A1C3F52-0B7D-4E55-9C1A-3B9E2A7D4C10}
inline constexpr GUID CLSID_TestSource = {0x6a1c3f52, 0x0b7d, 0x4e55, {0x9c, 0x1a, 0x3b, 0x9e, 0x2a, 0x7d, 0x4c, 0x10}};

inline const SimpleType kVideoRgb32 = {MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_None};
inline const SimpleType kVideoYuy2 = {MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_None};
inline const SimpleType kAudioPcm = {MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_None};

class TestSource;

class TestStream : public CSourceStream {
 public:
  TestStream(TestSource *filter, LPCWSTR name, HRESULT *phr, CAMEvent::Creator createEvent = nullptr);

  // Configuration --------------------------------------------------------------
  int samplesToProduce = -1;           // then S_FALSE; -1 never ends
  std::map<int, HRESULT> fillResults;  // FillBuffer call index (0-based) -> result
  HRESULT onThreadCreateResult = S_OK;
  SimpleType offeredType = kVideoRgb32;  // the single type of this pin
  LONG bufferSize = 1024;
  LONG bufferCount = 1;
  HRESULT decideBufferSizeResult = S_OK;
  LONG prefixSetByFirstSizing = 0;  // written into the properties by the first DecideBufferSize

  // Records --------------------------------------------------------------------
  std::atomic<int> threadCreateCalls{0};
  std::atomic<int> threadDestroyCalls{0};
  std::atomic<int> startPlayCalls{0};
  std::atomic<int> fillCalls{0};
  // What asking for a single-threaded apartment answered on the worker.
  std::atomic<HRESULT> apartmentProbe{E_UNEXPECTED};
  std::vector<ALLOCATOR_PROPERTIES> sizingRequests;  // control thread only
  std::vector<GUID> checkedSubtypes;                 // control thread only

  // Framework pieces made reachable for tests.
  using CAMThread::CallWorker;
  using CAMThread::Create;
  using CAMThread::ThreadExists;
  using CSourceStream::DoBufferProcessingLoop;
  using CSourceStream::GetMediaType;

  HRESULT CheckMediaType(const CMediaType *pmt) override {
    if (pmt) checkedSubtypes.push_back(pmt->subtype);
    return CSourceStream::CheckMediaType(pmt);
  }

  HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProp) override {
    if (!pAlloc || !pProp) return E_POINTER;
    sizingRequests.push_back(*pProp);
    if (sizingRequests.size() == 1 && prefixSetByFirstSizing) pProp->cbPrefix = prefixSetByFirstSizing;
    if (FAILED(decideBufferSizeResult)) return decideBufferSizeResult;
    ALLOCATOR_PROPERTIES request = *pProp;
    if (request.cBuffers < bufferCount) request.cBuffers = bufferCount;
    if (request.cbBuffer < bufferSize) request.cbBuffer = bufferSize;
    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = pAlloc->SetProperties(&request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < request.cbBuffer ? E_FAIL : S_OK;
  }

 protected:
  HRESULT GetMediaType(CMediaType *pmt) override {
    AM_MEDIA_TYPE mt = MakeType(offeredType);
    *pmt = mt;
    return S_OK;
  }
  HRESULT OnThreadCreate() override {
    ++threadCreateCalls;
    HRESULT probe = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(probe)) CoUninitialize();
    apartmentProbe = probe;
    return onThreadCreateResult;
  }
  HRESULT OnThreadDestroy() override {
    ++threadDestroyCalls;
    return S_OK;
  }
  HRESULT OnThreadStartPlay() override {
    ++startPlayCalls;
    return DeliverNewSegment(0, 0x7FFFFFFFFFFFFFFFLL, 1.0);
  }

  HRESULT FillBuffer(IMediaSample *pSample) override {
    const int index = fillCalls++;
    auto scripted = fillResults.find(index);
    if (scripted != fillResults.end()) return scripted->second;
    if (samplesToProduce >= 0 && m_produced >= samplesToProduce) return S_FALSE;
    BYTE *data = nullptr;
    if (FAILED(pSample->GetPointer(&data)) || !data) return E_POINTER;
    const LONG length = pSample->GetSize() < 16 ? pSample->GetSize() : 16;
    for (LONG i = 0; i < length; ++i) data[i] = static_cast<BYTE>(m_produced + i);
    pSample->SetActualDataLength(length);
    REFERENCE_TIME start = m_produced * 400000LL, stop = start + 400000LL;
    pSample->SetTime(&start, &stop);
    pSample->SetSyncPoint(TRUE);
    ++m_produced;
    return S_OK;
  }

 private:
  int m_produced = 0;  // worker thread only
};

class TestSource : public CSource {
 public:
  explicit TestSource(HRESULT *phr = nullptr) : CSource(TEXT("TestSource"), nullptr, CLSID_TestSource, phr) {}

  TestStream *Stream(int n) { return static_cast<TestStream *>(GetPin(n)); }
};

inline TestStream::TestStream(TestSource *filter, LPCWSTR name, HRESULT *phr, CAMEvent::Creator createEvent)
    : CSourceStream(TEXT("TestStream"), phr, filter, name, createEvent) {}

}  // namespace tp::test
