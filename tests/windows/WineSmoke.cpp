// tp_wine_smoke MOVIE PINS: the module inside a Windows COM and DirectShow that we
// did not write. Creates the filter by its class id through the registry that
// regsvr32 wrote, checks its source flag and its argument checks, loads MOVIE
// (which must give PINS output pins; 0 where no movie runtime is installed,
// and Load must then fail with TIDEPOOL_E_RUNTIME_UNAVAILABLE), and adds the
// filter to the system's own filter graph manager. Prints one
// line per step; exit status 0 when every step behaved, 1 otherwise, 2 when
// the filter could not be created at all.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <tidepool/Tidepool.h>

namespace {

int gFailures = 0;

void Check(bool ok, const char *step, HRESULT hr) {
  std::printf("%s: %s (0x%08lx)\n", step, ok ? "ok" : "FAILED", static_cast<unsigned long>(hr));
  if (!ok) ++gFailures;
}

std::wstring Widen(const char *utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
  w.resize(size_t(n) - 1);
  return w;
}

template <typename T>
void SafeRelease(T *&p) {
  if (p) p->Release();
  p = nullptr;
}

int CountPins(IBaseFilter *filter) {
  IEnumPins *pins = nullptr;
  if (FAILED(filter->EnumPins(&pins)) || !pins) return -1;
  int count = 0;
  IPin *pin = nullptr;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    ++count;
    pin->Release();
  }
  pins->Release();
  return count;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tp_wine_smoke MOVIE PINS\n");
    return 1;
  }
  const int expectedPins = std::atoi(argv[2]);
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::printf("CoInitializeEx: FAILED (0x%08lx)\n", static_cast<unsigned long>(hr));
    return 2;
  }

  IBaseFilter *filter = nullptr;
  hr = ::CoCreateInstance(CLSID_Tidepool, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void **>(&filter));
  Check(SUCCEEDED(hr) && filter, "create by class id", hr);
  if (!filter) {
    ::CoUninitialize();
    return 2;
  }

  IAMFilterMiscFlags *flags = nullptr;
  hr = filter->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void **>(&flags));
  Check(SUCCEEDED(hr) && flags && flags->GetMiscFlags() == AM_FILTER_MISC_FLAGS_IS_SOURCE, "source flag", hr);
  SafeRelease(flags);

  IFileSourceFilter *source = nullptr;
  hr = filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&source));
  Check(SUCCEEDED(hr) && source, "file source interface", hr);
  if (source) {
    hr = source->Load(nullptr, nullptr);
    Check(hr == E_POINTER, "load without a name", hr);
    std::wstring movie = Widen(argv[1]);
    hr = source->Load(movie.c_str(), nullptr);
    Check(hr == (expectedPins > 0 ? S_OK : TIDEPOOL_E_RUNTIME_UNAVAILABLE), "load", hr);
    const int pins = CountPins(filter);
    std::printf("pins: %d, expected %d\n", pins, expectedPins);
    Check(pins == expectedPins, "pin count", S_OK);
    SafeRelease(source);
  }

  IGraphBuilder *graph = nullptr;
  hr = ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                          reinterpret_cast<void **>(&graph));
  Check(SUCCEEDED(hr) && graph, "system filter graph", hr);
  if (graph) {
    hr = graph->AddFilter(filter, L"Tidepool");
    Check(hr == S_OK, "join the system graph", hr);
    hr = graph->RemoveFilter(filter);
    Check(hr == S_OK, "leave the system graph", hr);
    SafeRelease(graph);
  }

  const ULONG left = filter->Release();
  Check(left == 0, "last reference released", S_OK);
  ::CoUninitialize();
  std::printf("smoke: %s\n", gFailures == 0 ? "passed" : "FAILED");
  return gFailures == 0 ? 0 : 1;
}
