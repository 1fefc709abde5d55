// tp_wine_load GOOD [FILE=HRESULT]...: Load's result in a Windows COM that we
// did not write. For each FILE, a new filter made by its class id loads it
// and must answer the HRESULT given (hex), with no pin; the same filter
// must then load GOOD with S_OK and at least one pin. One line per case;
// exit status 0 when every case behaved, 1 otherwise, 2 when the filter
// cannot be made.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <tidepool/Tidepool.h>

namespace {

std::wstring Widen(const std::string &utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  w.resize(size_t(n) - 1);
  return w;
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
  if (argc < 3) {
    std::fprintf(stderr, "usage: tp_wine_load GOOD FILE=HRESULT...\n");
    return 1;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  const std::wstring good = Widen(argv[1]);
  int failures = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.rfind('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "tp_wine_load: %s is not FILE=HRESULT\n", argv[i]);
      return 1;
    }
    const HRESULT expected = static_cast<HRESULT>(std::strtoul(arg.c_str() + eq + 1, nullptr, 16));
    IBaseFilter *filter = nullptr;
    IFileSourceFilter *source = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_Tidepool, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void **>(&filter))) ||
        FAILED(filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&source)))) {
      std::printf("create by class id: FAILED\n");
      if (filter) filter->Release();
      ::CoUninitialize();
      return 2;
    }
    const HRESULT hr = source->Load(Widen(arg.substr(0, eq)).c_str(), nullptr);
    const int pins = CountPins(filter);
    const HRESULT again = source->Load(good.c_str(), nullptr);
    const int pinsAfter = CountPins(filter);
    const bool ok = hr == expected && pins == 0 && again == S_OK && pinsAfter > 0;
    std::printf("%s: 0x%08lx (expected 0x%08lx), %d pins; then the good movie: 0x%08lx, %d pins: %s\n",
                arg.substr(0, eq).c_str(), static_cast<unsigned long>(hr), static_cast<unsigned long>(expected), pins,
                static_cast<unsigned long>(again), pinsAfter, ok ? "ok" : "FAILED");
    if (!ok) ++failures;
    source->Release();
    filter->Release();
  }
  ::CoUninitialize();
  std::printf("load: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
