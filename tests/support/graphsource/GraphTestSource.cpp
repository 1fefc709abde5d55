// The graph test source module (see GraphTestSource.h): a COM server with
// one source filter for graph manager and sink tests.
#include "GraphTestSource.h"

#include <windows.h>
#include <objbase.h>
#include <amvideo.h>
#include <mmreg.h>
#include <uuids.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "framework/CSource.h"
#include "framework/CSourceSeeking.h"
#include "framework/CSourceStream.h"

#define TP_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

struct VideoSpec {
  int frames = 0;
  GUID subtype = MEDIASUBTYPE_RGB32;
  WORD bits = 32;
  DWORD compression = 0;  // BI_RGB
  int width = 8;
  int height = 4;
  LONG ImageSize() const {
    const LONG pixels = static_cast<LONG>(width) * height;
    return bits == 12 ? pixels * 3 / 2 : pixels * (bits / 8);
  }
};

class GtSource;

// One pin: video frames or audio blocks, each with its own seeking state.
class GtStream : public CSourceStream, public CSourceSeeking {
 public:
  GtStream(GtSource *filter, HRESULT *phr, bool video, int count, const VideoSpec &spec, int failAt);

  // IUnknown of the pin (the seeking object forwards to it).
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return CBasePin::QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return CBasePin::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return CBasePin::Release(); }
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override {
    if (IsEqualIID(riid, IID_IMediaSeeking)) return CSourceSeeking::NonDelegatingQueryInterface(riid, ppv);
    return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override { return CSourceStream::NonDelegatingAddRef(); }
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override { return CSourceStream::NonDelegatingRelease(); }

  STDMETHODIMP Notify(IBaseFilter *, Quality) override {
    ++m_quality;
    return S_OK;
  }
  STDMETHODIMP SetRate(double rate) override {
    if (rate <= 0) return E_INVALIDARG;
    {
      CAutoLock lock(&m_seekLock);
      m_dRateSeeking = rate;
    }
    return ChangeRate();
  }

  HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProp) override {
    ALLOCATOR_PROPERTIES want = *pProp, got{};
    if (want.cBuffers < 2) want.cBuffers = 2;
    if (want.cbBuffer < SampleSize()) want.cbBuffer = SampleSize();
    if (want.cbAlign < 1) want.cbAlign = 1;
    HRESULT hr = pAlloc->SetProperties(&want, &got);
    if (FAILED(hr)) return hr;
    return got.cbBuffer < SampleSize() ? E_FAIL : S_OK;
  }

  LONG delivered() const { return m_delivered; }
  LONG quality() const { return m_quality; }
  bool video() const { return m_video; }

 protected:
  HRESULT GetMediaType(CMediaType *pmt) override;
  HRESULT OnThreadCreate() override {
    CAutoLock lock(&m_seekLock);
    m_next = FirstAt(m_rtStart);
    return S_OK;
  }
  HRESULT OnThreadStartPlay() override {
    REFERENCE_TIME start, stop;
    double rate;
    {
      CAutoLock lock(&m_seekLock);
      start = m_rtStart;
      stop = m_rtStop;
      rate = m_dRateSeeking;
    }
    m_discontinuity = true;
    return DeliverNewSegment(start, stop, rate);
  }
  HRESULT FillBuffer(IMediaSample *pSample) override;
  HRESULT ChangeStart() override {
    {
      CAutoLock lock(&m_seekLock);
      m_next = FirstAt(m_rtStart);
    }
    return Restart();
  }
  HRESULT ChangeStop() override { return S_OK; }
  HRESULT ChangeRate() override { return Restart(); }

 private:
  REFERENCE_TIME Duration() const { return m_video ? tp::test::kGraphVideoFrame : tp::test::kGraphAudioBlock; }
  LONG SampleSize() const { return m_video ? m_spec.ImageSize() : tp::test::kGraphAudioBlockBytes; }
  int FirstAt(REFERENCE_TIME t) const {
    if (t <= 0) return 0;
    return static_cast<int>((t + Duration() - 1) / Duration());
  }
  // A running worker starts again from the new position, with a flush so
  // that nothing from before the change reaches the renderer.
  HRESULT Restart() {
    if (!CAMThread::ThreadExists()) return S_OK;
    DeliverBeginFlush();
    CSourceStream::Stop();
    DeliverEndFlush();
    return CSourceStream::Run();
  }

  const bool m_video;
  const int m_count;
  const VideoSpec m_spec;
  const int m_failAt;
  CCritSec m_seekLock;           // the seeking lock; guards m_next and the positions
  int m_next = 0;                // the next sample to deliver
  bool m_discontinuity = false;  // worker only
  std::atomic<LONG> m_delivered{0};
  std::atomic<LONG> m_quality{0};
};

class GtSource : public CSource, public IFileSourceFilter, public IGraphTestSource {
 public:
  explicit GtSource(HRESULT *phr) : CSource(TEXT("GraphTestSource"), nullptr, CLSID_GraphTestSource, phr) {
    ++g_objects;
  }
  ~GtSource() override {
    CoTaskMemFree(m_file);
    --g_objects;
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override {
    if (IsEqualIID(riid, IID_IFileSourceFilter)) return GetInterface(static_cast<IFileSourceFilter *>(this), ppv);
    if (IsEqualIID(riid, IID_IGraphTestSource)) return GetInterface(static_cast<IGraphTestSource *>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
  }

  // IFileSourceFilter
  STDMETHODIMP Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *) override;
  STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *pmt) override {
    if (!ppszFileName) return E_POINTER;
    *ppszFileName = nullptr;
    if (pmt) std::memset(pmt, 0, sizeof *pmt);
    if (!m_file) return E_FAIL;
    const int n = lstrlenW(m_file) + 1;
    *ppszFileName = static_cast<LPOLESTR>(CoTaskMemAlloc(n * sizeof(WCHAR)));
    if (!*ppszFileName) return E_OUTOFMEMORY;
    std::memcpy(*ppszFileName, m_file, n * sizeof(WCHAR));
    return S_OK;
  }

  // IGraphTestSource
  STDMETHODIMP_(LONG) Delivered(LPCWSTR pin) override {
    GtStream *s = Find(pin);
    return s ? s->delivered() : -1;
  }
  STDMETHODIMP_(LONG) QualityMessages(LPCWSTR pin) override {
    GtStream *s = Find(pin);
    return s ? s->quality() : -1;
  }

 private:
  GtStream *Find(LPCWSTR pin) {
    const bool video = pin && pin[0] == u'V';
    for (int i = 0; i < GetPinCount(); ++i) {
      auto *s = static_cast<GtStream *>(static_cast<CSourceStream *>(GetPin(i)));
      if (s->video() == video) return s;
    }
    return nullptr;
  }
  LPOLESTR m_file = nullptr;
};

GtStream::GtStream(GtSource *filter, HRESULT *phr, bool video, int count, const VideoSpec &spec, int failAt)
    : CSourceStream(TEXT("GraphTestStream"), phr, filter, video ? u"Video" : u"Audio"),
      CSourceSeeking(TEXT("GraphTestSeeking"), CBasePin::NonDelegatingUnknown(), phr, &m_seekLock),
      m_video(video),
      m_count(count),
      m_spec(spec),
      m_failAt(failAt) {
  m_rtDuration = m_rtStop = count * Duration();
}

HRESULT GtStream::GetMediaType(CMediaType *pmt) {
  pmt->InitMediaType();
  if (m_video) {
    pmt->SetType(&MEDIATYPE_Video);
    pmt->SetSubtype(&m_spec.subtype);
    pmt->SetFormatType(&FORMAT_VideoInfo);
    auto *vih = reinterpret_cast<VIDEOINFOHEADER *>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih) return E_OUTOFMEMORY;
    std::memset(vih, 0, sizeof *vih);
    vih->AvgTimePerFrame = tp::test::kGraphVideoFrame;
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = m_spec.width;
    vih->bmiHeader.biHeight = m_spec.height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = m_spec.bits;
    vih->bmiHeader.biCompression = m_spec.compression;
    vih->bmiHeader.biSizeImage = static_cast<DWORD>(m_spec.ImageSize());
    pmt->SetSampleSize(static_cast<ULONG>(m_spec.ImageSize()));
  } else {
    pmt->SetType(&MEDIATYPE_Audio);
    pmt->SetSubtype(&MEDIASUBTYPE_PCM);
    pmt->SetFormatType(&FORMAT_WaveFormatEx);
    auto *wfx = reinterpret_cast<WAVEFORMATEX *>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    if (!wfx) return E_OUTOFMEMORY;
    std::memset(wfx, 0, sizeof *wfx);
    wfx->wFormatTag = WAVE_FORMAT_PCM;
    wfx->nChannels = 2;
    wfx->nSamplesPerSec = 8000;
    wfx->wBitsPerSample = 16;
    wfx->nBlockAlign = 4;
    wfx->nAvgBytesPerSec = 32000;
    pmt->SetSampleSize(4);
  }
  return S_OK;
}

HRESULT GtStream::FillBuffer(IMediaSample *pSample) {
  int n;
  REFERENCE_TIME start, stop;
  {
    CAutoLock lock(&m_seekLock);
    n = m_next;
    if (n >= m_count || n * Duration() >= m_rtStop) return S_FALSE;
    if (n == m_failAt) return E_FAIL;
    ++m_next;
    start = static_cast<REFERENCE_TIME>((n * Duration() - m_rtStart) / m_dRateSeeking);
    stop = static_cast<REFERENCE_TIME>(((n + 1) * Duration() - m_rtStart) / m_dRateSeeking);
  }
  BYTE *data = nullptr;
  if (FAILED(pSample->GetPointer(&data)) || !data || pSample->GetSize() < SampleSize()) return E_FAIL;
  for (LONG i = 0; i < SampleSize(); ++i) data[i] = tp::test::SampleByte(n, i);
  pSample->SetActualDataLength(SampleSize());
  pSample->SetTime(&start, &stop);
  pSample->SetSyncPoint(TRUE);
  pSample->SetDiscontinuity(m_discontinuity ? TRUE : FALSE);
  m_discontinuity = false;
  ++m_delivered;
  return S_OK;
}

STDMETHODIMP GtSource::Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *) {
  if (!pszFileName) return E_POINTER;
  CAutoLock lock(pStateLock());
  if (m_file || GetPinCount() > 0) return E_UNEXPECTED;
  char path[1024];
  if (!WideCharToMultiByte(CP_ACP, 0, pszFileName, -1, path, sizeof path, nullptr, nullptr)) return E_INVALIDARG;
  std::FILE *f = std::fopen(path, "r");
  if (!f) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  int videoFrames = -1, audioBlocks = -1, failAt = -1;
  VideoSpec spec;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    char kind[16] = {}, subtype[16] = {};
    int count = 0, w = 8, h = 4;
    if (std::sscanf(line, "%15s %d %15s %d %d", kind, &count, subtype, &w, &h) < 2) continue;
    if (std::strcmp(kind, "video") == 0) {
      videoFrames = count;
      spec.width = w;
      spec.height = h;
      const std::string s = subtype;
      if (s == "YV12" || s == "I420") {
        spec.subtype = s == "YV12" ? MEDIASUBTYPE_YV12 : MEDIASUBTYPE_I420;
        spec.bits = 12;
        spec.compression = s == "YV12" ? 0x32315659 : 0x30323449;
      } else if (s == "YUY2") {
        spec.subtype = MEDIASUBTYPE_YUY2;
        spec.bits = 16;
        spec.compression = 0x32595559;
      }
    } else if (std::strcmp(kind, "audio") == 0) {
      audioBlocks = count;
    } else if (std::strcmp(kind, "fail") == 0) {
      failAt = count;
    }
  }
  std::fclose(f);
  const int n = lstrlenW(pszFileName) + 1;
  m_file = static_cast<LPOLESTR>(CoTaskMemAlloc(n * sizeof(WCHAR)));
  if (!m_file) return E_OUTOFMEMORY;
  std::memcpy(m_file, pszFileName, n * sizeof(WCHAR));
  HRESULT hr = S_OK;
  if (videoFrames >= 0) new GtStream(this, &hr, true, videoFrames, spec, failAt);
  if (SUCCEEDED(hr) && audioBlocks >= 0) new GtStream(this, &hr, false, audioBlocks, spec, -1);
  return hr;
}

class Factory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory *>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    auto *source = new (std::nothrow) GtSource(&hr);
    if (!source) return E_OUTOFMEMORY;
    source->NonDelegatingAddRef();
    if (SUCCEEDED(hr)) hr = source->NonDelegatingQueryInterface(riid, ppv);
    source->NonDelegatingRelease();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

}  // namespace

TP_TEST_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  static Factory factory;
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_GraphTestSource)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, ppv);
}

TP_TEST_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }
