// CQTVideoExtraction: set-up, the output layouts, and the reading of one
// frame. Decoding, the decoding thread, the pictures drawn after their call
// returned, and seeking are in CQTVideoDecoding.cpp; the copy out into the
// pin's buffer in CQTVideoFrameCopy.cpp.
#include "engine/CQTVideoExtraction.h"

#include <uuids.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
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

LONGLONG CQTVideoExtraction::KeyFrameTime(LONGLONG time) {
  if (media == nullptr || timeScale <= 0) return time;
  const LONGLONG target = time - movieOffset;
  // Windows of one second of decode time, the nearest first, each scanned
  // forwards for the last sync sample whose picture shows by the target;
  // times and flags only, no sample bytes are read. The window that holds
  // sample 0 is the last one.
  const LONGLONG scanEnd = std::max<LONGLONG>(0, std::min<LONGLONG>(target, GetMediaDuration(media) - 1));
  for (LONGLONG k = 0;; ++k) {
    const LONGLONG windowStart = std::max<LONGLONG>(0, scanEnd - static_cast<LONGLONG>(timeScale) * (k + 1));
    const LONGLONG windowEnd = scanEnd - static_cast<LONGLONG>(timeScale) * k;
    LONGLONG best = -1;
    for (LONGLONG t = windowStart; t <= windowEnd;) {
      ByteCount size = 0;
      TimeValue64 decodeTime = 0, duration = 0, displayOffset = 0;
      ItemCount count = 0;
      MediaSampleFlags flags = 0;
      if (GetMediaSample2(media, nullptr, 0, &size, t, &decodeTime, &duration, &displayOffset, nullptr, nullptr, 1,
                          &count, &flags) != noErr ||
          count == 0) {
        break;
      }
      const LONGLONG shown = decodeTime + displayOffset;
      if ((flags & mediaSampleNotSync) == 0 && shown <= target && shown > best) best = shown;
      const LONGLONG next = decodeTime + static_cast<LONGLONG>(count) * duration;
      if (next <= t) break;  // a table that does not advance ends the window
      t = next;
    }
    if (best >= 0) return best + movieOffset;
    if (windowStart == 0) return time;
  }
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
  outputStride = 0;
  videoInfo.bmiHeader.biBitCount = known != nullptr ? known->bitCount : 0;
  videoInfo.bmiHeader.biSizeImage = ImageSize(videoInfo.bmiHeader.biBitCount, videoInfo.bmiHeader.biCompression,
                                              videoInfo.bmiHeader.biWidth, videoInfo.bmiHeader.biHeight);
  mediaType.subtype = *subtype;
}

LONG CQTVideoExtraction::SetOutputStride(LONG pixels) {
  if (pixels == 0) {
    outputStride = 0;
    return 0;
  }
  if (pixels < videoInfo.bmiHeader.biWidth) return -1;
  // Row offsets in the buffer stay within 32 bits.
  if (static_cast<LONGLONG>(pixels) * 4 * (Abs(videoInfo.bmiHeader.biHeight) + 1) > 0x7fffffff) return -1;
  if (IsPlanar420(videoInfo.bmiHeader.biCompression) && pixels % 2 != 0) return -1;
  outputStride = pixels;
  return 0;
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
  readFault.store(0);
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
  if (!DeferringPictures() || ICMSequenceGetInfo(sequence, kICMSequencePendingFrameLimit, &limit) != noErr) limit = 0;
  pendingLimit = limit < 0 ? 0 : limit > static_cast<SInt32>(DecodeAhead::kMaxDepth) ? DecodeAhead::kMaxDepth : limit;
  const LONG behindFront = static_cast<LONG>(FrameQueue::kCapacity) - 1;
  decodeAhead.SetDepth(pendingLimit > behindFront ? static_cast<size_t>(pendingLimit - behindFront) : 0);
  runOpen = false;
  SInt32 keeps = 0;
  keepPictures =
      pendingLimit > 0 && ICMSequenceGetInfo(sequence, kICMSequenceKeepsPictures, &keeps) == noErr && keeps == 1;
  if (keepPictures) TraceW2(TEXT("Video pictures kept by the runtime until delivered"));
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
  // Kept pictures wait in the runtime: a block is then only its record.
  if (keepPictures) pixelBytes = 1;
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
  if (frame == nullptr) {
    const LONG fault = readFault.load();
    return fault != 0 ? fault : -1;
  }
  PlaneLayout layout{};
  LONG bottomUp = 0;
  BYTE *grabbed = nullptr;
  LONG frameLength = 0;
  bool delivered = false;
  while (frame->keptRef != 0) {
    if ((delivered = DeliverKept(*frame, buffer, *size, &layout, &bottomUp, &grabbed, &frameLength))) break;
    // Its picture could not be drawn: the sample is skipped.
    framePool->Release(frameQueue.PopFront());
    FillFrameQueue();
    if ((frame = ReadyFront()) == nullptr) return -1;
  }
  if (!delivered) frameLength = CopyFrame(*frame, buffer, *size, &layout, &bottomUp, &grabbed);
  // A sample's decode duration runs to the next sample's decode time. With
  // frames reordered for display it can reach past frames shown after this
  // one (a pause in a stream with B-frames lands on whichever sample decodes
  // before it), and a stream stops at a frame whose end passes its stop:
  // a frame lasts at most until the next one queued is shown.
  if (const DecodedFrame *next = frameQueue.At(1); next != nullptr) {
    const LONGLONG shownFor = next->presentationTime - frame->presentationTime;
    if (shownFor > 0 && shownFor < frame->frameDuration) frame->frameDuration = shownFor;
  }
  *start = frame->presentationTime;
  *duration = frame->frameDuration;
  if (sampleGrabber != nullptr && timeScale > 0) HandToGrabber(*frame, grabbed, frameLength, &layout, bottomUp);
  framePool->Release(frameQueue.PopFront());
  return 0;
}
