// tidepool thumbs: a contact sheet of frames at evenly spaced times. The
// video pin runs into a discarding renderer without a clock; for each time
// the graph is seeked there and run until the source filter's sample
// grabber hands over the first frame, which is the one shown at that time.
// Each tile is labelled with its frame's time.
#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ContactSheet.h"
#include "GraphHost.h"
#include "LabelFont.h"
#include "HostCommands.h"
#include "sinks/DiscardRenderer.h"
#include "tidepool/Tidepool.h"

namespace tidepool {
namespace {

// Catches the first video frame the grabber hands over once armed. The
// grabber calls on the video pin's worker; the host waits on its own
// thread. m_lock is a leaf lock.
class FrameCatcher {
 public:
  void Arm() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_armed = true;
    m_caught = false;
    m_record.clear();
  }
  // Waits up to the given time for a frame; true when one was caught.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_ready.wait_for(lock, timeout, [this] { return m_caught; });
  }
  std::vector<uint8_t> Take() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_armed = false;
    return std::move(m_record);
  }

  static void STDMETHODCALLTYPE Callback(LONG isAudio, IQuillSampleRecord *record, LONG, LONG_PTR user1, LONG_PTR) {
    auto *self = reinterpret_cast<FrameCatcher *>(user1);
    if (isAudio || !record) return;
    {
      std::lock_guard<std::mutex> lock(self->m_lock);
      if (!self->m_armed || self->m_caught) return;
    }
    // The header first, to learn the data's length; then the whole copy.
    std::vector<uint8_t> copy(TpRecordDataOffset);
    record->CopyTo(copy.data(), static_cast<unsigned>(copy.size()));
    int32_t length = 0;
    std::memcpy(&length, copy.data() + TpRecordDataLength, sizeof length);
    if (length <= 0 || length > (1 << 28)) return;
    copy.resize(TpRecordDataOffset + static_cast<size_t>(length));
    if (record->CopyTo(copy.data(), static_cast<unsigned>(copy.size())) != 0) return;
    std::lock_guard<std::mutex> lock(self->m_lock);
    if (!self->m_armed || self->m_caught) return;
    self->m_record = std::move(copy);
    self->m_caught = true;
    self->m_ready.notify_all();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_ready;
  bool m_armed = false;
  bool m_caught = false;
  std::vector<uint8_t> m_record;
};

// I420 by its FOURCC: not every toolchain's headers name it.
constexpr GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The subtypes the sheet reads, in order of preference.
const GUID *const kSheetSubtypes[] = {
    &MEDIASUBTYPE_YV12, &kI420, &MEDIASUBTYPE_IYUV, &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_RGB24};

int Fail(std::string *message, std::string text) {
  *message = std::move(text);
  return 1;
}

// One movie's sheet into `output`: 0 with *message the line to print, 1 with
// *message the failure (without the "tidepool: " prefix), 130 when
// interrupted. Any thread: each call has its own COM and graph.
int MakeSheet(const ThumbsOptions &o, const std::string &file, const std::string &output, std::string *message) {
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(file)) {
    return Fail(message, com.ok() ? host.Error() : "COM cannot start");
  }
  OutputPin *pin = host.Pin("Video");
  if (!pin) {
    return Fail(message, file + ": no video track");
  }
  GUID subtype = GUID_NULL;
  const VIDEOINFOHEADER *vih = nullptr;
  for (const GUID *wanted : kSheetSubtypes) {
    for (const AM_MEDIA_TYPE *t : pin->types) {
      if (IsEqualGUID(t->subtype, *wanted) && IsEqualGUID(t->formattype, FORMAT_VideoInfo) &&
          t->cbFormat >= sizeof(VIDEOINFOHEADER)) {
        subtype = t->subtype;
        vih = reinterpret_cast<const VIDEOINFOHEADER *>(t->pbFormat);
        break;
      }
    }
    if (vih) break;
  }
  if (!vih) {
    return Fail(message, file + ": the video pin offers no format a sheet can be made from");
  }
  // The output is opened now, so that an unwritable path fails before the
  // movie is decoded.
  FILE *probe = std::fopen(output.c_str(), "wb");
  if (!probe) {
    return Fail(message, "cannot write " + output);
  }
  std::fclose(probe);

  const int columns = o.columns < o.count ? o.columns : o.count;
  const int rows = (o.count + columns - 1) / columns;
  ContactSheet sheet(columns, rows, o.width,
                     ContactSheet::TileHeight(o.width, vih->bmiHeader.biWidth, vih->bmiHeader.biHeight));

  tp::sinks::DiscardRenderer *sink = tp::sinks::DiscardRenderer::Create(MEDIATYPE_Video);
  struct Release {
    tp::sinks::DiscardRenderer *p;
    ~Release() { p->Release(); }
  } holdSink{sink};
  if (!host.Connect(*pin, sink, subtype)) {
    return Fail(message, host.Error());
  }
  // The grabber's pointer is not counted: it lives as long as the filter.
  IQuillSampleGrabber *grabber = nullptr;
  if (FAILED(host.Source()->QueryInterface(IID_IQuillSampleGrabber, reinterpret_cast<void **>(&grabber))) || !grabber) {
    return Fail(message, "the source filter hands out no sample grabber");
  }
  FrameCatcher catcher;
  grabber->SetCallback(&FrameCatcher::Callback, reinterpret_cast<LONG_PTR>(&catcher), 0);
  struct Unhook {
    IQuillSampleGrabber *g;
    ~Unhook() { g->SetCallback(nullptr, 0, 0); }
  } unhook{grabber};

  host.RunWithoutClock();
  IMediaSeeking *seeking = host.Seeking();
  LONGLONG duration = 0;
  seeking->GetDuration(&duration);
  InstallInterruptHandler();
  for (int i = 0; i < o.count; ++i) {
    // The middle of each of count equal parts of the movie.
    LONGLONG at = duration * (2 * i + 1) / (2LL * o.count);
    // --fast: the key frame at or before, so that nothing is decoded only
    // to be dropped (the label then tells the key frame's own time).
    const DWORD flags = AM_SEEKING_AbsolutePositioning | (o.fast ? AM_SEEKING_SeekToKeyFrame : 0);
    HRESULT hr = seeking->SetPositions(&at, flags, nullptr, AM_SEEKING_NoPositioning);
    if (FAILED(hr)) {
      return Fail(message, file + ": cannot seek: " + GraphHost::Describe(hr));
    }
    host.DrainEvents();
    catcher.Arm();
    hr = host.Control()->Run();
    if (FAILED(hr)) {
      host.Control()->Stop();
      return Fail(message, file + ": the graph does not run: " + GraphHost::Describe(hr));
    }
    bool caught = false, ended = false;
    HRESULT failure = S_OK;
    while (!(caught = catcher.WaitFor(std::chrono::milliseconds(50))) && !ended && !Interrupted()) {
      ended = host.WaitForEnd(0, &failure) != 0;
    }
    // A frame handed over just as the stream ended still counts.
    if (!caught) caught = catcher.WaitFor(std::chrono::milliseconds(0));
    host.Control()->Stop();
    if (Interrupted()) return 130;
    if (!caught) {
      char when[32];
      std::snprintf(when, sizeof when, "%g", at / 1e7);
      return Fail(message, file + ": no frame at " + when + " s" +
                               (failure != S_OK ? ": " + GraphHost::Describe(failure) : std::string()));
    }
    const std::vector<uint8_t> record = catcher.Take();
    std::string error;
    if (!sheet.Place(i, record.data(), record.size(), &error)) {
      return Fail(message, error);
    }
    // The frame's own time, which the record carries in whole milliseconds.
    double startMs = 0;
    std::memcpy(&startMs, record.data() + TpRecordStartMs, sizeof startMs);
    sheet.Label(i, font::FormatTime(static_cast<long long>(startMs)));
  }
  std::string error;
  if (!sheet.WritePng(output, &error)) {
    return Fail(message, error);
  }
  char done[64];
  std::snprintf(done, sizeof done, ": %d frames, %dx%d", o.count, sheet.Width(), sheet.Height());
  *message = output + done;
  return 0;
}

// --output-dir: each movie's sheet as DIR/<name without extension>.png, made
// by `jobs` workers at once in this process, one filter each. A line per
// movie as it finishes (standard output when done, standard error when
// not); the others go on after a failure. 0 when all were made, 1 when any
// failed, 2 when two movies would write the same sheet, 130 on Ctrl-C.
int MakeSheets(const ThumbsOptions &o) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir = fs::u8path(o.outputDir);
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) {
    std::cerr << "tidepool: cannot write into " << o.outputDir << "\n";
    return 1;
  }
  std::vector<std::string> outputs;
  std::set<std::string> taken;
  for (const std::string &file : o.files) {
    const fs::path sheet = dir / (fs::u8path(file).stem().u8string() + u8".png");
    const auto text = sheet.u8string();
    outputs.emplace_back(text.begin(), text.end());
    if (!taken.insert(outputs.back()).second) {
      std::cerr << "tidepool: two movies would both write " << outputs.back() << "\n";
      return 2;
    }
  }
  unsigned jobs = o.jobs > 0 ? static_cast<unsigned>(o.jobs) : std::thread::hardware_concurrency();
  if (jobs == 0) jobs = 1;
  if (jobs > o.files.size()) jobs = static_cast<unsigned>(o.files.size());
  InstallInterruptHandler();
  std::atomic<size_t> next{0};
  std::atomic<int> failed{0}, interrupted{0};
  std::mutex printing;  // leaf: one line at a time
  size_t finished = 0;  // under printing
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < o.files.size() && !Interrupted();) {
      std::string message;
      const int status = MakeSheet(o, o.files[i], outputs[i], &message);
      std::lock_guard<std::mutex> lock(printing);
      ++finished;
      if (status == 130) {
        ++interrupted;
      } else if (status == 0) {
        std::printf("[%zu/%zu] %s\n", finished, o.files.size(), message.c_str());
        std::fflush(stdout);
      } else {
        ++failed;
        std::fprintf(stderr, "[%zu/%zu] tidepool: %s\n", finished, o.files.size(), message.c_str());
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < jobs; ++j) workers.emplace_back(worker);
  worker();
  for (std::thread &t : workers) t.join();
  if (interrupted.load() > 0 || Interrupted()) return 130;
  return failed.load() > 0 ? 1 : 0;
}

}  // namespace

int RunThumbs(const ThumbsOptions &o) {
  if (o.count < 1 || o.columns < 1 || o.width < 16 || o.count > 1000 || o.width > 4096) {
    std::cerr << "tidepool: --count must be 1 to 1000, --columns at least 1, --width 16 to 4096\n";
    return 2;
  }
  if (o.outputDir.empty()) {
    if (o.files.size() != 1 || o.output.empty()) {
      std::cerr << "tidepool: thumbs needs one FILE with -o SHEET.png, or --output-dir DIR\n";
      return 2;
    }
    std::string message;
    const int status = MakeSheet(o, o.files.front(), o.output, &message);
    if (status == 0) {
      std::printf("%s\n", message.c_str());
    } else if (status == 1) {
      std::cerr << "tidepool: " << message << "\n";
    }
    return status;
  }
  if (!o.output.empty()) {
    std::cerr << "tidepool: give either -o or --output-dir\n";
    return 2;
  }
  return MakeSheets(o);
}

}  // namespace tidepool
