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
#include <mutex>
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

}  // namespace

int RunThumbs(const ThumbsOptions &o) {
  if (o.count < 1 || o.columns < 1 || o.width < 16 || o.count > 1000 || o.width > 4096) {
    std::cerr << "tidepool: --count must be 1 to 1000, --columns at least 1, --width 16 to 4096\n";
    return 2;
  }
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(o.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  OutputPin *pin = host.Pin("Video");
  if (!pin) {
    std::cerr << "tidepool: " << o.file << ": no video track\n";
    return 1;
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
    std::cerr << "tidepool: " << o.file << ": the video pin offers no format a sheet can be made from\n";
    return 1;
  }
  // The output is opened now, so that an unwritable path fails before the
  // movie is decoded.
  FILE *probe = std::fopen(o.output.c_str(), "wb");
  if (!probe) {
    std::cerr << "tidepool: cannot write " << o.output << "\n";
    return 1;
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
    std::cerr << "tidepool: " << host.Error() << "\n";
    return 1;
  }
  // The grabber's pointer is not counted: it lives as long as the filter.
  IQuillSampleGrabber *grabber = nullptr;
  if (FAILED(host.Source()->QueryInterface(IID_IQuillSampleGrabber, reinterpret_cast<void **>(&grabber))) || !grabber) {
    std::cerr << "tidepool: the source filter hands out no sample grabber\n";
    return 1;
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
      std::cerr << "tidepool: cannot seek: " << GraphHost::Describe(hr) << "\n";
      return 1;
    }
    host.DrainEvents();
    catcher.Arm();
    hr = host.Control()->Run();
    if (FAILED(hr)) {
      host.Control()->Stop();
      std::cerr << "tidepool: the graph does not run: " << GraphHost::Describe(hr) << "\n";
      return 1;
    }
    bool caught = false, ended = false;
    while (!(caught = catcher.WaitFor(std::chrono::milliseconds(50))) && !ended && !Interrupted()) {
      ended = host.WaitForEnd(0) != 0;
    }
    // A frame handed over just as the stream ended still counts.
    if (!caught) caught = catcher.WaitFor(std::chrono::milliseconds(0));
    host.Control()->Stop();
    if (Interrupted()) return 130;
    if (!caught) {
      std::cerr << "tidepool: " << o.file << ": no frame at " << at / 1e7 << " s\n";
      return 1;
    }
    const std::vector<uint8_t> record = catcher.Take();
    std::string error;
    if (!sheet.Place(i, record.data(), record.size(), &error)) {
      std::cerr << "tidepool: " << error << "\n";
      return 1;
    }
    // The frame's own time, which the record carries in whole milliseconds.
    double startMs = 0;
    std::memcpy(&startMs, record.data() + TpRecordStartMs, sizeof startMs);
    sheet.Label(i, font::FormatTime(static_cast<long long>(startMs)));
  }
  std::string error;
  if (!sheet.WritePng(o.output, &error)) {
    std::cerr << "tidepool: " << error << "\n";
    return 1;
  }
  std::printf("%s: %d frames, %dx%d\n", o.output.c_str(), o.count, sheet.Width(), sheet.Height());
  return 0;
}

}  // namespace tidepool
