#include "toolbox/Dispatcher.h"

#include <algorithm>
#include <array>
#include <iterator>

#include <QuickTime/QTML.h>
#include <QuickTime/QTSelectors.h>

#include "pixels/GWorld.h"
#include "toolbox/ImageCompression.h"
#include "toolbox/MemoryManager.h"
#include "sound/MovieAudioExtraction.h"
#include "toolbox/MovieToolbox.h"
#include "toolbox/Qtml.h"
#include "sound/SoundConverter.h"

namespace tp::qt {
namespace {

// The arguments of one call. Handlers and the readers below share one
// va_list by reference: a va_list passed by value is a separate cursor on
// systems where it is a plain pointer (Windows), so reading through a copy
// would hand every later reader the same argument again.
struct Args {
  va_list list;
};
using Handler = intptr_t (*)(Args &args);

// Arguments narrower than int travel as int; these read them back.
SInt16 ArgShort(Args &args) { return SInt16(va_arg(args.list, int)); }
SInt32 ArgLong(Args &args) { return SInt32(va_arg(args.list, int)); }
UInt32 ArgULong(Args &args) { return UInt32(va_arg(args.list, unsigned int)); }
template <typename T>
T *ArgPtr(Args &args) {
  return va_arg(args.list, T *);
}

intptr_t Err(OSErr e) { return intptr_t(e); }
intptr_t AsPtr(const void *p) { return reinterpret_cast<intptr_t>(p); }
MovieToolbox &Toolbox() { return MovieToolbox::Instance(); }
MemoryManager &Memory() { return MemoryManager::Instance(); }

// --- QTML ---
intptr_t DoInitializeQTML(Args &a) { return Err(QtmlInitialize(ArgLong(a))); }
intptr_t DoTerminateQTML(Args &) {
  QtmlTerminate();
  return 0;
}
intptr_t DoIsQTMLInitialized(Args &) { return QtmlIsInitialized() ? 1 : 0; }
intptr_t DoNativePathNameToFSSpec(Args &a) {
  char *path = ArgPtr<char>(a);
  FSSpec *spec = ArgPtr<FSSpec>(a);
  SInt32 flags = ArgLong(a);
  return Err(NativePathToFSSpec(path, spec, flags));
}

// --- Movie Toolbox ---
intptr_t DoEnterMovies(Args &) { return Err(Toolbox().EnterMovies()); }
intptr_t DoExitMovies(Args &) {
  Toolbox().ExitMovies();
  return 0;
}
intptr_t DoGetMoviesError(Args &) { return Err(LastMoviesError()); }
intptr_t DoOpenMovieFile(Args &a) {
  const FSSpec *spec = ArgPtr<const FSSpec>(a);
  SInt16 *ref = ArgPtr<SInt16>(a);
  int permission = va_arg(a.list, int);
  return Err(Toolbox().OpenMovieFile(spec, ref, permission));
}
intptr_t DoCloseMovieFile(Args &a) { return Err(Toolbox().CloseMovieFile(ArgShort(a))); }
intptr_t DoNewMovieFromFile(Args &a) {
  ::Movie *movie = ArgPtr<::Movie>(a);
  SInt16 ref = ArgShort(a);
  SInt16 *resId = ArgPtr<SInt16>(a);
  (void)ArgPtr<unsigned char>(a);  // resource name: movies here have none
  (void)ArgShort(a);               // flags: every movie is active
  Boolean *changed = ArgPtr<Boolean>(a);
  return Err(Toolbox().NewMovieFromFile(movie, ref, resId, changed));
}
intptr_t DoDisposeMovie(Args &a) {
  Toolbox().DisposeMovie(va_arg(a.list, ::Movie));
  return 0;
}
intptr_t DoGetMovieTimeScale(Args &a) { return Toolbox().GetMovieTimeScale(va_arg(a.list, ::Movie)); }
intptr_t DoGetMovieDuration(Args &a) { return Toolbox().GetMovieDuration(va_arg(a.list, ::Movie)); }
intptr_t DoGetMovieTrackCount(Args &a) { return Toolbox().GetMovieTrackCount(va_arg(a.list, ::Movie)); }
intptr_t DoGetMovieIndTrack(Args &a) {
  ::Movie m = va_arg(a.list, ::Movie);
  SInt32 index = ArgLong(a);
  return AsPtr(Toolbox().GetMovieIndTrack(m, index));
}
intptr_t DoGetTrackMatrix(Args &a) {
  ::Track t = va_arg(a.list, ::Track);
  MatrixRecord *matrix = ArgPtr<MatrixRecord>(a);
  Toolbox().GetTrackMatrix(t, matrix);
  return 0;
}
intptr_t DoGetTrackEnabled(Args &a) { return Toolbox().GetTrackEnabled(va_arg(a.list, ::Track)); }
intptr_t DoSetTrackEnabled(Args &a) {
  ::Track t = va_arg(a.list, ::Track);
  Boolean enabled = Boolean(va_arg(a.list, int));
  Toolbox().SetTrackEnabled(t, enabled);
  return 0;
}
intptr_t DoGetTrackAlternate(Args &a) { return AsPtr(Toolbox().GetTrackAlternate(va_arg(a.list, ::Track))); }
intptr_t DoGetTrackReferenceCount(Args &a) {
  ::Track t = va_arg(a.list, ::Track);
  OSType type = ArgULong(a);
  return Toolbox().GetTrackReferenceCount(t, type);
}
intptr_t DoGetTrackReference(Args &a) {
  ::Track t = va_arg(a.list, ::Track);
  OSType type = ArgULong(a);
  SInt32 index = ArgLong(a);
  return AsPtr(Toolbox().GetTrackReference(t, type, index));
}
intptr_t DoGetMediaLanguage(Args &a) { return Toolbox().GetMediaLanguage(va_arg(a.list, ::Media)); }
intptr_t DoGetMovieUserData(Args &a) { return AsPtr(Toolbox().GetMovieUserData(va_arg(a.list, ::Movie))); }
intptr_t DoGetTrackUserData(Args &a) { return AsPtr(Toolbox().GetTrackUserData(va_arg(a.list, ::Track))); }
intptr_t DoCountUserDataType(Args &a) {
  ::UserData u = va_arg(a.list, ::UserData);
  OSType type = ArgULong(a);
  return Toolbox().CountUserDataType(u, type);
}
intptr_t DoGetUserData(Args &a) {
  ::UserData u = va_arg(a.list, ::UserData);
  Handle h = va_arg(a.list, Handle);
  OSType type = ArgULong(a);
  SInt32 index = ArgLong(a);
  return Err(Toolbox().GetUserData(u, h, type, index, false));
}
intptr_t DoGetUserDataText(Args &a) {
  ::UserData u = va_arg(a.list, ::UserData);
  Handle h = va_arg(a.list, Handle);
  OSType type = ArgULong(a);
  SInt32 index = ArgLong(a);
  (void)ArgShort(a);  // region tag: items are handed out in the language they were stored in
  return Err(Toolbox().GetUserData(u, h, type, index, true));
}
intptr_t DoGetTrackMedia(Args &a) { return AsPtr(Toolbox().GetTrackMedia(va_arg(a.list, ::Track))); }
intptr_t DoGetMediaTimeScale(Args &a) { return Toolbox().GetMediaTimeScale(va_arg(a.list, ::Media)); }
intptr_t DoGetMediaDuration(Args &a) { return Toolbox().GetMediaDuration(va_arg(a.list, ::Media)); }
intptr_t DoGetMediaHandlerDescription(Args &a) {
  ::Media m = va_arg(a.list, ::Media);
  OSType *type = ArgPtr<OSType>(a);
  unsigned char *name = ArgPtr<unsigned char>(a);
  OSType *maker = ArgPtr<OSType>(a);
  Toolbox().GetMediaHandlerDescription(m, type, name, maker);
  return 0;
}
intptr_t DoGetMediaSampleDescription(Args &a) {
  ::Media m = va_arg(a.list, ::Media);
  SInt32 index = ArgLong(a);
  SampleDescriptionHandle h = va_arg(a.list, SampleDescriptionHandle);
  Toolbox().GetMediaSampleDescription(m, index, h);
  return 0;
}
intptr_t DoGetMovieNextInterestingTime(Args &a) {
  ::Movie m = va_arg(a.list, ::Movie);
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
intptr_t DoGetMediaTrack(Args &a) { return AsPtr(Toolbox().GetMediaTrack(va_arg(a.list, ::Media))); }
intptr_t DoGetTrackNextInterestingTime(Args &a) {
  ::Track t = va_arg(a.list, ::Track);
  int flags = ArgShort(a);
  TimeValue time = ArgLong(a);
  Fixed rate = ArgLong(a);
  TimeValue *outTime = ArgPtr<TimeValue>(a);
  TimeValue *outDuration = ArgPtr<TimeValue>(a);
  Toolbox().GetTrackNextInterestingTime(t, flags, time, rate, outTime, outDuration);
  return 0;
}
intptr_t DoTrackTimeToMediaTime(Args &a) {
  TimeValue value = ArgLong(a);
  ::Track t = va_arg(a.list, ::Track);
  return Toolbox().TrackTimeToMediaTime(value, t);
}
intptr_t DoGetMediaSample(Args &a) {
  ::Media m = va_arg(a.list, ::Media);
  Handle data = va_arg(a.list, Handle);
  SInt32 maxSize = ArgLong(a);
  SInt32 *size = ArgPtr<SInt32>(a);
  TimeValue time = ArgLong(a);
  TimeValue *sampleTime = ArgPtr<TimeValue>(a);
  TimeValue *durationPerSample = ArgPtr<TimeValue>(a);
  SampleDescriptionHandle desc = va_arg(a.list, SampleDescriptionHandle);
  SInt32 *descIndex = ArgPtr<SInt32>(a);
  SInt32 maxCount = ArgLong(a);
  SInt32 *count = ArgPtr<SInt32>(a);
  SInt16 *flags = ArgPtr<SInt16>(a);
  return Err(Toolbox().GetMediaSample(m, data, maxSize, size, time, sampleTime, durationPerSample, desc, descIndex,
                                      maxCount, count, flags));
}
// Every argument comes by address, after the address of the result slot.
intptr_t DoGetMediaSample2(Args &a) {
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
intptr_t DoGetSoundDescriptionExtension(Args &a) {
  SoundDescriptionHandle desc = va_arg(a.list, SoundDescriptionHandle);
  Handle *extension = ArgPtr<Handle>(a);
  OSType type = ArgULong(a);
  return Err(Toolbox().GetSoundDescriptionExtension(desc, extension, type));
}

// --- Memory Manager ---
intptr_t DoMemError(Args &) { return Err(LastMemError()); }
intptr_t DoNewHandle(Args &a) { return AsPtr(Memory().NewHandle(ArgLong(a))); }
intptr_t DoDisposeHandle(Args &a) {
  Memory().DisposeHandle(va_arg(a.list, Handle));
  return 0;
}
intptr_t DoGetHandleSize(Args &a) { return Memory().GetHandleSize(va_arg(a.list, Handle)); }
intptr_t DoHLock(Args &a) {
  Memory().HLock(va_arg(a.list, Handle));
  return 0;
}
intptr_t DoHUnlock(Args &a) {
  Memory().HUnlock(va_arg(a.list, Handle));
  return 0;
}
intptr_t DoNewPtr(Args &a) { return AsPtr(Memory().NewPtr(ArgLong(a))); }
intptr_t DoDisposePtr(Args &a) {
  Memory().DisposePtr(va_arg(a.list, ::Ptr));
  return 0;
}
intptr_t DoBlockMoveData(Args &a) {
  const void *src = ArgPtr<const void>(a);
  void *dst = ArgPtr<void>(a);
  SInt32 n = ArgLong(a);
  Memory().BlockMoveData(src, dst, n);
  return 0;
}

// --- Image decompression and graphics worlds ---
intptr_t DoDecompressSequenceBeginS(Args &a) {
  ImageSequence *seqID = ArgPtr<ImageSequence>(a);
  ImageDescriptionHandle desc = va_arg(a.list, ImageDescriptionHandle);
  ::Ptr data = ArgPtr<char>(a);
  SInt32 dataSize = ArgLong(a);
  CGrafPtr port = va_arg(a.list, CGrafPtr);
  // The device, source rectangle, matrix, mode, mask, flags, accuracy and
  // codec that follow change nothing here.
  return Err(qt::DecompressSequenceBeginS(seqID, desc, data, dataSize, port));
}
intptr_t DoDecompressSequenceFrameWhen(Args &a) {
  ImageSequence seq = ArgLong(a);
  ::Ptr data = ArgPtr<char>(a);
  SInt32 dataSize = ArgLong(a);
  const CodecFlags inFlags = CodecFlags(va_arg(a.list, int));
  CodecFlags *outFlags = ArgPtr<CodecFlags>(a);
  ICMCompletionProcRecord *completion = ArgPtr<ICMCompletionProcRecord>(a);
  const ICMFrameTimeRecord *frameTime = ArgPtr<const ICMFrameTimeRecord>(a);
  return Err(qt::DecompressSequenceFrameWhen(seq, data, dataSize, inFlags, outFlags, completion, frameTime));
}
intptr_t DoCDSequenceEnd(Args &a) { return Err(qt::CDSequenceEnd(ArgLong(a))); }
intptr_t DoCDSequenceFlush(Args &a) { return Err(qt::CDSequenceFlush(ArgLong(a))); }
intptr_t DoCDSequenceBusy(Args &a) { return Err(qt::CDSequenceBusy(ArgLong(a))); }
intptr_t DoICMSequenceGetInfo(Args &a) {
  const ImageSequence seq = ArgLong(a);
  const OSType which = ArgULong(a);
  void *data = ArgPtr<void>(a);
  return Err(qt::ICMSequenceGetInfo(seq, which, data));
}
intptr_t DoICMSequenceDrawKeptPicture(Args &a) {
  const ImageSequence seq = ArgLong(a);
  const long refCon = va_arg(a.list, long);
  const ICMPictureDestination *destination = ArgPtr<const ICMPictureDestination>(a);
  return Err(qt::ICMSequenceDrawKeptPicture(seq, refCon, destination));
}
intptr_t DoQTNewGWorld(Args &a) {
  GWorldPtr *world = ArgPtr<GWorldPtr>(a);
  OSType format = ArgULong(a);
  const Rect *bounds = ArgPtr<const Rect>(a);
  return Err(qt::QTNewGWorld(world, format, bounds));
}
intptr_t DoQTGetPixMapHandleRowBytes(Args &a) { return qt::QTGetPixMapHandleRowBytes(va_arg(a.list, PixMapHandle)); }
intptr_t DoNewGWorldFromHBITMAP(Args &a) {
  GWorldPtr *world = ArgPtr<GWorldPtr>(a);
  (void)va_arg(a.list, CTabHandle);
  (void)va_arg(a.list, GDHandle);
  (void)ArgULong(a);  // flags
  void *bitmap = ArgPtr<void>(a);
  return Err(qt::NewGWorldFromHBITMAP(world, bitmap));
}
intptr_t DoLockPixels(Args &a) { return qt::LockPixels(va_arg(a.list, PixMapHandle)) ? 1 : 0; }
intptr_t DoUnlockPixels(Args &a) {
  qt::UnlockPixels(va_arg(a.list, PixMapHandle));
  return 0;
}
intptr_t DoDisposeGWorld(Args &a) {
  qt::DisposeGWorld(va_arg(a.list, GWorldPtr));
  return 0;
}
intptr_t DoGetPixBaseAddr(Args &a) { return AsPtr(qt::GetPixBaseAddr(va_arg(a.list, PixMapHandle))); }
intptr_t DoGetGWorldPixMap(Args &a) { return AsPtr(qt::GetGWorldPixMap(va_arg(a.list, GWorldPtr))); }

// --- Movie Audio Extraction ---
intptr_t DoMovieAudioExtractionBegin(Args &a) {
  ::Movie m = va_arg(a.list, ::Movie);
  UInt32 flags = ArgULong(a);
  MovieAudioExtractionRef *out = ArgPtr<MovieAudioExtractionRef>(a);
  return Err(OSErr(MaeBegin(m, flags, out)));
}
intptr_t DoMovieAudioExtractionEnd(Args &a) { return Err(OSErr(MaeEnd(va_arg(a.list, MovieAudioExtractionRef)))); }
intptr_t DoMovieAudioExtractionFillBuffer(Args &a) {
  MovieAudioExtractionRef session = va_arg(a.list, MovieAudioExtractionRef);
  UInt32 *frames = ArgPtr<UInt32>(a);
  AudioBufferList *data = ArgPtr<AudioBufferList>(a);
  UInt32 *flags = ArgPtr<UInt32>(a);
  return Err(OSErr(MaeFillBuffer(session, frames, data, flags)));
}
intptr_t DoMovieAudioExtractionGetPropertyInfo(Args &a) {
  MovieAudioExtractionRef session = va_arg(a.list, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  QTPropertyValueType *type = ArgPtr<QTPropertyValueType>(a);
  ByteCount *size = ArgPtr<ByteCount>(a);
  UInt32 *flags = ArgPtr<UInt32>(a);
  return Err(OSErr(MaeGetPropertyInfo(session, cls, id, type, size, flags)));
}
intptr_t DoMovieAudioExtractionGetProperty(Args &a) {
  MovieAudioExtractionRef session = va_arg(a.list, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  ByteCount size = va_arg(a.list, ByteCount);
  QTPropertyValuePtr value = ArgPtr<void>(a);
  ByteCount *used = ArgPtr<ByteCount>(a);
  return Err(OSErr(MaeGetProperty(session, cls, id, size, value, used)));
}
intptr_t DoMovieAudioExtractionSetProperty(Args &a) {
  MovieAudioExtractionRef session = va_arg(a.list, MovieAudioExtractionRef);
  QTPropertyClass cls = ArgULong(a);
  QTPropertyID id = ArgULong(a);
  ByteCount size = va_arg(a.list, ByteCount);
  ConstQTPropertyValuePtr value = ArgPtr<const void>(a);
  return Err(OSErr(MaeSetProperty(session, cls, id, size, value)));
}

// --- Sound Converter ---
intptr_t DoSoundConverterOpen(Args &a) {
  const SoundComponentData *in = ArgPtr<const SoundComponentData>(a);
  const SoundComponentData *out = ArgPtr<const SoundComponentData>(a);
  SoundConverter *sc = ArgPtr<SoundConverter>(a);
  return Err(ScOpen(in, out, sc));
}
intptr_t DoSoundConverterClose(Args &a) { return Err(ScClose(va_arg(a.list, SoundConverter))); }
intptr_t DoSoundConverterGetBufferSizes(Args &a) {
  SoundConverter sc = va_arg(a.list, SoundConverter);
  UInt32 target = ArgULong(a);
  UInt32 *frames = ArgPtr<UInt32>(a);
  UInt32 *inBytes = ArgPtr<UInt32>(a);
  UInt32 *outBytes = ArgPtr<UInt32>(a);
  return Err(ScGetBufferSizes(sc, target, frames, inBytes, outBytes));
}
intptr_t DoSoundConverterBeginConversion(Args &a) { return Err(ScBeginConversion(va_arg(a.list, SoundConverter))); }
intptr_t DoSoundConverterEndConversion(Args &a) {
  SoundConverter sc = va_arg(a.list, SoundConverter);
  void *out = ArgPtr<void>(a);
  UInt32 *frames = ArgPtr<UInt32>(a);
  UInt32 *bytes = ArgPtr<UInt32>(a);
  return Err(ScEndConversion(sc, out, frames, bytes));
}
intptr_t DoSoundConverterGetInfo(Args &a) {
  SoundConverter sc = va_arg(a.list, SoundConverter);
  OSType selector = ArgULong(a);
  void *info = ArgPtr<void>(a);
  return Err(ScGetInfo(sc, selector, info));
}
intptr_t DoSoundConverterSetInfo(Args &a) {
  SoundConverter sc = va_arg(a.list, SoundConverter);
  OSType selector = ArgULong(a);
  void *info = ArgPtr<void>(a);
  return Err(ScSetInfo(sc, selector, info));
}
intptr_t DoSoundConverterFillBuffer(Args &a) {
  SoundConverter sc = va_arg(a.list, SoundConverter);
  SoundConverterFillBufferDataUPP proc = va_arg(a.list, SoundConverterFillBufferDataUPP);
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
    {kQTSelGetMovieUserData, DoGetMovieUserData},
    {kQTSelGetMovieTrackCount, DoGetMovieTrackCount},
    {kQTSelSetTrackEnabled, DoSetTrackEnabled},
    {kQTSelGetTrackEnabled, DoGetTrackEnabled},
    {kQTSelGetTrackMatrix, DoGetTrackMatrix},
    {kQTSelGetTrackAlternate, DoGetTrackAlternate},
    {kQTSelGetTrackMedia, DoGetTrackMedia},
    {kQTSelGetTrackUserData, DoGetTrackUserData},
    {kQTSelGetMediaTimeScale, DoGetMediaTimeScale},
    {kQTSelGetMediaDuration, DoGetMediaDuration},
    {kQTSelGetMediaHandlerDescription, DoGetMediaHandlerDescription},
    {kQTSelGetMediaLanguage, DoGetMediaLanguage},
    {kQTSelGetMediaSampleDescription, DoGetMediaSampleDescription},
    {kQTSelGetMediaSample, DoGetMediaSample},
    {kQTSelTrackTimeToMediaTime, DoTrackTimeToMediaTime},
    {kQTSelGetMediaTrack, DoGetMediaTrack},
    {kQTSelCloseMovieFile, DoCloseMovieFile},
    {kQTSelGetTrackNextInterestingTime, DoGetTrackNextInterestingTime},
    {kQTSelNewMovieFromFile, DoNewMovieFromFile},
    {kQTSelGetMovieNextInterestingTime, DoGetMovieNextInterestingTime},
    {kQTSelGetMovieIndTrack, DoGetMovieIndTrack},
    {kQTSelGetUserData, DoGetUserData},
    {kQTSelCountUserDataType, DoCountUserDataType},
    {kQTSelGetUserDataText, DoGetUserDataText},
    {kQTSelOpenMovieFile, DoOpenMovieFile},
    {kQTSelGetTrackReference, DoGetTrackReference},
    {kQTSelGetTrackReferenceCount, DoGetTrackReferenceCount},
    {kQTSelGetSoundDescriptionExtension, DoGetSoundDescriptionExtension},
    {kQTSelGetMediaSample2, DoGetMediaSample2},
    {kQTSelMovieAudioExtractionBegin, DoMovieAudioExtractionBegin},
    {kQTSelMovieAudioExtractionEnd, DoMovieAudioExtractionEnd},
    {kQTSelMovieAudioExtractionFillBuffer, DoMovieAudioExtractionFillBuffer},
    {kQTSelMovieAudioExtractionGetPropertyInfo, DoMovieAudioExtractionGetPropertyInfo},
    {kQTSelMovieAudioExtractionGetProperty, DoMovieAudioExtractionGetProperty},
    {kQTSelMovieAudioExtractionSetProperty, DoMovieAudioExtractionSetProperty},
    {kQTSelCDSequenceEnd, DoCDSequenceEnd},
    {kQTSelCDSequenceBusy, DoCDSequenceBusy},
    {kQTSelDecompressSequenceBeginS, DoDecompressSequenceBeginS},
    {kQTSelDecompressSequenceFrameWhen, DoDecompressSequenceFrameWhen},
    {kQTSelCDSequenceFlush, DoCDSequenceFlush},
    {kQTSelQTNewGWorld, DoQTNewGWorld},
    {kQTSelQTGetPixMapHandleRowBytes, DoQTGetPixMapHandleRowBytes},
    {kQTSelICMSequenceGetInfo, DoICMSequenceGetInfo},
    {kQTSelICMSequenceDrawKeptPicture, DoICMSequenceDrawKeptPicture},
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
  if (!e) return Err(unimpErr);
  Args a;
  va_copy(a.list, args);
  const intptr_t r = e->handler(a);
  va_end(a.list);
  return r;
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
