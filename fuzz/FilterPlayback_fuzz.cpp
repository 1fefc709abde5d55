// Fuzz target for the whole filter: the input becomes a movie file (its
// first byte picks the file name extension and the video layout), which a
// CTidepool loads; both pins are connected to peers that discard what they
// get and run until end of stream or 200 samples each, with one seek to the
// middle of the movie on the way. A sample grabber with a callback that
// copies every record is attached, so the copy runs on what damaged files
// give too.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <unistd.h>
#include <windows.h>
#include <uuids.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/CAudioSourceStream.h"
#include "filter/CTidepool.h"
#include "filter/CVideoSourceStream.h"
#include "framework/CMediaType.h"
#include "peers/TestGraph.h"
#include "peers/TestInputPin.h"
#include "tidepool/Tidepool.h"

namespace {

using tp::test::TestGraph;
using tp::test::TestInputPin;

const char *const kExtensions[] = {".264", ".cif", ".amr", ".aif", ".aiff", ".dv", ".dif",
                                   ".flc", ".mov", ".mp4", ".3gp", ".m4a",  ".xyz"};
const GUID kSubtypes[] = {MEDIASUBTYPE_YV12,   MEDIASUBTYPE_YUY2,   MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24,
                          MEDIASUBTYPE_RGB555, MEDIASUBTYPE_RGB565, MEDIASUBTYPE_I420};
constexpr size_t kSamplesPerHalf = 100;
constexpr auto kPatience = std::chrono::seconds(20);

std::basic_string<WCHAR> Wide(const std::string &s) {
  std::basic_string<WCHAR> w;
  for (unsigned char c : s) w += static_cast<WCHAR>(c);
  return w;
}

// A private registry store naming the runtime's folder, once per process.
void PointAtRuntime() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string store = "/tmp/tp-filter-fuzz-registry-" + std::to_string(::getpid());
  setenv("TP_REGISTRY_FILE", store.c_str(), 1);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime"), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  const auto dir = Wide(std::string(TP_QUICKTIME_DIR) + "/");
  RegSetValueExW(key, TEXT("QTSysDir"), 0, REG_SZ, reinterpret_cast<const BYTE *>(dir.c_str()),
                 static_cast<DWORD>((dir.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  std::atexit([] { std::remove(("/tmp/tp-filter-fuzz-registry-" + std::to_string(::getpid())).c_str()); });
}

void STDMETHODCALLTYPE CopyRecord(LONG, IQuillSampleRecord *record, LONG, LONG_PTR buffer, LONG_PTR size) {
  record->CopyTo(reinterpret_cast<BYTE *>(buffer), static_cast<unsigned>(size));
}

bool ConnectVideo(CVideoSourceStream *video, const GUID &subtype, TestInputPin *peer) {
  for (int i = 0;; ++i) {
    CMediaType mt;
    if (video->GetMediaType(i, &mt) != S_OK) return false;
    if (IsEqualGUID(*mt.Subtype(), subtype)) return SUCCEEDED(video->Connect(peer, &mt));
  }
}

// A hang is a finding: a pin that neither ends nor delivers within the
// patience is reported as a crash.
void WaitForHalf(const std::vector<TestInputPin *> &peers, size_t samples) {
  for (TestInputPin *peer : peers) {
    if (!peer->WaitForEndOrReceived(1, samples, kPatience)) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  PointAtRuntime();
  const std::string path = "/tmp/tp-filter-fuzz-" + std::to_string(::getpid()) +
                           kExtensions[data[0] % (sizeof kExtensions / sizeof kExtensions[0])];
  const GUID &subtype = kSubtypes[(data[0] / 16) % (sizeof kSubtypes / sizeof kSubtypes[0])];
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  HRESULT hr = S_OK;
  auto *filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
  if (!filter) return 0;
  filter->NonDelegatingAddRef();
  TestGraph graph;
  filter->JoinFilterGraph(&graph, TEXT("Tidepool"));
  filter->Load(Wide(path).c_str(), nullptr);

  std::vector<BYTE> copy(4096 + 720 * 576 * 4);
  IQuillSampleGrabber *grabber = nullptr;
  if (filter->NonDelegatingQueryInterface(IID_IQuillSampleGrabber, reinterpret_cast<void **>(&grabber)) == S_OK &&
      grabber != nullptr) {
    grabber->SetCallback(&CopyRecord, reinterpret_cast<LONG_PTR>(copy.data()), static_cast<LONG_PTR>(copy.size()));
  }

  std::vector<TestInputPin *> peers;
  std::vector<CBasePin *> pins;
  for (int i = 0; i < filter->GetPinCount(); ++i) {
    CBasePin *pin = filter->GetPin(i);
    auto *peer = new TestInputPin;
    bool connected = false;
    if (auto *video = dynamic_cast<CVideoSourceStream *>(pin)) {
      connected = ConnectVideo(video, subtype, peer);
    } else {
      connected = SUCCEEDED(pin->Connect(peer, nullptr));
    }
    if (connected) {
      peers.push_back(peer);
      pins.push_back(pin);
    } else {
      peer->Release();
    }
  }
  if (!peers.empty() && filter->Run(0) == S_OK) {
    WaitForHalf(peers, kSamplesPerHalf);
    for (CBasePin *pin : pins) {
      IMediaSeeking *seeking = nullptr;
      if (FAILED(pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking)))) continue;
      LONGLONG duration = 0;
      seeking->GetDuration(&duration);
      LONGLONG middle = duration / 2;
      seeking->SetPositions(&middle, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
      seeking->Release();
    }
    for (TestInputPin *peer : peers) peer->ClearReceived();
    WaitForHalf(peers, kSamplesPerHalf);
  }
  filter->Stop();
  for (size_t i = 0; i < peers.size(); ++i) {
    pins[i]->Disconnect();
    peers[i]->Disconnect();
    peers[i]->Release();
  }
  filter->JoinFilterGraph(nullptr, nullptr);
  filter->NonDelegatingRelease();
  ::unlink(path.c_str());
  return 0;
}
