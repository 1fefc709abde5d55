#include "engine/CQTAudioExtraction.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

constexpr LONG kOutOfMemory = -108;  // memFullErr
constexpr UInt32 kStereoDescriptions = 2;
// A stereo layout with two descriptions: the 12-byte head, then 2 x 20 bytes.
constexpr size_t kStereoLayoutBytes =
    offsetof(AudioChannelLayout, mChannelDescriptions) + kStereoDescriptions * sizeof(AudioChannelDescription);
static_assert(kStereoLayoutBytes == 52);

}  // namespace

CQTAudioExtraction::CQTAudioExtraction(Movie theMovie) : CQTMediaExtraction(theMovie) {
  media = CQTAVExtraction::FindMediaOfType(theMovie, SoundMediaType);
  const OSErr err = GetMoviesError();
  if (err != noErr || media == nullptr) {
    TraceW8(TEXT("QTGetMedia failed(%d)\n"), static_cast<int>(err));
    return;
  }
  timeScale = GetMovieTimeScale(theMovie);
  duration = GetMovieDuration(theMovie);
  ExtractionBegin();
}

CQTAudioExtraction::~CQTAudioExtraction() { ExtractionEnd(); }

LONG CQTAudioExtraction::ExtractionBegin() {
  if (media == nullptr) return -1;
  // A second begin replaces the running session rather than leaking it.
  ExtractionEnd();
  OSStatus err = MovieAudioExtractionBegin(movie, 0, &extraction);
  if (err != noErr || extraction == nullptr) {
    TraceW8(TEXT("MovieAudioExtractionBegin failed(%d)"), static_cast<int>(err));
    extraction = nullptr;
    return -1;
  }

  ByteCount layoutSize = 0;
  err = MovieAudioExtractionGetPropertyInfo(extraction, kQTPropertyClass_MovieAudioExtraction_Audio,
                                            kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, nullptr,
                                            &layoutSize, nullptr);
  if (err != noErr) {
    TraceW8(TEXT("MovieAudioExtractionGetPropertyInfo failed"));
    return err;
  }
  // Room for at least the two descriptions read below, whatever the track says.
  const size_t trackLayoutBytes = layoutSize > kStereoLayoutBytes ? layoutSize : kStereoLayoutBytes;
  auto *trackLayout = static_cast<AudioChannelLayout *>(std::calloc(1, trackLayoutBytes));
  if (trackLayout == nullptr) {
    TraceW8(TEXT("Alloc AudioChannelLayout failed"));
    return kOutOfMemory;
  }
  err = MovieAudioExtractionGetProperty(extraction, kQTPropertyClass_MovieAudioExtraction_Audio,
                                        kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, layoutSize,
                                        trackLayout, nullptr);
  if (err != noErr) {
    TraceW8(TEXT("MovieAudioExtractionGetProperty GetAudioChannelLayout failed(%d)"), static_cast<int>(err));
    std::free(trackLayout);
    return err;
  }
  AudioStreamBasicDescription asbd{};
  err = MovieAudioExtractionGetProperty(extraction, kQTPropertyClass_MovieAudioExtraction_Audio,
                                        kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription,
                                        sizeof(asbd), &asbd, nullptr);
  if (err != noErr) {
    TraceW8(TEXT("MovieAudioExtractionGetProperty AudioStreamBasicDescription failed(%d)"), static_cast<int>(err));
    std::free(trackLayout);
    return err;
  }

  auto *stereo = static_cast<AudioChannelLayout *>(std::calloc(1, kStereoLayoutBytes));
  if (stereo == nullptr) {
    TraceW8(TEXT("Can't allocate memory for AudioChannelLayout"));
    std::free(trackLayout);
    return kOutOfMemory;
  }
  stereo->mChannelLayoutTag = kAudioChannelLayoutTag_Stereo;
  stereo->mChannelBitmap = 0;
  stereo->mNumberChannelDescriptions = kStereoDescriptions;
  // Descriptions the track does not have stay zero (label unknown).
  const UInt32 trackDescriptions =
      (layoutSize - offsetof(AudioChannelLayout, mChannelDescriptions)) / sizeof(AudioChannelDescription);
  for (UInt32 i = 0; i < kStereoDescriptions; ++i) {
    if (layoutSize < offsetof(AudioChannelLayout, mChannelDescriptions) || i >= trackDescriptions) break;
    stereo->mChannelDescriptions[i].mChannelLabel = trackLayout->mChannelDescriptions[i].mChannelLabel;
    stereo->mChannelDescriptions[i].mChannelFlags = trackLayout->mChannelDescriptions[i].mChannelFlags;
  }
  std::free(trackLayout);
  err = MovieAudioExtractionSetProperty(extraction, kQTPropertyClass_MovieAudioExtraction_Audio,
                                        kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, kStereoLayoutBytes,
                                        stereo);
  std::free(stereo);
  if (err != noErr) {
    TraceW8(TEXT("Set Aduio Channel layout failed(%d)"), static_cast<int>(err));
    return err;
  }

  asbd.mChannelsPerFrame = kStereoDescriptions;
  asbd.mBytesPerFrame = 4;
  asbd.mBytesPerPacket = 4;
  asbd.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  asbd.mBitsPerChannel = 16;
  err = MovieAudioExtractionSetProperty(extraction, kQTPropertyClass_MovieAudioExtraction_Audio,
                                        kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription,
                                        sizeof(asbd), &asbd);
  if (err != noErr) {
    TraceW8(TEXT("Set ASBD failed(%d)"), static_cast<int>(err));
    return err;
  }

  // A rate the runtime cannot mean (none, negative, absurd) would make a
  // buffer of nothing or of gigabytes; refuse it.
  if (!(asbd.mSampleRate >= 20.0 && asbd.mSampleRate <= 1.0e6)) {
    TraceW8(TEXT("MovieAudioExtraction sample rate unusable(%d)"), static_cast<int>(asbd.mSampleRate));
    return -1;
  }
  const DWORD rate = static_cast<DWORD>(asbd.mSampleRate);
  // The rate the runtime delivers frames at, for the blocks' times.
  frameRate = static_cast<LONG>(std::llround(asbd.mSampleRate));
  outputFormat.wFormatTag = WAVE_FORMAT_PCM;
  outputFormat.nChannels = 2;
  outputFormat.nSamplesPerSec = rate;
  outputFormat.nBlockAlign = 4;
  outputFormat.wBitsPerSample = 16;
  outputFormat.cbSize = 0;
  outputFormat.nAvgBytesPerSec = 2 * 2 * rate;

  framesPerFill = static_cast<LONG>(asbd.mSampleRate / 20.0);
  bufferBytes = (static_cast<UInt32>(framesPerFill) * 4 + 15) & ~UInt32{15};
  // The data follow the list header directly; the header's size depends on
  // the pointer width, so it is taken from the record itself.
  auto *block = static_cast<BYTE *>(std::calloc(1, sizeof(AudioBufferList) + bufferBytes));
  if (block == nullptr) {
    TraceW8(TEXT("Allocate audio buffer list failed"));
    return kOutOfMemory;
  }
  bufferList = reinterpret_cast<AudioBufferList *>(block);
  bufferData = block + sizeof(AudioBufferList);
  bufferList->mNumberBuffers = 1;
  bufferList->mBuffers[0].mNumberChannels = 2;
  bufferList->mBuffers[0].mDataByteSize = bufferBytes;
  bufferList->mBuffers[0].mData = bufferData;

  position = 0;
  RestartCount(0);
  SetExtractionTime(0);
  endOfStream = 0;
  return 0;
}

void CQTAudioExtraction::RestartCount(LONGLONG time) {
  countBase = time;
  framesCounted = 0;
}

LONG CQTAudioExtraction::GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *length) {
  if (buffer == nullptr || size == nullptr || *size <= 0 || extraction == nullptr || bufferList == nullptr) return -1;
  if (endOfStream != 0) {
    ExtractionEnd();
    ExtractionBegin();
    return -1;
  }
  // The runtime writes back the bytes it filled: give it the whole buffer
  // again every time.
  bufferList->mBuffers[0].mDataByteSize = bufferBytes;
  bufferList->mBuffers[0].mData = bufferData;
  UInt32 frames = static_cast<UInt32>(framesPerFill);
  UInt32 flags = 0;
  const OSStatus err = MovieAudioExtractionFillBuffer(extraction, &frames, bufferList, &flags);
  if (err != noErr) {
    TraceW8(TEXT("MovieAudioExtractionFillBuffer failed(%d)"), static_cast<int>(err));
    lastFillError = err;
    // The movie's data could not be read: not the end of the sound.
    return err == ioErr || err == eofErr ? static_cast<LONG>(err) : -1;
  }
  // Only bytes the runtime wrote are handed out: a fill of no frames is an
  // empty block, not the previous fill's data again.
  UInt32 filled = bufferList->mBuffers[0].mDataByteSize;
  if (filled > bufferBytes) filled = bufferBytes;
  if (frames == 0) filled = 0;
  const UInt32 capacity = static_cast<UInt32>(*size);
  const UInt32 n = filled < capacity ? filled : capacity;
  if (n > 0) std::memcpy(buffer, bufferData, n);
  const bool complete = (flags & kQTMovieAudioExtractionComplete) != 0;
  if (complete) endOfStream = 1;

  // A block lasts what it holds: its start and its end come from the frames
  // counted since the last seek, each converted on its own, so no rounding
  // accumulates and one block ends where the next begins. Frames the
  // runtime moved past but the caller had no room for leave a gap.
  const LONGLONG before = framesCounted;
  const LONGLONG held = static_cast<LONGLONG>(n / 4);
  framesCounted += frames < filled / 4 ? frames : filled / 4;
  const LONGLONG blockStart = countBase + ScaleRounded(before, timeScale, frameRate);
  LONGLONG blockEnd = countBase + ScaleRounded(before + held, timeScale, frameRate);
  // The runtime completes at the movie's end: the last block ends there.
  if (complete && held == framesCounted - before && static_cast<LONGLONG>(duration) >= blockStart) {
    blockEnd = duration;
  }
  position = blockEnd;
  if (start != nullptr) *start = blockStart;
  if (length != nullptr) *length = blockEnd - blockStart;
  *size = static_cast<LONG>(n);
  if (sampleGrabber != nullptr) HandToGrabber(static_cast<LONG>(n), blockStart, blockEnd - blockStart);
  return 0;
}

void CQTAudioExtraction::HandToGrabber(LONG bytes, LONGLONG start, LONGLONG length) {
  HandPcmToGrabber(sampleGrabber, TEXT("CQTAudioExtraction"), outputFormat, bufferData, bytes, start, length);
}

OSErr CQTAudioExtraction::SetExtractionTime(LONGLONG time) {
  if (extraction == nullptr) return -1;
  TimeRecord record{};
  // The whole 64-bit time: a long movie at a fine time scale passes 2^32.
  record.value.lo = static_cast<UInt32>(static_cast<ULONGLONG>(time) & 0xFFFFFFFFu);
  record.value.hi = static_cast<SInt32>(time >> 32);
  record.scale = timeScale;
  record.base = nullptr;
  const OSStatus err =
      MovieAudioExtractionSetProperty(extraction, kQTPropertyClass_MovieAudioExtraction_Movie,
                                      kQTMovieAudioExtractionMoviePropertyID_CurrentTime, sizeof(record), &record);
  if (err != noErr) TraceW8(TEXT("Set Audio Extraction time(%d)"), static_cast<int>(err));
  return static_cast<OSErr>(err);
}

LONG CQTAudioExtraction::ExtractionEnd() {
  LONG result = 0;
  if (extraction != nullptr) {
    const OSStatus err = MovieAudioExtractionEnd(extraction);
    if (err != noErr) TraceW8(TEXT("MovieAudioExtractionEnd failed(%d)"), static_cast<int>(err));
    result = err;
  }
  std::free(bufferList);
  bufferList = nullptr;
  bufferData = nullptr;
  bufferBytes = 0;
  extraction = nullptr;
  return result;
}

void CQTAudioExtraction::SetPosition(LONGLONG *time) {
  if (time == nullptr) return;
  SetExtractionTime(*time);
  position = *time;
  RestartCount(*time);
  // A seek after the last block plays from the new place instead of ending.
  endOfStream = 0;
}

LONG CQTAudioExtraction::FillMediaInfo(void *format, LONG size, const GUID *) {
  if (format == nullptr || size < static_cast<LONG>(sizeof(WAVEFORMATEX))) return -1;
  std::memcpy(format, &outputFormat, sizeof(WAVEFORMATEX));
  return 0;
}

LONG CQTAudioExtraction::GetBufferSize() { return static_cast<LONG>(bufferBytes); }

LONG CQTAudioExtraction::SetSampleGrabber(IMediaSampleGrabber *grabber) {
  sampleGrabber = grabber;
  return 0;
}

LONG CQTAudioExtraction::ProbeExtraction() {
  if (bufferList == nullptr) return -1;
  const LONG scratchBytes = static_cast<LONG>(bufferBytes) * 2;
  BYTE *scratch = static_cast<BYTE *>(std::malloc(static_cast<size_t>(scratchBytes)));
  if (scratch == nullptr) return -1;
  // The probe's block is nobody's sample.
  IMediaSampleGrabber *grabber = sampleGrabber;
  sampleGrabber = nullptr;
  LONG size = scratchBytes;
  LONGLONG start = 0;
  LONGLONG length = 0;
  lastFillError = 0;
  LONG result = GetNextSample(scratch, &size, &start, &length);
  if (result < 0 && lastFillError == noCodecErr) result = noCodecErr;
  sampleGrabber = grabber;
  std::free(scratch);
  SetExtractionTime(0);
  position = 0;
  RestartCount(0);
  // A track shorter than one block completes in the probe; playback must
  // still deliver it.
  endOfStream = 0;
  return result;
}
