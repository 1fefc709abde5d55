#include "Dispatcher.h"

#include <algorithm>
#include <array>
#include <iterator>

#include <QuickTime/QTML.h>
#include <QuickTime/QTSelectors.h>

#include "GWorld.h"
#include "ImageCompression.h"
#include "MemoryManager.h"
#include "MovieAudioExtraction.h"
#include "MovieToolbox.h"
#include "Qtml.h"
#include "SoundConverter.h"

namespace tp::qt {
namespace {

using Handler = intptr_t (*)(va_list args);

// Arguments narrower than int travel as int; these read them back.
SInt16 ArgShort(va_list args) { return SInt16(va_arg(args, int)); }
SInt32 ArgLong(va_list args) { return SInt32(va_arg(args, int)); }
UInt32 ArgULong(va_list args) { return UInt32(va_arg(args, unsigned int)); }
template <typename T>
T *ArgPtr(va_list args) {
  return va_arg(args, T *);
}

intptr_t Err(OSErr e) { return intptr_t(e); }
intptr_t AsPtr(const void *p) { return reinterpret_cast<intptr_t>(p); }
MovieToolbox &Toolbox() { return MovieToolbox::Instance(); }
MemoryManager &Memory() { return MemoryManager::Instance(); }

// --- QTML ---
intptr_t DoInitializeQTML(va_list a) { return Err(QtmlInitialize(ArgLong(a))); }
intptr_t DoTerminateQTML(va_list) {
  QtmlTerminate();
  return 0;
}
intptr_t DoIsQTMLInitialized(va_list) { return QtmlIsInitialized() ? 1 : 0; }
intptr_t DoNativePathNameToFSSpec(va_list a) {
  char *path = ArgPtr<char>(a);
  FSSpec *spec = ArgPtr<FSSpec>(a);
  SInt32 flags = ArgLong(a);
  return Err(NativePathToFSSpec(path, spec, flags));
}

// --- Movie Toolbox ---
intptr_t DoEnterMovies(va_list) { return Err(Toolbox().EnterMovies()); }
intptr_t DoExitMovies(va_list) {
  Toolbox().ExitMovies();
  return 0;
}
intptr_t DoGetMoviesError(va_list) { return Err(LastMoviesError()); }
intptr_t DoOpenMovieFile(va_list a) {
  const FSSpec *spec = ArgPtr<const FSSpec>(a);
  SInt16 *ref = ArgPtr<SInt16>(a);
  int permission = va_arg(a, int);
  return Err(Toolbox().OpenMovieFile(spec, ref, permission));
}
intptr_t DoCloseMovieFile(va_list a) { return Err(Toolbox().CloseMovieFile(ArgShort(a))); }
intptr_t DoNewMovieFromFile(va_list a) {
  ::Movie *movie = ArgPtr<::Movie>(a);
  SInt16 ref = ArgShort(a);
  SInt16 *resId = ArgPtr<SInt16>(a);
  (void)ArgPtr<unsigned char>(a);  // resource name: movies here have none
  (void)ArgShort(a);               // flags: every movie is active
  Boolean *changed = ArgPtr<Boolean>(a);
  return Err(Toolbox().NewMovieFromFile(movie, ref, resId, changed));
}
intptr_t DoDisposeMovie(va_list a) {
  Toolbox().DisposeMovie(va_arg(a, ::Movie));
  return 0;
}
intptr_t DoGetMovieTimeScale(va_list a) { return Toolbox().GetMovieTimeScale(va_arg(a, ::Movie)); }
intptr_t DoGetMovieDuration(va_list a) { return Toolbox().GetMovieDuration(va_arg(a, ::Movie)); }
intptr_t DoGetMovieTrackCount(va_list a) { return Toolbox().GetMovieTrackCount(va_arg(a, ::Movie)); }
intptr_t DoGetMovieIndTrack(va_list a) {
  ::Movie m = va_arg(a, ::Movie);
  SInt32 index = ArgLong(a);
  return AsPtr(Toolbox().GetMovieIndTrack(m, index));
}
intptr_t DoGetTrackMedia(va_list a) { return AsPtr(Toolbox().GetTrackMedia(va_arg(a, ::Track))); }
intptr_t DoGetMediaTimeScale(va_list a) { return Toolbox().GetMediaTimeScale(va_arg(a, ::Media)); }
intptr_t DoGetMediaDuration(va_list a) { return Toolbox().GetMediaDuration(va_arg(a, ::Media)); }
intptr_t DoGetMediaHandlerDescription(va_list a) {
  ::Media m = va_arg(a, ::Media);
  OSType *type = ArgPtr<OSType>(a);
  unsigned char *name = ArgPtr<unsigned char>(a);
  OSType *maker = ArgPtr<OSType>(a);
  Toolbox().GetMediaHandlerDescription(m, type, name, maker);
  return 0;
}
intptr_t DoGetMediaSampleDescription(va_list a) {
  ::Media m = va_arg(a, ::Media);
  SInt32 index = ArgLong(a);
  SampleDescriptionHandle h = va_arg(a, SampleDescriptionHandle);
  Toolbox().GetMediaSampleDescription(m, index, h);
  return 0;
}
intptr_t DoGetMovieNextInterestingTime(va_list a) {
  ::Movie m = va_arg(a, ::Movie);
  int flags = ArgShort(a);
  int numTypes = ArgShort(a);
  const OSType *types = ArgPtr<const OSType>(a);
  TimeValue time = ArgLong(a);
  Fixed rate = ArgLong(a);
  TimeValue *outTime = ArgPtr<TimeValue>(a);
  TimeValue *outDuration = ArgPtr<TimeValue>(a);
  Toolbox().GetMovieNextInterestingTime(m, flags, numTypes, types, time, rate, outTime, outDuration);
  return 0;
}
intptr_t DoGetMediaTrack(va_list a) { return AsPtr(Toolbox().GetMediaTrack(va_arg(a, ::Media))); }
intptr_t DoGetTrackNextInterestingTime(va_list a) {
  ::Track t = va_arg(a, ::Track);
  int flags = ArgShort(a);
  TimeValue time = ArgLong(a);
  Fixed rate = ArgLong(a);
  TimeValue *outTime = ArgPtr<TimeValue>(a);
  TimeValue *outDuration = ArgPtr<TimeValue>(a);
  Toolbox().GetTrackNextInterestingTime(t, flags, time, rate, outTime, outDuration);
  return 0;
}
intptr_t DoTrackTimeToMediaTime(va_list a) {
  TimeValue value = ArgLong(a);
  ::Track t = va_arg(a, ::Track);
  return Toolbox().TrackTimeToMediaTime(value, t);
}
intptr_t DoGetMediaSample(va_list a) {
  ::Media m = va_arg(a, ::Media);
  Handle data = va_arg(a, Handle);
  SInt32 maxSize = ArgLong(a);
  SInt32 *size = ArgPtr<SInt32>(a);
  TimeValue time = ArgLong(a);
  TimeValue *sampleTime = ArgPtr<TimeValue>(a);
  TimeValue *durationPerSample = ArgPtr<TimeValue>(a);
  SampleDescriptionHandle desc = va_arg(a, SampleDescriptionHandle);
  SInt32 *descIndex = ArgPtr<SInt32>(a);
  SInt32 maxCount = ArgLong(a);
  SInt32 *count = ArgPtr<SInt32>(a);
  SInt16 *flags = ArgPtr<SInt16>(a);
  return Err(Toolbox().GetMediaSample(m, data, maxSize, size, time, sampleTime, durationPerSample, desc, descIndex,
                                      maxCount, count, flags));
}
// Every argument comes by address, after the address of the result slot.
intptr_t DoGetMediaSample2(va_list a) {
  OSErr *result = ArgPtr<OSErr>(a);
  ::Media *media = ArgPtr<::Media>(a);
  UInt8 **dataOut = ArgPtr<UInt8 *>(a);
  ByteCount *maxDataSize = ArgPtr<ByteCount>(a);
  ByteCount **size = ArgPtr<ByteCount *>(a);
  TimeValue64 *decodeTime = ArgPtr<TimeValue64>(a);
  TimeValue64 **sampleDecodeTime = ArgPtr<TimeValue64 *>(a);
  TimeValue64 **durationPerSample = ArgPtr<TimeValue64 *>(a);
  TimeValue64 **displayOffset = ArgPtr<TimeValue64 *>(a);
  SampleDescriptionHandle *desc = ArgPtr<SampleDescriptionHandle>(a);
  ItemCount **descIndex = ArgPtr<ItemCount *>(a);
  ItemCount *maxCount = ArgPtr<ItemCount>(a);
  ItemCount **count = ArgPtr<ItemCount *>(a);
  MediaSampleFlags **flags = ArgPtr<MediaSampleFlags *>(a);
  OSErr err;
  if (!media || !dataOut || !maxDataSize || !size || !decodeTime || !sampleDecodeTime || !durationPerSample ||
      !displayOffset || !desc || !descIndex || !maxCount || !count || !flags) {
    err = paramErr;
  } else {
    err = Toolbox().GetMediaSample2(*media, *dataOut, *maxDataSize, *size, *decodeTime, *sampleDecodeTime,
                                    *durationPerSample, *displayOffset, *desc, *descIndex, *maxCount, *count, *flags);
  }
  if (result) *result = err;
  return Err(err);
}
intptr_t DoGetSoundDescriptionExtension(va_list a) {
  SoundDescriptionHandle desc = va_arg(a, SoundDescriptionHandle);
  Handle *extension = ArgPtr<Handle>(a);
  OSType type = ArgULong(a);
  return Err(Toolbox().GetSoundDescriptionExtension(desc, extension, type));
}

// --- Memory Manager ---
intptr_t DoMemError(va_list) { return Err(LastMemError()); }
intptr_t DoNewHandle(va_list a) { return AsPtr(Memory().NewHandle(ArgLong(a))); }
intptr_t DoDisposeHandle(va_list a) {
  Memory().DisposeHandle(va_arg(a, Handle));
  return 0;
}
intptr_t DoGetHandleSize(va_list a) { return Memory().GetHandleSize(va_arg(a, Handle)); }
intptr_t DoHLock(va_list a) {
  Memory().HLock(va_arg(a, Handle));
  return 0;
}
intptr_t DoHUnlock(va_list a) {
  Memory().HUnlock(va_arg(a, Handle));
  return 0;
}
intptr_t DoNewPtr(va_list a) { return AsPtr(Memory().NewPtr(ArgLong(a))); }
intptr_t DoDisposePtr(va_list a) {
  Memory().DisposePtr(va_arg(a, ::Ptr));
  return 0;
}
intptr_t DoBlockMoveData(va_list a) {
  const void *src = ArgPtr<const void>(a);
  void *dst = ArgPtr<void>(a);
  SInt32 n = ArgLong(a);
  Memory().BlockMoveData(src, dst, n);
  return 0;
}

// --- Image decompression and graphics worlds ---
intptr_t DoDecompressSequenceBeginS(va_list a) {
  ImageSequence *seqID = ArgPtr<ImageSequence>(a);
  ImageDescriptionHandle desc = va_arg(a, ImageDescriptionHandle);
  ::Ptr data = ArgPtr<char>(a);
  SInt32 dataSize = ArgLong(a);
  CGrafPtr port = va_arg(a, CGrafPtr);
  // The device, source rectangle, matrix, mode, mask, flags, accuracy and
  // codec that follow change nothing here.
  return Err(qt::DecompressSequenceBeginS(seqID, desc, data, dataSize, port));
}
intptr_t DoDecompressSequenceFrameWhen(va_list a) {
  ImageSequence seq = ArgLong(a);
  ::Ptr data = ArgPtr<char>(a);
  SInt32 dataSize = ArgLong(a);
  const CodecFlags inFlags = CodecFlags(va_arg(a, int));
  CodecFlags *outFlags = ArgPtr<CodecFlags>(a);
  return Err(qt::DecompressSequenceFrameWhen(seq, data, dataSize, inFlags, outFlags));
}
intptr_t DoCDSequenceEnd(va_list a) { return Err(qt::CDSequenceEnd(ArgLong(a))); }
intptr_t DoQTNewGWorld(va_list a) {
  GWorldPtr *world = ArgPtr<GWorldPtr>(a);
  OSType format = ArgULong(a);
  const Rect *bounds = ArgPtr<const Rect>(a);
  return Err(qt::QTNewGWorld(world, format, bounds));
}
intptr_t DoQTGetPixMapHandleRowBytes(va_list a) { return qt::QTGetPixMapHandleRowBytes(va_arg(a, PixMapHandle)); }
intptr_t DoNewGWorldFromHBITMAP(va_list a) {
  GWorldPtr *world = ArgPtr<GWorldPtr>(a);
  (void)va_arg(a, CTabHandle);
  (void)va_arg(a, GDHandle);
  (void)ArgULong(a);  // flags
  void *bitmap = ArgPtr<void>(a);
  return Err(qt::NewGWorldFromHBITMAP(world, bitmap));
}
intptr_t DoLockPixels(va_list a) { return qt::LockPixels(va_arg(a, PixMapHandle)) ? 1 : 0; }
intptr_t DoUnlockPixels(va_list a) {
  qt::UnlockPixels(va_arg(a, PixMapHandle));
  return 0;
}
intptr_t DoDisposeGWorld(va_list a) {
  qt::DisposeGWorld(va_arg(a, GWorldPtr));
  return 0;
}
intptr_t DoGetPixBaseAddr(va_list a) { return AsPtr(qt::GetPixBaseAddr(va_arg(a, PixMapHandle))); }
intptr_t DoGetGWorldPixMap(va_list a) { return AsPtr(qt::GetGWorldPixMap(va_arg(a, GWorldPtr))); }

// --- Movie Audio Extraction ---
intptr_t DoMovieAudioExtractionBegin(va_list a) {
  ::Movie m = va_arg(a, ::Movie);
  UInt32 flags = ArgULong(a);
  MovieAudioExtractionRef *out = ArgPtr<MovieAudioExtractionRef>(a);
  return Err(OSErr(MaeBegin(m, flags, out)));
}
intptr_t DoMovieAudioExtractionEnd(va_list a) { return Err(OSErr(MaeEnd(va_arg(a, MovieAudioExtractionRef)))); }
intptr_t DoMovieAudioExtractionFillBuffer(va_list a) {
  MovieAudioExtractionRef session = va_arg(a, MovieAudioExtractionRef);
  UInt32 *frames = ArgPtr<UInt32>(a);
  AudioBufferList *data = ArgPtr<AudioBufferList>(a);
  UInt32 *flags = ArgPtr<UInt32>(a);
  return Err(OSErr(MaeFillBuffer(session, frames, data, flags)));
}
intptr_t DoMovieAudioExtractionGetPropertyInfo(va_list a) {
  MovieAudioExtractionRef session = va_arg(a, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  QTPropertyValueType *type = ArgPtr<QTPropertyValueType>(a);
  ByteCount *size = ArgPtr<ByteCount>(a);
  UInt32 *flags = ArgPtr<UInt32>(a);
  return Err(OSErr(MaeGetPropertyInfo(session, cls, id, type, size, flags)));
}
intptr_t DoMovieAudioExtractionGetProperty(va_list a) {
  MovieAudioExtractionRef session = va_arg(a, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  ByteCount size = va_arg(a, ByteCount);
  QTPropertyValuePtr value = ArgPtr<void>(a);
  ByteCount *used = ArgPtr<ByteCount>(a);
  return Err(OSErr(MaeGetProperty(session, cls, id, size, value, used)));
}
intptr_t DoMovieAudioExtractionSetProperty(va_list a) {
  MovieAudioExtractionRef session = va_arg(a, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  ByteCount size = va_arg(a, ByteCount);
  ConstQTPropertyValuePtr value = ArgPtr<const void>(a);
  return Err(OSErr(MaeSetProperty(session, cls, id, size, value)));
}

// --- Sound Converter ---
intptr_t DoSoundConverterOpen(va_list a) {
  const SoundComponentData *in = ArgPtr<const SoundComponentData>(a);
  const SoundComponentData *out = ArgPtr<const SoundComponentData>(a);
  SoundConverter *sc = ArgPtr<SoundConverter>(a);
  return Err(ScOpen(in, out, sc));
}
intptr_t DoSoundConverterClose(va_list a) { return Err(ScClose(va_arg(a, SoundConverter))); }
intptr_t DoSoundConverterGetBufferSizes(va_list a) {
  SoundConverter sc = va_arg(a, SoundConverter);
  UInt32 target = ArgULong(a);
  UInt32 *frames = ArgPtr<UInt32>(a);
  UInt32 *inBytes = ArgPtr<UInt32>(a);
  UInt32 *outBytes = ArgPtr<UInt32>(a);
  return Err(ScGetBufferSizes(sc, target, frames, inBytes, outBytes));
}
intptr_t DoSoundConverterBeginConversion(va_list a) { return Err(ScBeginConversion(va_arg(a, SoundConverter))); }
intptr_t DoSoundConverterEndConversion(va_list a) {
  SoundConverter sc = va_arg(a, SoundConverter);
  void *out = ArgPtr<void>(a);
  UInt32 *frames = ArgPtr<UInt32>(a);
  UInt32 *bytes = ArgPtr<UInt32>(a);
  return Err(ScEndConversion(sc, out, frames, bytes));
}
intptr_t DoSoundConverterGetInfo(va_list a) {
  SoundConverter sc = va_arg(a, SoundConverter);
  OSType selector = ArgULong(a);
  void *info = ArgPtr<void>(a);
  return Err(ScGetInfo(sc, selector, info));
}
intptr_t DoSoundConverterSetInfo(va_list a) {
  SoundConverter sc = va_arg(a, SoundConverter);
  OSType selector = ArgULong(a);
  void *info = ArgPtr<void>(a);
  return Err(ScSetInfo(sc, selector, info));
}
intptr_t DoSoundConverterFillBuffer(va_list a) {
  SoundConverter sc = va_arg(a, SoundConverter);
  SoundConverterFillBufferDataUPP proc = va_arg(a, SoundConverterFillBufferDataUPP);
  void *refCon = ArgPtr<void>(a);
  void *out = ArgPtr<void>(a);
  UInt32 size = ArgULong(a);
  UInt32 *bytes = ArgPtr<UInt32>(a);
  UInt32 *frames = ArgPtr<UInt32>(a);
  UInt32 *flags = ArgPtr<UInt32>(a);
  return Err(ScFillBuffer(sc, proc, refCon, out, size, bytes, frames, flags));
}

struct Entry {
  uint32_t selector;
  Handler handler;
};

// Sorted by selector for a binary search.
constexpr Entry kTable[] = {
    {kQTSelEnterMovies, DoEnterMovies},
    {kQTSelExitMovies, DoExitMovies},
    {kQTSelGetMoviesError, DoGetMoviesError},
    {kQTSelDisposeMovie, DoDisposeMovie},
    {kQTSelGetMovieTimeScale, DoGetMovieTimeScale},
    {kQTSelGetMovieDuration, DoGetMovieDuration},
    {kQTSelGetMovieTrackCount, DoGetMovieTrackCount},
    {kQTSelGetTrackMedia, DoGetTrackMedia},
    {kQTSelGetMediaTimeScale, DoGetMediaTimeScale},
    {kQTSelGetMediaDuration, DoGetMediaDuration},
    {kQTSelGetMediaHandlerDescription, DoGetMediaHandlerDescription},
    {kQTSelGetMediaSampleDescription, DoGetMediaSampleDescription},
    {kQTSelGetMediaSample, DoGetMediaSample},
    {kQTSelTrackTimeToMediaTime, DoTrackTimeToMediaTime},
    {kQTSelGetMediaTrack, DoGetMediaTrack},
    {kQTSelCloseMovieFile, DoCloseMovieFile},
    {kQTSelGetTrackNextInterestingTime, DoGetTrackNextInterestingTime},
    {kQTSelNewMovieFromFile, DoNewMovieFromFile},
    {kQTSelGetMovieNextInterestingTime, DoGetMovieNextInterestingTime},
    {kQTSelGetMovieIndTrack, DoGetMovieIndTrack},
    {kQTSelOpenMovieFile, DoOpenMovieFile},
    {kQTSelGetSoundDescriptionExtension, DoGetSoundDescriptionExtension},
    {kQTSelGetMediaSample2, DoGetMediaSample2},
    {kQTSelMovieAudioExtractionBegin, DoMovieAudioExtractionBegin},
    {kQTSelMovieAudioExtractionEnd, DoMovieAudioExtractionEnd},
    {kQTSelMovieAudioExtractionFillBuffer, DoMovieAudioExtractionFillBuffer},
    {kQTSelMovieAudioExtractionGetPropertyInfo, DoMovieAudioExtractionGetPropertyInfo},
    {kQTSelMovieAudioExtractionGetProperty, DoMovieAudioExtractionGetProperty},
    {kQTSelMovieAudioExtractionSetProperty, DoMovieAudioExtractionSetProperty},
    {kQTSelCDSequenceEnd, DoCDSequenceEnd},
    {kQTSelDecompressSequenceBeginS, DoDecompressSequenceBeginS},
    {kQTSelDecompressSequenceFrameWhen, DoDecompressSequenceFrameWhen},
    {kQTSelQTNewGWorld, DoQTNewGWorld},
    {kQTSelQTGetPixMapHandleRowBytes, DoQTGetPixMapHandleRowBytes},
    {kQTSelMemError, DoMemError},
    {kQTSelNewHandle, DoNewHandle},
    {kQTSelNewPtr, DoNewPtr},
    {kQTSelHLock, DoHLock},
    {kQTSelHUnlock, DoHUnlock},
    {kQTSelHLockHi, DoHLock},  // blocks never move while locked, so "high" changes nothing
    {kQTSelDisposePtr, DoDisposePtr},
    {kQTSelDisposeHandle, DoDisposeHandle},
    {kQTSelGetHandleSize, DoGetHandleSize},
    {kQTSelBlockMoveData, DoBlockMoveData},
    {kQTSelNewGWorldFromHBITMAP, DoNewGWorldFromHBITMAP},
    {kQTSelLockPixels, DoLockPixels},
    {kQTSelUnlockPixels, DoUnlockPixels},
    {kQTSelDisposeGWorld, DoDisposeGWorld},
    {kQTSelGetPixBaseAddr, DoGetPixBaseAddr},
    {kQTSelGetGWorldPixMap, DoGetGWorldPixMap},
    {kQTSelInitializeQTML, DoInitializeQTML},
    {kQTSelTerminateQTML, DoTerminateQTML},
    {kQTSelNativePathNameToFSSpec, DoNativePathNameToFSSpec},
    {kQTSelIsQTMLInitialized, DoIsQTMLInitialized},
    {kQTSelSoundConverterOpen, DoSoundConverterOpen},
    {kQTSelSoundConverterClose, DoSoundConverterClose},
    {kQTSelSoundConverterGetBufferSizes, DoSoundConverterGetBufferSizes},
    {kQTSelSoundConverterBeginConversion, DoSoundConverterBeginConversion},
    {kQTSelSoundConverterEndConversion, DoSoundConverterEndConversion},
    {kQTSelSoundConverterGetInfo, DoSoundConverterGetInfo},
    {kQTSelSoundConverterSetInfo, DoSoundConverterSetInfo},
    {kQTSelSoundConverterFillBuffer, DoSoundConverterFillBuffer},
};

constexpr bool TableSorted() {
  for (size_t i = 1; i < std::size(kTable); ++i)
    if (kTable[i - 1].selector >= kTable[i].selector) return false;
  return true;
}
static_assert(TableSorted(), "the selector table must be sorted and free of duplicates");

const Entry *Lookup(uint32_t selector) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), selector,
                             [](const Entry &e, uint32_t s) { return e.selector < s; });
  return it != std::end(kTable) && it->selector == selector ? it : nullptr;
}

}  // namespace

intptr_t Dispatch(uint32_t selector, va_list args) {
  const Entry *e = Lookup(selector);
  return e ? e->handler(args) : Err(unimpErr);
}

intptr_t DispatchCall(uint32_t selector, ...) {
  va_list args;
  va_start(args, selector);
  intptr_t r = Dispatch(selector, args);
  va_end(args);
  return r;
}

bool IsSelectorImplemented(uint32_t selector) { return Lookup(selector) != nullptr; }

}  // namespace tp::qt
