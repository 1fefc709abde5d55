// tp_wine_grab MOVIE OUTDIR SUBTYPE...: what the filter's pins deliver in
// a Windows DirectShow graph that we did not write, written to files that a
// script compares with the Linux build. For each SUBTYPE (YV12 YUY2 I420
// RGB32 RGB24 RGB555 RGB565) one fresh graph of the system's filter graph
// manager holds the filter (created by class id, loaded with MOVIE), qedit's
// sample grabber restricted to that subtype behind the "Video" pin and one
// restricted to PCM behind the "Audio" pin, each followed by the null
// renderer. The graph runs without a clock; events are polled until
// EC_COMPLETE (or an abort, or 60 s). Every video sample is appended to
// OUTDIR/video-SUBTYPE.raw; the audio of the first run to OUTDIR/audio.pcm.
// Prints one line per step; exit status 0 when every run completed, 1
// otherwise.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>
#include <qedit.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <tidepool/Tidepool.h>

namespace {

// qedit's class ids, which mingw-w64's headers leave out.
constexpr GUID kClsidSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
constexpr GUID kClsidNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

GUID FourCCSubtype(const char (&c)[5]) {
  GUID g = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  g.Data1 = DWORD(uint8_t(c[0])) | DWORD(uint8_t(c[1])) << 8 | DWORD(uint8_t(c[2])) << 16 | DWORD(uint8_t(c[3])) << 24;
  return g;
}

bool SubtypeByName(const std::string &name, GUID *out) {
  if (name == "YV12")
    *out = FourCCSubtype("YV12");
  else if (name == "YUY2")
    *out = FourCCSubtype("YUY2");
  else if (name == "I420")
    *out = FourCCSubtype("I420");
  else if (name == "RGB32")
    *out = MEDIASUBTYPE_RGB32;
  else if (name == "RGB24")
    *out = MEDIASUBTYPE_RGB24;
  else if (name == "RGB555")
    *out = MEDIASUBTYPE_RGB555;
  else if (name == "RGB565")
    *out = MEDIASUBTYPE_RGB565;
  else
    return false;
  return true;
}

std::wstring Widen(const std::string &utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  w.resize(size_t(n) - 1);
  return w;
}

template <typename T>
void SafeRelease(T *&p) {
  if (p) p->Release();
  p = nullptr;
}

// Appends every sample's bytes to one file. Called on the pin's streaming
// thread only; the file belongs to that thread until the graph stops.
class FileWriter final : public ISampleGrabberCB {
 public:
  explicit FileWriter(FILE *file) : file_(file) {}
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
      *ppv = static_cast<ISampleGrabberCB *>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the stack of the run; the grabber's references do not own it.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP SampleCB(double, IMediaSample *sample) override {
    BYTE *data = nullptr;
    if (!sample || FAILED(sample->GetPointer(&data)) || !data) return S_OK;
    const long n = sample->GetActualDataLength();
    if (n > 0 && file_) {
      if (std::fwrite(data, 1, size_t(n), file_) != size_t(n)) failed_ = true;
      bytes_ += n;
    }
    ++samples_;
    return S_OK;
  }
  STDMETHODIMP BufferCB(double, BYTE *, long) override { return S_OK; }
  long long bytes() const { return bytes_; }
  long samples() const { return samples_; }
  bool failed() const { return failed_; }

 private:
  FILE *file_;
  long long bytes_ = 0;
  long samples_ = 0;
  bool failed_ = false;
};

IPin *FindPin(IBaseFilter *filter, PIN_DIRECTION want, const wchar_t *name) {
  IEnumPins *pins = nullptr;
  if (FAILED(filter->EnumPins(&pins)) || !pins) return nullptr;
  IPin *pin = nullptr, *found = nullptr;
  while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_INFO info{};
    if (SUCCEEDED(pin->QueryPinInfo(&info))) {
      if (info.dir == want && (!name || std::wcscmp(info.achName, name) == 0)) found = pin;
      SafeRelease(info.pFilter);
    }
    if (found != pin) pin->Release();
  }
  pins->Release();
  return found;
}

// Adds a grabber restricted to (major, subtype) and a null renderer, and
// connects `out` -> grabber -> renderer.
HRESULT AddGrabbedBranch(IGraphBuilder *graph, IPin *out, const GUID &major, const GUID &subtype,
                         ISampleGrabberCB *callback, const wchar_t *name) {
  IBaseFilter *grabberFilter = nullptr, *renderer = nullptr;
  ISampleGrabber *grabber = nullptr;
  IPin *grabIn = nullptr, *grabOut = nullptr, *renderIn = nullptr;
  HRESULT hr = ::CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void **>(&grabberFilter));
  if (SUCCEEDED(hr)) hr = grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void **>(&grabber));
  if (SUCCEEDED(hr)) {
    AM_MEDIA_TYPE mt{};
    mt.majortype = major;
    mt.subtype = subtype;
    hr = grabber->SetMediaType(&mt);
  }
  if (SUCCEEDED(hr)) hr = grabber->SetBufferSamples(FALSE);
  if (SUCCEEDED(hr)) hr = grabber->SetOneShot(FALSE);
  if (SUCCEEDED(hr)) hr = grabber->SetCallback(callback, 0);
  if (SUCCEEDED(hr)) hr = graph->AddFilter(grabberFilter, name);
  if (SUCCEEDED(hr))
    hr = ::CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                            reinterpret_cast<void **>(&renderer));
  if (SUCCEEDED(hr)) hr = graph->AddFilter(renderer, nullptr);
  if (SUCCEEDED(hr)) {
    grabIn = FindPin(grabberFilter, PINDIR_INPUT, nullptr);
    grabOut = FindPin(grabberFilter, PINDIR_OUTPUT, nullptr);
    renderIn = FindPin(renderer, PINDIR_INPUT, nullptr);
    if (!grabIn || !grabOut || !renderIn) hr = E_FAIL;
  }
  if (SUCCEEDED(hr)) hr = graph->ConnectDirect(out, grabIn, nullptr);
  if (SUCCEEDED(hr)) hr = graph->ConnectDirect(grabOut, renderIn, nullptr);
  SafeRelease(grabIn);
  SafeRelease(grabOut);
  SafeRelease(renderIn);
  SafeRelease(grabber);
  SafeRelease(grabberFilter);
  SafeRelease(renderer);
  return hr;
}

// Polls the graph's events until EC_COMPLETE; false on an abort, an error
// or the time limit.
bool RunToCompletion(IGraphBuilder *graph, DWORD limitMs) {
  IMediaControl *control = nullptr;
  IMediaEvent *events = nullptr;
  IMediaFilter *filter = nullptr;
  bool done = false;
  if (SUCCEEDED(graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&filter))))
    filter->SetSyncSource(nullptr);  // as fast as the graph can go
  if (SUCCEEDED(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&control))) &&
      SUCCEEDED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void **>(&events))) &&
      SUCCEEDED(control->Run())) {
    const DWORD start = ::GetTickCount();
    bool failed = false;
    while (!done && !failed && ::GetTickCount() - start < limitMs) {
      long code = 0;
      LONG_PTR p1 = 0, p2 = 0;
      if (events->GetEvent(&code, &p1, &p2, 100) != S_OK) continue;
      if (code == EC_COMPLETE) done = true;
      if (code == EC_ERRORABORT || code == EC_USERABORT) {
        std::printf("event 0x%lx (0x%08lx)\n", code, static_cast<unsigned long>(p1));
        failed = true;
      }
      events->FreeEventParams(code, p1, p2);
    }
    control->Stop();
  }
  SafeRelease(filter);
  SafeRelease(events);
  SafeRelease(control);
  return done;
}

// One graph: the filter, video in `subtype` to `videoFile`, audio to
// `audioFile` (may be null: then the audio pin still streams, into a
// grabber that writes nothing).
bool RunOnce(const std::wstring &movie, const std::string &name, const GUID &subtype, FILE *videoFile,
             FILE *audioFile) {
  IBaseFilter *source = nullptr;
  IFileSourceFilter *load = nullptr;
  IGraphBuilder *graph = nullptr;
  IPin *video = nullptr, *audio = nullptr;
  FileWriter videoWriter(videoFile), audioWriter(audioFile);
  bool ok = false;
  HRESULT hr = ::CoCreateInstance(CLSID_Tidepool, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void **>(&source));
  if (SUCCEEDED(hr)) hr = source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&load));
  if (SUCCEEDED(hr)) hr = load->Load(movie.c_str(), nullptr);
  if (SUCCEEDED(hr))
    hr = ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                            reinterpret_cast<void **>(&graph));
  if (SUCCEEDED(hr)) hr = graph->AddFilter(source, L"Tidepool");
  if (SUCCEEDED(hr)) {
    video = FindPin(source, PINDIR_OUTPUT, L"Video");
    audio = FindPin(source, PINDIR_OUTPUT, L"Audio");
    if (!video || !audio) hr = VFW_E_NOT_FOUND;
  }
  if (SUCCEEDED(hr)) hr = AddGrabbedBranch(graph, video, MEDIATYPE_Video, subtype, &videoWriter, L"Video grabber");
  if (SUCCEEDED(hr))
    hr = AddGrabbedBranch(graph, audio, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &audioWriter, L"Audio grabber");
  if (SUCCEEDED(hr)) {
    ok = RunToCompletion(graph, 60000);
    std::printf("%s: %s, %ld video samples (%lld bytes), %ld audio samples (%lld bytes)\n", name.c_str(),
                ok ? "complete" : "FAILED to complete", videoWriter.samples(), videoWriter.bytes(),
                audioWriter.samples(), audioWriter.bytes());
    ok = ok && !videoWriter.failed() && !audioWriter.failed() && videoWriter.samples() > 0;
  } else {
    std::printf("%s: graph not built (0x%08lx)\n", name.c_str(), static_cast<unsigned long>(hr));
  }
  SafeRelease(video);
  SafeRelease(audio);
  SafeRelease(load);
  SafeRelease(graph);
  SafeRelease(source);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tp_wine_grab MOVIE OUTDIR SUBTYPE...\n");
    return 1;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  const std::wstring movie = Widen(argv[1]);
  const std::string dir = argv[2];
  int failures = 0;
  for (int i = 3; i < argc; ++i) {
    GUID subtype{};
    if (!SubtypeByName(argv[i], &subtype)) {
      std::printf("%s: not a subtype\n", argv[i]);
      ++failures;
      continue;
    }
    FILE *videoFile = std::fopen((dir + "\\video-" + argv[i] + ".raw").c_str(), "wb");
    FILE *audioFile = i == 3 ? std::fopen((dir + "\\audio.pcm").c_str(), "wb") : nullptr;
    if (!videoFile || (i == 3 && !audioFile)) {
      std::printf("%s: cannot write into %s\n", argv[i], dir.c_str());
      ++failures;
    } else if (!RunOnce(movie, argv[i], subtype, videoFile, audioFile)) {
      ++failures;
    }
    if (videoFile) std::fclose(videoFile);
    if (audioFile) std::fclose(audioFile);
  }
  ::CoUninitialize();
  std::printf("grab: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
