#include "engine/CQTVideoExtraction.h"

#include <uuids.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "QuickTime/MacMemory.h"
#include "QuickTime/QTML.h"
#include "engine/CQTAVExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

constexpr LONG kMaxSampleSize = 0x400000;

// Test seam: false hands samples in without frame times, so the runtime
// finishes each picture in its own call.
std::atomic<bool> g_deferPictures{true};

constexpr DWORD FourCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

constexpr DWORD kFourCCYV12 = FourCC('Y', 'V', '1', '2');
constexpr DWORD kFourCCYUY2 = FourCC('Y', 'U', 'Y', '2');
constexpr DWORD kFourCCI420 = FourCC('I', '4', '2', '0');

// FOURCC subtype: {FOURCC-0000-0010-8000-00AA00389B71}. I420 is not in every
// SDK's list, so it is spelled out here.
constexpr GUID kSubtypeI420 = {kFourCCI420, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

struct SubtypeInfo {
  const GUID *subtype;
  OSType pixelFormat;
  DWORD compression;
  WORD bitCount;
};

// In the order offered to the pin.
const SubtypeInfo kSubtypes[] = {
    {&MEDIASUBTYPE_YV12, kYUV420CodecType, kFourCCYV12, 12}, {&MEDIASUBTYPE_YUY2, kYUVSPixelFormat, kFourCCYUY2, 16},
    {&kSubtypeI420, kYUV420CodecType, kFourCCI420, 12},      {&MEDIASUBTYPE_RGB32, k32ARGBPixelFormat, BI_RGB, 32},
    {&MEDIASUBTYPE_RGB24, k24RGBPixelFormat, BI_RGB, 24},    {&MEDIASUBTYPE_RGB555, k16LE555PixelFormat, BI_RGB, 16},
    {&MEDIASUBTYPE_RGB565, k16LE565PixelFormat, BI_RGB, 16},
};

const SubtypeInfo *FindSubtype(const GUID *subtype) {
  if (subtype == nullptr) return nullptr;
  for (const SubtypeInfo &info : kSubtypes) {
    if (IsEqualGUID(*info.subtype, *subtype)) return &info;
  }
  return nullptr;
}

LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Pictures the runtime draws after DecompressSequenceFrameWhen returns, on
// its own thread, possibly after later samples went in: each drawing is
// named by a ticket (the completion's refcon), and its result is kept here
// until the block's owner collects it. Lock order: mutex_ comes before a
// track's DecodeAhead lock (WaitOr's give-up test takes it); nothing else
// is taken under it.
class DrawTickets {
 public:
  long Issue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++next_ <= 0) next_ = 1;
    return next_;
  }
  // The completion procedure, on the runtime's drawing thread (or inside
  // the call).
  static void Done(OSErr result, short, long ticket) {
    DrawTickets &self = Instance();
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.finished_[ticket] = result;
    }
    self.changed_.notify_all();
  }
  OSErr Wait(long ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_.count(ticket) != 0; });
    const OSErr result = finished_[ticket];
    finished_.erase(ticket);
    return result;
  }
  bool Finished(long ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_.count(ticket) != 0;
  }
  // Waits until the ticket's drawing is done (true) or giveUp() holds
  // (false); giveUp is tested again after every Poke.
  template <typename GiveUp>
  bool WaitOr(long ticket, GiveUp giveUp) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_.count(ticket) != 0 || giveUp(); });
    return finished_.count(ticket) != 0;
  }
  // Wakes the waiters to test their give-up condition again.
  void Poke() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }
  static DrawTickets &Instance() {
    static DrawTickets tickets;
    return tickets;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<long, OSErr> finished_;
  long next_ = 0;
};

bool IsPlanar420(DWORD compression) { return compression == kFourCCYV12 || compression == kFourCCI420; }

// Bytes of one output row: planar 4:2:0 lays its luma rows out at a pitch of
// the width, its chroma rows at half that, planes back to back (what readers
// of YV12 and I420 expect); packed layouts use the bitmap stride (rows padded
// to 4 bytes).
DWORD Stride(WORD bitCount, DWORD compression, LONG width) {
  if (IsPlanar420(compression)) return static_cast<DWORD>(width > 0 ? width : 0);
  return ((static_cast<DWORD>(bitCount) * static_cast<DWORD>(width) + 31) / 32) * 4;
}

// The width is even (the set-up rounds it up), so the chroma planes are
// exactly a quarter of the luma plane each.
DWORD ImageSize(WORD bitCount, DWORD compression, LONG width, LONG height) {
  const DWORD rows = static_cast<DWORD>(Abs(height));
  if (IsPlanar420(compression)) return Stride(bitCount, compression, width) * rows * 3 / 2;
  return Stride(bitCount, compression, width) * rows;
}

// Holds the track's decoding thread for the life of a call that moves or
// reads the decoding state.
class PausedDecoding {
 public:
  PausedDecoding(DecodeAhead &ahead, bool repositions) : ahead_(ahead), repositions_(repositions) { ahead_.Pause(); }
  ~PausedDecoding() { ahead_.Resume(repositions_); }
  PausedDecoding(const PausedDecoding &) = delete;
  PausedDecoding &operator=(const PausedDecoding &) = delete;

 private:
  DecodeAhead &ahead_;
  const bool repositions_;
};

bool IsSyncSample(MediaSampleFlags flags) {
  if (flags == 0) return true;
  if ((flags & mediaSampleNotSync) != 0) return false;
  return (flags & (mediaSampleEarlierDisplayTimesAllowed | mediaSampleDoesNotDependOnOthers |
                   mediaSampleIsDependedOnByOthers)) != 0;
}

}  // namespace

CQTVideoExtraction::CQTVideoExtraction(Movie theMovie)
    : CQTMediaExtraction(theMovie),
      started(false),
      sequence(0),
      imageDescription(nullptr),
      sampleData(nullptr),
      gworld(nullptr),
      pixelFormat(0),
      framePool(nullptr),
      avgTimePerFrame(0),
      dibSection(nullptr),
      worldPixels(nullptr),
      worldBytes(0),
      sampleGrabber(nullptr),
      formatChanged(0),
      mediaType{},
      videoInfo{},
      mediaDuration(0),
      movieOffset(0),
      firstMediaTime(0),
      showFrom(0),
      lastHidden(-1),
      hiddenAny(false),
      hideAllBefore(false),
      decodeAhead(&CQTVideoExtraction::DecodeAheadStep, this, &CQTVideoExtraction::DecodeAheadStalled) {
  mediaType.majortype = MEDIATYPE_Video;
  mediaType.bFixedSizeSamples = TRUE;
  mediaType.formattype = FORMAT_VideoInfo;
  mediaType.cbFormat = sizeof(VIDEOINFOHEADER);
  mediaType.pbFormat = reinterpret_cast<BYTE *>(&videoInfo);

  media = CQTAVExtraction::FindMediaOfType(theMovie, VideoMediaType);
  const OSErr findError = GetMoviesError();
  if (findError != noErr || media == nullptr) {
    TraceW8(TEXT("QTGetMedia failed(%d)\n"), static_cast<int>(findError));
    media = nullptr;
    return;
  }
  timeScale = GetMediaTimeScale(media);
  duration = GetMediaDuration(media);
  mediaDuration = duration;
  maxSampleSize = kMaxSampleSize;

  imageDescription = reinterpret_cast<ImageDescriptionHandle>(NewHandle(4));
  if (imageDescription == nullptr) {
    TraceW8(TEXT("New ImageDescribtion failed out of memory\n"));
    return;
  }
  GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(imageDescription));
  const OSErr descError = GetMoviesError();
  if (descError != noErr || *imageDescription == nullptr ||
      GetHandleSize(reinterpret_cast<Handle>(imageDescription)) < static_cast<Size>(sizeof(ImageDescription))) {
    TraceW8(TEXT("GetMediaSampleDescription failed(%d)\n"), static_cast<int>(descError));
    DisposeHandle(reinterpret_cast<Handle>(imageDescription));
    imageDescription = nullptr;
    return;
  }
  videoInfo.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  videoInfo.bmiHeader.biPlanes = 1;
  // Odd sizes are offered rounded up to even; negative sizes in a damaged
  // description are not a picture.
  const LONG width = (*imageDescription)->width;
  const LONG height = (*imageDescription)->height;
  videoInfo.bmiHeader.biWidth = width > 0 ? (width + 1) / 2 * 2 : 0;
  videoInfo.bmiHeader.biHeight = height > 0 ? (height + 1) / 2 * 2 : 0;
  pictureWidth = width > 0 ? width : 0;
  pictureHeight = height > 0 ? height : 0;
  storedWidth = videoInfo.bmiHeader.biWidth;
  storedHeight = videoInfo.bmiHeader.biHeight;
  ReadOrientation();

  const LONG count = CountVideoSamples();
  const LONG seconds = timeScale > 0 ? duration / timeScale : 0;
  TraceW2(TEXT("Sample count %d, duration %d"), static_cast<int>(count), static_cast<int>(seconds));
  // The media's exact duration over its samples, rounded to 100 ns; no
  // samples leaves no frame rate to report.
  avgTimePerFrame =
      count > 0 && timeScale > 0 && duration > 0
          ? DivideRounded(static_cast<LONGLONG>(duration) * kRefTimePerSecond, static_cast<LONGLONG>(timeScale) * count)
          : 0;
  ReadEditList();
}

void CQTVideoExtraction::ReadOrientation() {
  orientation = FrameOrientation{};
  Track track = GetMediaTrack(media);
  if (GetMoviesError() != noErr || track == nullptr) return;
  // Identity, should the runtime leave the record alone.
  MatrixRecord matrix = {{{0x10000, 0, 0}, {0, 0x10000, 0}, {0, 0, 0x40000000}}};
  GetTrackMatrix(track, &matrix);
  const OSErr err = GetMoviesError();
  if (err != noErr) {
    TraceW8(TEXT("GetTrackMatrix failed(%d)"), static_cast<int>(err));
    return;
  }
  const FrameOrientation wanted = FrameOrientation::FromMatrix(matrix);
  if (wanted.IsIdentity()) return;
  const int degrees = wanted.Degrees();
  const int mirrored = wanted.Mirrored() ? 1 : 0;
  if (StoredOrientationAsked()) {
    TraceW4(TEXT("Video track turned %d degrees, mirrored %d: delivered as stored"), degrees, mirrored);
    return;
  }
  TraceW4(TEXT("Video track turned %d degrees, mirrored %d"), degrees, mirrored);
  orientation = wanted;
  if (orientation.SwapsSize()) std::swap(videoInfo.bmiHeader.biWidth, videoInfo.bmiHeader.biHeight);
}

void CQTVideoExtraction::ReadEditList() {
  movieOffset = 0;
  firstMediaTime = 0;
  const TimeScale movieScale = GetMovieTimeScale(movie);
  Track track = GetMediaTrack(media);
  if (GetMoviesError() != noErr || track == nullptr || movieScale <= 0 || timeScale <= 0) {
    TraceW8(TEXT("GetMediaTrack failed(%d)"), static_cast<int>(GetMoviesError()));
    return;
  }
  // Bounds the walk over a hostile edit list; real movies have a handful.
  constexpr int kMaxEdits = 4096;
  int edits = 0;
  bool playing = false;
  LONGLONG movieStart = 0;
  LONGLONG trackEnd = 0;
  TimeValue editStart = -1;
  TimeValue editLength = 0;
  GetTrackNextInterestingTime(track, nextTimeTrackEdit | nextTimeEdgeOK, 0, 0x10000, &editStart, &editLength);
  while (editStart >= 0 && edits < kMaxEdits) {
    ++edits;
    if (!playing) {
      const TimeValue mediaStart = TrackTimeToMediaTime(editStart, track);
      if (mediaStart >= 0) {
        playing = true;
        movieStart = editStart;
        firstMediaTime = mediaStart;
      }
    }
    if (editLength > 0) trackEnd = static_cast<LONGLONG>(editStart) + editLength;
    TimeValue next = -1;
    GetTrackNextInterestingTime(track, nextTimeTrackEdit, editStart, 0x10000, &next, &editLength);
    if (next <= editStart) break;
    editStart = next;
  }
  if (!playing) {
    // No edit plays the media (or the runtime could not say): media time
    // is movie time.
    TraceW4(TEXT("Video track: no playing edit among %d, media time is movie time"), edits);
    return;
  }
  // Movie units to media units, rounded to the nearest.
  const auto toMedia = [&](LONGLONG movieTime) { return (movieTime * timeScale + movieScale / 2) / movieScale; };
  movieOffset = toMedia(movieStart) - firstMediaTime;
  // The track lasts until its last picture has been shown: the edits' end,
  // or the media's end delayed by its first display offset when the edits
  // stop sooner (a file without an edit list keeps its composition delay).
  ByteCount size = 0;
  TimeValue64 decodeTime = 0, decodeDuration = 0, displayOffset = 0;
  ItemCount descIndex = 0, samples = 0;
  MediaSampleFlags flags = 0;
  if (GetMediaSample2(media, nullptr, 0, &size, 0, &decodeTime, &decodeDuration, &displayOffset, nullptr, &descIndex, 1,
                      &samples, &flags) != noErr) {
    displayOffset = 0;
  }
  LONGLONG end = toMedia(trackEnd);
  const LONGLONG shown = mediaDuration + displayOffset + movieOffset;
  if (shown > end) end = shown;
  duration = static_cast<LONG>(end > 0x7fffffff ? 0x7fffffff : end < 0 ? 0 : end);
  TraceW2(TEXT("Video edits %d: media %d plays at movie %d, ends at %d"), edits, static_cast<int>(firstMediaTime),
          static_cast<int>(movieOffset + firstMediaTime), static_cast<int>(duration));
  if (edits > 1) TraceW4(TEXT("Video track has %d edits: the first playing one maps the whole media"), edits);
}

CQTVideoExtraction::~CQTVideoExtraction() {
  ExtractionEnd();
  if (imageDescription != nullptr) DisposeHandle(reinterpret_cast<Handle>(imageDescription));
}

LONG CQTVideoExtraction::CountVideoSamples() {
  // The media's samples by decode time: a walk in movie time misses those
  // that play before the first edit starts (the composition delay of a
  // movie with B-frames), and the frame time would come out long.
  LONG count = 0;
  TimeValue64 time = 0;
  for (;;) {
    ByteCount size = 0;
    TimeValue64 decodeTime = 0, perSample = 0;
    ItemCount samples = 0;
    if (GetMediaSample2(media, nullptr, 0, &size, time, &decodeTime, &perSample, nullptr, nullptr, nullptr, 0, &samples,
                        nullptr) != noErr ||
        samples == 0 || samples > static_cast<ItemCount>(0x7FFFFFFF - count)) {
      break;
    }
    count += static_cast<LONG>(samples);
    const TimeValue64 next = decodeTime + static_cast<TimeValue64>(samples) * perSample;
    // A time that does not move on would never end the walk.
    if (next <= time) break;
    time = next;
  }
  return count > 0 ? count : CountMovieSamples();
}

LONG CQTVideoExtraction::CountMovieSamples() {
  const OSType types[1] = {VideoMediaType};
  TimeValue time = -1;
  TimeValue length = 0;
  GetMovieNextInterestingTime(movie, nextTimeMediaSample | nextTimeEdgeOK, 1, types, 0, 0, &time, &length);
  if (time == -1) return 0;
  LONG count = 1;
  for (;;) {
    TimeValue next = -1;
    GetMovieNextInterestingTime(movie, nextTimeMediaSample, 1, types, time, 0, &next, &length);
    // A time that does not move on would never end the walk.
    if (next == -1 || next <= time) break;
    time = next;
    ++count;
  }
  return count;
}

void CQTVideoExtraction::GetSupportedSubtypes(std::vector<GUID> *subtypes) {
  if (subtypes == nullptr) return;
  for (const SubtypeInfo &info : kSubtypes) subtypes->push_back(*info.subtype);
}

LONG CQTVideoExtraction::FillMediaInfo(void *format, LONG size, const GUID *subtype) {
  TraceW2(TEXT("CQTVideoExtraction::FillMediaInfo\n"));
  if (subtype == nullptr || format == nullptr || size < static_cast<LONG>(sizeof(VIDEOINFOHEADER))) return -1;
  auto *info = static_cast<VIDEOINFOHEADER *>(format);
  const SubtypeInfo *known = FindSubtype(subtype);
  const LONG width = videoInfo.bmiHeader.biWidth;
  const LONG height = videoInfo.bmiHeader.biHeight;
  info->rcSource = RECT{0, 0, width, height};
  info->rcTarget = info->rcSource;
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = height;
  info->bmiHeader.biSize = videoInfo.bmiHeader.biSize;
  info->bmiHeader.biPlanes = videoInfo.bmiHeader.biPlanes;
  const bool rgb = known != nullptr && known->compression == BI_RGB;
  info->bmiHeader.biCompression = rgb ? BI_RGB : subtype->Data1;
  info->bmiHeader.biBitCount = known != nullptr ? known->bitCount : 0;
  info->bmiHeader.biSizeImage = ImageSize(info->bmiHeader.biBitCount, info->bmiHeader.biCompression, width, height);
  info->AvgTimePerFrame = avgTimePerFrame;
  TraceW2(TEXT("Average Time per frame %d"), static_cast<int>(info->AvgTimePerFrame));
  return 0;
}

LONG CQTVideoExtraction::GetBufferSize() {
  return static_cast<LONG>(
      Stride(videoInfo.bmiHeader.biBitCount, videoInfo.bmiHeader.biCompression, videoInfo.bmiHeader.biWidth));
}

void CQTVideoExtraction::SetOutputSubtype(const GUID *subtype) {
  if (subtype == nullptr) return;
  const SubtypeInfo *known = FindSubtype(subtype);
  OSType newFormat = pixelFormat;
  if (known != nullptr) {
    videoInfo.bmiHeader.biCompression = known->compression;
    newFormat = known->pixelFormat;
  }
  if (newFormat != pixelFormat) ExtractionEnd();
  pixelFormat = newFormat;
  videoInfo.bmiHeader.biBitCount = known != nullptr ? known->bitCount : 0;
  videoInfo.bmiHeader.biSizeImage = ImageSize(videoInfo.bmiHeader.biBitCount, videoInfo.bmiHeader.biCompression,
                                              videoInfo.bmiHeader.biWidth, videoInfo.bmiHeader.biHeight);
  mediaType.subtype = *subtype;
}

LONG CQTVideoExtraction::SetSampleGrabber(IMediaSampleGrabber *grabber) {
  sampleGrabber = grabber;
  return 0;
}

LONG CQTVideoExtraction::ProbeDecoder() {
  if (media == nullptr || imageDescription == nullptr || started) return -1;
  // The decoder is opened for the description, not for a world: any small
  // world will do, and nothing is decoded into it.
  const Rect bounds = {0, 0, 16, 16};
  GWorldPtr world = nullptr;
  OSErr err = QTNewGWorld(&world, kYUV420CodecType, &bounds, nullptr, nullptr, 0);
  if (err != noErr || world == nullptr) return err != noErr ? static_cast<LONG>(err) : -1;
  ImageSequence probe = 0;
  err = DecompressSequenceBeginS(&probe, imageDescription, nullptr, 0, world, nullptr, nullptr, nullptr, ditherCopy,
                                 nullptr, codecFlagUseImageBuffer, codecNormalQuality, nullptr);
  if (err == noErr) CDSequenceEnd(probe);
  DisposeGWorld(world);
  return err;
}

OSType CQTVideoExtraction::CodecType() const {
  return imageDescription != nullptr && *imageDescription != nullptr ? (*imageDescription)->cType : 0;
}

LONG CQTVideoExtraction::ExtractionBegin() {
  if (started) return 0;
  ExtractionEnd();
  TraceW2(TEXT("CQTVideoExtraction::ExtractionBegin() \n"));
  // The world holds the picture as stored; frames are turned when copied out.
  const LONG width = storedWidth;
  const LONG height = storedHeight;
  // A track whose set-up stopped early, or no layout chosen yet: nothing to
  // build a chain for. Sizes beyond the runtime's 16-bit rectangle too.
  if (media == nullptr || imageDescription == nullptr || pixelFormat == 0 || width <= 0 || height <= 0 ||
      width > 0x7ffe || height > 0x7ffe) {
    TraceW8(TEXT("CQTVideoExtraction::ExtractionBegin no usable track or format"));
    return -1;
  }
  sampleData = NewHandle(maxSampleSize);
  if (sampleData == nullptr) {
    ExtractionEnd();
    return -1;
  }
  TraceW2(TEXT("width %d, height %d, bitCount %d"), static_cast<int>(width), static_cast<int>(height),
          static_cast<int>(videoInfo.bmiHeader.biBitCount));
  const Rect bounds = {0, 0, static_cast<SInt16>(height), static_cast<SInt16>(width)};
  OSErr err = noErr;
  if (pixelFormat == k32ARGBPixelFormat || pixelFormat == k24RGBPixelFormat) {
    BITMAPINFO bitmapInfo{};
    bitmapInfo.bmiHeader = videoInfo.bmiHeader;
    bitmapInfo.bmiHeader.biWidth = width;
    bitmapInfo.bmiHeader.biHeight = height;
    bitmapInfo.bmiHeader.biSizeImage =
        ImageSize(videoInfo.bmiHeader.biBitCount, videoInfo.bmiHeader.biCompression, width, height);
    dibSection = CreateDIBSection(nullptr, &bitmapInfo, DIB_RGB_COLORS, nullptr, nullptr, 0);
    if (dibSection == nullptr) {
      TraceW8(TEXT("CreateDIBSection failed(%d)"), static_cast<int>(GetLastError()));
      ExtractionEnd();
      return -1;
    }
    HDC dc = nullptr;
    err = NewGWorldFromHBITMAP(&gworld, nullptr, nullptr, 0, dibSection, &dc);
  } else {
    err = QTNewGWorld(&gworld, WorldFormat(), &bounds, nullptr, nullptr, 0);
  }
  if (err != noErr || gworld == nullptr) {
    TraceW8(TEXT("QTNewGWorld failed(%d)\n"), static_cast<int>(err));
    ExtractionEnd();
    return err != noErr ? static_cast<LONG>(err) : -1;
  }
  PixMapHandle pixMap = GetGWorldPixMap(gworld);
  LockPixels(pixMap);
  err = DecompressSequenceBeginS(&sequence, imageDescription, nullptr, 0, gworld, nullptr, nullptr, nullptr, ditherCopy,
                                 nullptr, codecFlagUseImageBuffer, codecNormalQuality, nullptr);
  if (err != noErr) {
    TraceW8(TEXT("DecompressSequenceBeginS failed(%d)"), static_cast<int>(err));
    sequence = 0;
    ExtractionEnd();
    return static_cast<LONG>(err);
  }
  // Playing from the start is a seek to the first edit's start: frames that
  // stop showing before it are decoded, never drawn.
  position = 0;
  showFrom = firstMediaTime;
  hideAllBefore = false;
  // Pictures are drawn straight into the pool's blocks (the world's pixel
  // map is pointed at each block in turn), so a block holds at least what
  // the world's rows span, and twice the image.
  // Pictures the runtime may hold back, each in a block lent to it. The
  // reader waits only for the first frame of a full queue, so the samples
  // after it (the queue's others, then those decoded ahead) reach the
  // runtime's limit with that many fewer ahead.
  SInt32 limit = 0;
  if (!g_deferPictures.load() || ICMSequenceGetInfo(sequence, kICMSequencePendingFrameLimit, &limit) != noErr)
    limit = 0;
  pendingLimit = limit < 0 ? 0 : limit > static_cast<SInt32>(DecodeAhead::kMaxDepth) ? DecodeAhead::kMaxDepth : limit;
  const LONG behindFront = static_cast<LONG>(FrameQueue::kCapacity) - 1;
  decodeAhead.SetDepth(pendingLimit > behindFront ? static_cast<size_t>(pendingLimit - behindFront) : 0);
  runOpen = false;
  const SInt32 rowBytes = QTGetPixMapHandleRowBytes(pixMap);
  worldPixels = GetPixBaseAddr(pixMap);
  if (rowBytes <= 0 || worldPixels == nullptr || pixMap == nullptr || *pixMap == nullptr) {
    TraceW8(TEXT("CQTVideoExtraction::ExtractionBegin the world has no pixels"));
    ExtractionEnd();
    return -1;
  }
  worldBytes = static_cast<size_t>(rowBytes) * static_cast<size_t>(height);
  // What the world's rows span holds every picture; the image size is a
  // floor for a world that reports less.
  size_t pixelBytes = videoInfo.bmiHeader.biSizeImage;
  if (worldBytes > pixelBytes) pixelBytes = worldBytes;
  framePool = FramePool::Create(pixelBytes, static_cast<int>(FrameQueue::kCapacity + decodeAhead.Depth()));
  if (framePool == nullptr) {
    TraceW8(TEXT("Can't alloc DecompressFrameBuffer"));
    ExtractionEnd();
    return -1;
  }
  FillFrameQueue();
  decodeOnCaller = false;
  started = true;
  formatChanged = 1;
  TraceW2(TEXT("QT Video Extraction initialization succeed"));
  return 0;
}

LONG CQTVideoExtraction::ExtractionEnd() {
  // The decoding thread goes first: it uses everything below. Pictures the
  // runtime still holds are cancelled, and every block's drawing collected,
  // before the blocks go.
  decodeAhead.Stop();
  CancelPictures();
  while (DecodedFrame *frame = decodeAhead.PopWaiting()) FinishDraw(frame);
  for (size_t i = 0; i < frameQueue.Size(); ++i) FinishDraw(frameQueue.At(i));
  if (sequence != 0) {
    CDSequenceEnd(sequence);
    sequence = 0;
  }
  if (gworld != nullptr) {
    PixMapHandle pixMap = GetGWorldPixMap(gworld);
    // The pool's blocks go away below: the world points at its own again.
    if (pixMap != nullptr && *pixMap != nullptr && worldPixels != nullptr) (*pixMap)->baseAddr = worldPixels;
    UnlockPixels(pixMap);
    DisposeGWorld(gworld);
    gworld = nullptr;
  }
  worldPixels = nullptr;
  worldBytes = 0;
  if (dibSection != nullptr) {
    DeleteObject(dibSection);
    dibSection = nullptr;
  }
  if (sampleData != nullptr) {
    DisposeHandle(sampleData);
    sampleData = nullptr;
  }
  frameQueue.Clear();
  FramePool::Destroy(framePool);
  framePool = nullptr;
  started = false;
  formatChanged = 0;
  return 0;
}

CQTVideoExtraction::DecodeResult CQTVideoExtraction::DecodeNextFrame(DecodedFrame **frame, DecodeFor purpose) {
  *frame = nullptr;
  if (sampleData == nullptr || *sampleData == nullptr) return DecodeResult::End;
  if (position >= mediaDuration) return EndOfSamples();
  ByteCount size = 0;
  TimeValue64 decodeTime = 0;
  TimeValue64 decodeDuration = 0;
  TimeValue64 displayOffset = 0;
  ItemCount descIndex = 0;
  ItemCount samples = 0;
  MediaSampleFlags flags = 0;
  OSErr err =
      GetMediaSample2(media, reinterpret_cast<UInt8 *>(*sampleData), static_cast<ByteCount>(maxSampleSize), &size,
                      position, &decodeTime, &decodeDuration, &displayOffset, nullptr, &descIndex, 1, &samples, &flags);
  if (err != noErr || size == 0) {
    TraceW8(TEXT("GetMediaSample2 at time(%d), failed(%d)"), static_cast<int>(position), static_cast<int>(err));
    return EndOfSamples();
  }
  if (samples > 1) TraceW8(TEXT("Skip (%d) frames \n"), static_cast<int>(samples - 1));
  lastDuration = static_cast<LONGLONG>(samples) * decodeDuration;
  const LONGLONG next = decodeTime + lastDuration;
  // A sample that would not move the position on would be read forever.
  if (next <= position) {
    TraceW8(TEXT("GetMediaSample2 at time(%d), failed(%d)"), static_cast<int>(position), -1);
    return EndOfSamples();
  }
  const LONGLONG readFrom = position;
  position = next;
  // A frame that stops showing by the seek target is only decoded.
  const LONGLONG presentation = decodeTime + displayOffset;
  if (presentation < showFrom && (hideAllBefore || presentation + lastDuration <= showFrom)) {
    purpose = DecodeFor::SeekOnly;
    if (!hiddenAny || presentation > lastHidden) lastHidden = presentation;
    hiddenAny = true;
  }
  // The display time goes with every sample: with it the runtime may hold
  // pictures back (frame threads) and finish them after later samples.
  ICMFrameTimeRecord when{};
  when.value.lo = static_cast<UInt32>(static_cast<ULONGLONG>(presentation) & 0xffffffffu);
  when.value.hi = static_cast<SInt32>(presentation >> 32);
  when.scale = timeScale;
  when.recordSize = sizeof when;
  const ICMFrameTimeRecord *frameTime = g_deferPictures.load() ? &when : nullptr;
  if (purpose == DecodeFor::SeekOnly) {
    err = DecompressSequenceFrameWhen(sequence, reinterpret_cast<Ptr>(*sampleData), static_cast<SInt32>(size),
                                      codecFlagNoScreenUpdate, nullptr, nullptr, frameTime);
    if (err != noErr) TraceW8(TEXT("DecompressSequenceFrameWhen failed(%d)"), static_cast<int>(err));
    runOpen = true;
    return DecodeResult::Skipped;
  }
  // The picture is drawn straight into its frame block: the world's pixel
  // map points at the block while the sample decodes. Without a block the
  // sample is only decoded, and its picture dropped.
  PixMapHandle pixMap = GetGWorldPixMap(gworld);
  if (pixMap == nullptr || *pixMap == nullptr || worldPixels == nullptr) return DecodeResult::End;
  // Blocks are made at least worldBytes long (ExtractionBegin).
  DecodedFrame *out = framePool != nullptr ? framePool->Acquire() : nullptr;
  (*pixMap)->baseAddr = out != nullptr ? reinterpret_cast<Ptr>(out->pixels) : worldPixels;
  // The runtime may draw the picture while later samples decode: the block
  // is delivered only once its drawing is done (AwaitDraw).
  ICMCompletionProcRecord drawn{&DrawTickets::Done, 0};
  if (out != nullptr) drawn.completionRefCon = out->drawTicket = DrawTickets::Instance().Issue();
  err = DecompressSequenceFrameWhen(sequence, reinterpret_cast<Ptr>(*sampleData), static_cast<SInt32>(size),
                                    out != nullptr ? 0 : codecFlagNoScreenUpdate, nullptr,
                                    out != nullptr ? &drawn : nullptr, frameTime);
  runOpen = true;
  if (err != noErr) {
    TraceW8(TEXT("DecompressSequenceFrameWhen failed(%d)"), static_cast<int>(err));
    if (out != nullptr) {
      // A failed call never completes.
      out->drawTicket = 0;
      framePool->Release(out);
    }
    return DecodeResult::Skipped;
  }
  if (out == nullptr) return DecodeResult::End;
  out->byteCount = static_cast<LONG>(worldBytes);
  out->pixelRowBytes = QTGetPixMapHandleRowBytes(pixMap);
  out->presentationTime = presentation + movieOffset;
  out->frameDuration = lastDuration;
  out->readFrom = readFrom;
  out->readTo = position;
  *frame = out;
  return DecodeResult::Frame;
}

bool CQTVideoExtraction::FinishDraw(DecodedFrame *frame) {
  if (frame == nullptr || frame->drawTicket == 0) return true;
  const OSErr err = DrawTickets::Instance().Wait(frame->drawTicket);
  frame->drawTicket = 0;
  if (err != noErr) TraceW8(TEXT("DecompressSequenceFrameWhen drawing failed(%d)"), static_cast<int>(err));
  return err == noErr;
}

CQTVideoExtraction::DecodeResult CQTVideoExtraction::EndOfSamples() {
  // No more samples come in this run: the pictures the runtime holds back
  // must come out now.
  if (runOpen && sequence != 0) CDSequenceBusy(sequence);
  runOpen = false;
  return DecodeResult::End;
}

void CQTVideoExtraction::CancelPictures() {
  if (sequence != 0) CDSequenceFlush(sequence);
  runOpen = false;
}

bool CQTVideoExtraction::AwaitDraw(DecodedFrame *frame) {
  if (frame == nullptr || frame->drawTicket == 0) return true;
  if (pendingLimit == 0) return FinishDraw(frame);
  DrawTickets &tickets = DrawTickets::Instance();
  while (!tickets.Finished(frame->drawTicket)) {
    if (decodeAhead.Active()) {
      // The decoding thread feeds the runtime. A stream that reorders no
      // deeper than the queue has this picture out once the runtime's limit
      // of samples went in after it (the queue's others and Depth() more).
      if (tickets.WaitOr(frame->drawTicket, [this] { return decodeAhead.Stalled(); })) break;
      PausedDecoding paused(decodeAhead, false);
      if (PictureHeld(frame)) EndOfSamples();
      break;
    }
    // Decoding here: later samples go in (their frames wait their turn)
    // until this picture is out, as long as their blocks last.
    if (decodeAhead.WaitingCount() >= decodeAhead.Depth()) {
      if (PictureHeld(frame)) EndOfSamples();
      break;
    }
    DecodedFrame *next = nullptr;
    const DecodeResult result = DecodeNextFrame(&next);
    if (result == DecodeResult::End) {
      EndOfSamples();  // every picture comes out now
      break;
    }
    if (result == DecodeResult::Frame && !decodeAhead.PushWaiting(next)) {
      EndOfSamples();
      FinishDraw(next);
      framePool->Release(next);
      break;
    }
  }
  return FinishDraw(frame);
}

bool CQTVideoExtraction::PictureHeld(const DecodedFrame *frame) {
  // Waits for the drawing in flight, so a picture not finished then is one
  // the runtime still holds.
  SInt32 held = 0;
  if (ICMSequenceGetInfo(sequence, kICMSequenceHeldFrameCount, &held) != noErr) held = 1;
  if (DrawTickets::Instance().Finished(frame->drawTicket)) return false;
  // Only samples that cannot go in would let it out: the run ends here, and
  // what follows decodes without the pictures before (until a sync sample).
  TraceW8(TEXT("Video: the runtime holds a picture beyond its limit (%d held); ending the run"),
          static_cast<int>(held));
  return true;
}

DecodedFrame *CQTVideoExtraction::ReadyFront() {
  for (;;) {
    frameQueue.SortByPresentationTime();
    DecodedFrame *front = frameQueue.Front();
    if (front == nullptr || AwaitDraw(front)) return front;
    // Its picture could not be drawn: the sample is skipped.
    framePool->Release(frameQueue.PopFront());
    FillFrameQueue();
  }
}

void CQTVideoExtraction::DecodeAheadStalled(void *) { DrawTickets::Instance().Poke(); }

DecodeAhead::Step CQTVideoExtraction::DecodeAheadStep(void *self, DecodedFrame **frame) {
  switch (static_cast<CQTVideoExtraction *>(self)->DecodeNextFrame(frame)) {
    case DecodeResult::Frame:
      return DecodeAhead::Step::Frame;
    case DecodeResult::Skipped:
      return DecodeAhead::Step::Skipped;
    case DecodeResult::End:
      break;
  }
  return DecodeAhead::Step::End;
}

LONGLONG CQTVideoExtraction::Position() {
  PausedDecoding paused(decodeAhead, false);
  return position;
}

void CQTVideoExtraction::FillFrameQueue() {
  // A sample that fails to decode is skipped (the position has moved past
  // it); only the end of the track or a read failure stops the top-up.
  while (!frameQueue.Full()) {
    DecodedFrame *frame = nullptr;
    if (decodeAhead.Active()) {
      // End: the thread stopped at the end and stays idle, so position is
      // safe to read.
      if (decodeAhead.Take(&frame) == DecodeAhead::Step::End) break;
    } else if ((frame = decodeAhead.PopWaiting()) == nullptr) {
      // Frames the thread decoded before it was held come first.
      const DecodeResult result = DecodeNextFrame(&frame);
      if (result == DecodeResult::End) break;
      if (result != DecodeResult::Frame) continue;
    }
    // Its drawing may finish only after later samples went in: it is
    // awaited when the frame is delivered (ReadyFront).
    frameQueue.Push(frame);
    queuedTo = frame->readTo;
  }
  if (!frameQueue.Full()) queuedTo = position;
}

OSType CQTVideoExtraction::WorldFormat() const {
  // YUY2 after a quarter turn: the decoder's 4:2:0 planes are turned first,
  // then widened to 4:2:2 along the displayed rows. Turning a 4:2:2 world
  // would spread chroma that was widened along the stored rows instead.
  if (pixelFormat == kYUVSPixelFormat && orientation.transpose) return kYUV420CodecType;
  return pixelFormat;
}

LONG CQTVideoExtraction::GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) {
  if (buffer == nullptr || size == nullptr || start == nullptr || duration == nullptr) return -1;
  if (!started || framePool == nullptr) return -1;
  // Without a thread the frames are decoded here, as they were before.
  if (!decodeAhead.Active() && !decodeOnCaller) decodeOnCaller = !decodeAhead.Start();
  FillFrameQueue();
  DecodedFrame *frame = ReadyFront();
  if (frame == nullptr) return -1;
  PlaneLayout layout{};
  LONG bottomUp = 0;
  BYTE *grabbed = nullptr;
  const LONG frameLength = CopyFrame(*frame, buffer, *size, &layout, &bottomUp, &grabbed);
  *start = frame->presentationTime;
  *duration = frame->frameDuration;
  if (sampleGrabber != nullptr && timeScale > 0) HandToGrabber(*frame, grabbed, frameLength, &layout, bottomUp);
  framePool->Release(frameQueue.PopFront());
  return 0;
}

LONGLONG CQTVideoExtraction::FindSyncSample(LONGLONG target) {
  if (sampleData == nullptr || *sampleData == nullptr || timeScale <= 0) return target;
  // Windows of one second of decode time, the nearest first, each scanned
  // forwards. A sync sample whose picture shows after the target does not
  // serve: the frame shown at the target may decode before it (B-frames).
  // A target past the last sample's decode time (its picture may still be
  // showing) is searched from the last sample.
  LONGLONG scanEnd = target < mediaDuration ? target : mediaDuration - 1;
  if (scanEnd < 0) scanEnd = 0;
  LONGLONG earliestSync = -1;
  for (LONGLONG k = 0;; ++k) {
    // 64-bit products: a late target with a large time scale must not wrap.
    LONGLONG windowStart = scanEnd - static_cast<LONGLONG>(timeScale) * (k + 1);
    if (windowStart < 0) windowStart = 0;
    const LONGLONG windowEnd = scanEnd - static_cast<LONGLONG>(timeScale) * k;
    LONGLONG best = -1;
    LONGLONG t = windowStart;
    do {
      ByteCount size = 0;
      TimeValue64 decodeTime = 0;
      TimeValue64 decodeDuration = 0;
      TimeValue64 displayOffset = 0;
      ItemCount descIndex = 0;
      ItemCount samples = 0;
      MediaSampleFlags flags = 0;
      // Times and flags only: no sample bytes are read.
      const OSErr err = GetMediaSample2(media, nullptr, 0, &size, t, &decodeTime, &decodeDuration, &displayOffset,
                                        nullptr, &descIndex, 0, &samples, &flags);
      if (err != noErr || size == 0) {
        TraceW8(TEXT("GetMediaSample2 at time(%d) failed(%d)\n"), static_cast<int>(t), static_cast<int>(err));
        return best >= 0 ? best : target;
      }
      if (IsSyncSample(flags)) {
        if (decodeTime + displayOffset <= target) best = decodeTime;
        if (earliestSync < 0 || decodeTime < earliestSync) earliestSync = decodeTime;
      }
      const LONGLONG next = decodeTime + static_cast<LONGLONG>(samples) * decodeDuration;
      if (next <= t) break;  // a table that does not advance ends this window
      t = next;
    } while (t <= windowEnd);
    if (best >= 0) {
      TraceW2(TEXT("SyncFrame find at time(%d)"), static_cast<int>(best));
      return best;
    }
    // The window that starts at 0 was the last one there is. A target before
    // every sync sample's picture starts at the first of them; with no sync
    // sample at all, decoding starts at the target itself.
    if (windowStart == 0) return earliestSync >= 0 ? earliestSync : target;
  }
}

void CQTVideoExtraction::ReleaseQueuedFrames() {
  // Decoding starts again elsewhere: pictures still held are cancelled, so
  // every block's drawing can be collected at once.
  CancelPictures();
  while (!frameQueue.Empty()) {
    FinishDraw(frameQueue.Front());
    framePool->Release(frameQueue.PopFront());
  }
  while (DecodedFrame *frame = decodeAhead.PopWaiting()) {
    FinishDraw(frame);
    framePool->Release(frame);
  }
}

void CQTVideoExtraction::DecodeUpTo(LONGLONG target) {
  if (pendingLimit > 0) {
    // Pictures held back cannot be dropped without feeding the samples they
    // wait for: they are cancelled, and the samples up to the target are
    // decoded again from a sync sample, the one before the nearest so that
    // pictures referring back across it (an open GOP) have what they need.
    ReleaseQueuedFrames();
    LONGLONG from = FindSyncSample(target);
    if (from > 0 && from <= target) {
      const LONGLONG before = FindSyncSample(from - 1);
      if (before >= 0 && before < from) from = before;
    }
    position = from <= target ? (from > 0 ? from : 0) : target;
    while (position < target) {
      DecodedFrame *frame = nullptr;
      if (DecodeNextFrame(&frame, DecodeFor::SeekOnly) == DecodeResult::End) break;
    }
    FillFrameQueue();
    return;
  }
  while (!frameQueue.Empty()) framePool->Release(frameQueue.PopFront());
  // Frames decoded ahead stand for the samples the loop below would read:
  // those read before the target are dropped, the rest are delivered next.
  while (DecodedFrame *ahead = decodeAhead.PeekWaiting()) {
    if (ahead->readFrom >= target) break;
    FinishDraw(ahead);
    framePool->Release(decodeAhead.PopWaiting());
  }
  while (decodeAhead.PeekWaiting() == nullptr && position < target) {
    DecodedFrame *frame = nullptr;
    if (DecodeNextFrame(&frame, DecodeFor::SeekOnly) == DecodeResult::End) break;
  }
  FillFrameQueue();
}

void CQTVideoExtraction::SetPosition(LONGLONG *time) {
  if (time == nullptr || !started || framePool == nullptr) return;
  PausedDecoding paused(decodeAhead, true);
  const LONGLONG target = *time - movieOffset;
  ReleaseQueuedFrames();
  const LONGLONG from = FindSyncSample(target);
  position = from > 0 ? from : 0;
  // Frames that stop showing by the target are decoded, not drawn; the
  // first one drawn is the frame shown at the target.
  showFrom = target;
  hiddenAny = false;
  hideAllBefore = false;
  FillFrameQueue();
  ReadyFront();
  // A frame's display is taken to last its decode duration. Where the two
  // differ (variable frame rates with B-frames), the frame on screen at the
  // target is the latest one starting at or before it, drawn or passed over:
  // when that is not the first one queued, decode again from the sync
  // sample and draw from that frame on.
  const DecodedFrame *front = frameQueue.Front();
  const LONGLONG frontTime = front != nullptr ? front->presentationTime - movieOffset : 0;
  const bool frontShown = front != nullptr && frontTime <= target && (!hiddenAny || frontTime >= lastHidden);
  const bool beforeEnd = *time < static_cast<LONGLONG>(duration);
  if (hiddenAny && !frontShown && (front != nullptr || beforeEnd)) {
    ReleaseQueuedFrames();
    position = from > 0 ? from : 0;
    showFrom = lastHidden;
    hideAllBefore = true;
    FillFrameQueue();
    ReadyFront();
  }
  if (!frameQueue.Empty()) *time = frameQueue.Front()->presentationTime;
}

LONG CQTVideoExtraction::MoveForward(LONGLONG *delta) {
  if (delta == nullptr || !started || framePool == nullptr) return -1;
  TraceW2(TEXT("QT VideoExtraction move (%d) sample time forward"), static_cast<int>(*delta));
  PausedDecoding paused(decodeAhead, true);
  // From where the queue's last top-up stopped reading: the decoding thread
  // may have read further since.
  DecodeUpTo(queuedTo + *delta);
  return 0;
}

void CQTVideoExtraction::DeferPicturesForTesting(bool defer) { g_deferPictures.store(defer); }
