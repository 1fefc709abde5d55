// The runtime functions the engine calls. Each runs the bind hook while one
// is armed, then hands its selector and its arguments, untouched, to the
// dispatcher slot; the dispatcher's answer is the function's result.
// InitializeQTML and TerminateQTML are the binding's own (QuickTimeBinding.cpp).

#include <type_traits>

#include "QuickTime/Movies.h"
#include "QuickTime/QTML.h"
#include "QuickTime/QTSelectors.h"
#include "engine/QuickTimeBinding.h"

namespace {

QTDispatcherProc Dispatcher() {
  QuickTimeBinding &b = TheQuickTimeBinding();
  if (QTBindHook hook = b.bindHook.load()) hook();
  return b.theQuickTimeDispatcher.load();
}

template <typename R>
R As(intptr_t value) {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(value);
  } else {
    return static_cast<R>(value);
  }
}

}  // namespace

#define TP_QT_CALL(R, selector, ...) As<R>(Dispatcher()(selector __VA_OPT__(, ) __VA_ARGS__))
#define TP_QT_VOID(selector, ...) static_cast<void>(Dispatcher()(selector __VA_OPT__(, ) __VA_ARGS__))

extern "C" {

// ---- Movie Toolbox ---------------------------------------------------------
OSErr EnterMovies(void) { return TP_QT_CALL(OSErr, kQTSelEnterMovies); }
void ExitMovies(void) { TP_QT_VOID(kQTSelExitMovies); }
OSErr GetMoviesError(void) { return TP_QT_CALL(OSErr, kQTSelGetMoviesError); }
void DisposeMovie(Movie theMovie) { TP_QT_VOID(kQTSelDisposeMovie, theMovie); }
TimeScale GetMovieTimeScale(Movie theMovie) { return TP_QT_CALL(TimeScale, kQTSelGetMovieTimeScale, theMovie); }
TimeValue GetMovieDuration(Movie theMovie) { return TP_QT_CALL(TimeValue, kQTSelGetMovieDuration, theMovie); }
SInt32 GetMovieTrackCount(Movie theMovie) { return TP_QT_CALL(SInt32, kQTSelGetMovieTrackCount, theMovie); }
Media GetTrackMedia(Track theTrack) { return TP_QT_CALL(Media, kQTSelGetTrackMedia, theTrack); }
Boolean GetTrackEnabled(Track theTrack) { return TP_QT_CALL(Boolean, kQTSelGetTrackEnabled, theTrack); }
void SetTrackEnabled(Track theTrack, Boolean isEnabled) { TP_QT_VOID(kQTSelSetTrackEnabled, theTrack, isEnabled); }
Track GetTrackAlternate(Track theTrack) { return TP_QT_CALL(Track, kQTSelGetTrackAlternate, theTrack); }
SInt32 GetTrackReferenceCount(Track theTrack, OSType refType) {
  return TP_QT_CALL(SInt32, kQTSelGetTrackReferenceCount, theTrack, refType);
}
Track GetTrackReference(Track theTrack, OSType refType, SInt32 index) {
  return TP_QT_CALL(Track, kQTSelGetTrackReference, theTrack, refType, index);
}
SInt16 GetMediaLanguage(Media theMedia) { return TP_QT_CALL(SInt16, kQTSelGetMediaLanguage, theMedia); }
UserData GetMovieUserData(Movie theMovie) { return TP_QT_CALL(UserData, kQTSelGetMovieUserData, theMovie); }
UserData GetTrackUserData(Track theTrack) { return TP_QT_CALL(UserData, kQTSelGetTrackUserData, theTrack); }
SInt16 CountUserDataType(UserData theUserData, OSType udType) {
  return TP_QT_CALL(SInt16, kQTSelCountUserDataType, theUserData, udType);
}
OSErr GetUserData(UserData theUserData, Handle data, OSType udType, SInt32 index) {
  return TP_QT_CALL(OSErr, kQTSelGetUserData, theUserData, data, udType, index);
}
OSErr GetUserDataText(UserData theUserData, Handle data, OSType udType, SInt32 index, SInt16 itlRegionTag) {
  return TP_QT_CALL(OSErr, kQTSelGetUserDataText, theUserData, data, udType, index, itlRegionTag);
}
void GetTrackMatrix(Track theTrack, MatrixRecord *matrix) { TP_QT_VOID(kQTSelGetTrackMatrix, theTrack, matrix); }
Track GetMediaTrack(Media theMedia) { return TP_QT_CALL(Track, kQTSelGetMediaTrack, theMedia); }
void GetTrackNextInterestingTime(Track theTrack, SInt16 interestingTimeFlags, TimeValue time, Fixed rate,
                                 TimeValue *interestingTime, TimeValue *interestingDuration) {
  TP_QT_VOID(kQTSelGetTrackNextInterestingTime, theTrack, interestingTimeFlags, time, rate, interestingTime,
             interestingDuration);
}
TimeValue TrackTimeToMediaTime(TimeValue value, Track theTrack) {
  return TP_QT_CALL(TimeValue, kQTSelTrackTimeToMediaTime, value, theTrack);
}
TimeScale GetMediaTimeScale(Media theMedia) { return TP_QT_CALL(TimeScale, kQTSelGetMediaTimeScale, theMedia); }
TimeValue GetMediaDuration(Media theMedia) { return TP_QT_CALL(TimeValue, kQTSelGetMediaDuration, theMedia); }
void GetMediaHandlerDescription(Media theMedia, OSType *mediaType, Str255 creatorName, OSType *creatorManufacturer) {
  TP_QT_VOID(kQTSelGetMediaHandlerDescription, theMedia, mediaType, creatorName, creatorManufacturer);
}
void GetMediaSampleDescription(Media theMedia, SInt32 index, SampleDescriptionHandle descH) {
  TP_QT_VOID(kQTSelGetMediaSampleDescription, theMedia, index, descH);
}
OSErr GetMediaSample(Media theMedia, Handle dataOut, SInt32 maxSizeToGrow, SInt32 *size, TimeValue time,
                     TimeValue *sampleTime, TimeValue *durationPerSample, SampleDescriptionHandle sampleDescriptionH,
                     SInt32 *sampleDescriptionIndex, SInt32 maxNumberOfSamples, SInt32 *numberOfSamples,
                     SInt16 *sampleFlags) {
  return TP_QT_CALL(OSErr, kQTSelGetMediaSample, theMedia, dataOut, maxSizeToGrow, size, time, sampleTime,
                    durationPerSample, sampleDescriptionH, sampleDescriptionIndex, maxNumberOfSamples, numberOfSamples,
                    sampleFlags);
}
OSErr CloseMovieFile(SInt16 resRefNum) { return TP_QT_CALL(OSErr, kQTSelCloseMovieFile, resRefNum); }
OSErr NewMovieFromFile(Movie *theMovie, SInt16 resRefNum, SInt16 *resId, StringPtr resName, SInt16 newMovieFlags,
                       Boolean *dataRefWasChanged) {
  return TP_QT_CALL(OSErr, kQTSelNewMovieFromFile, theMovie, resRefNum, resId, resName, newMovieFlags,
                    dataRefWasChanged);
}
void GetMovieNextInterestingTime(Movie theMovie, SInt16 interestingTimeFlags, SInt16 numMediaTypes,
                                 const OSType *whichMediaTypes, TimeValue time, Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration) {
  TP_QT_VOID(kQTSelGetMovieNextInterestingTime, theMovie, interestingTimeFlags, numMediaTypes, whichMediaTypes, time,
             rate, interestingTime, interestingDuration);
}
Track GetMovieIndTrack(Movie theMovie, SInt32 index) {
  return TP_QT_CALL(Track, kQTSelGetMovieIndTrack, theMovie, index);
}
OSErr OpenMovieFile(const FSSpec *fileSpec, SInt16 *resRefNum, SInt8 permission) {
  return TP_QT_CALL(OSErr, kQTSelOpenMovieFile, fileSpec, resRefNum, permission);
}
OSErr GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType idType) {
  return TP_QT_CALL(OSErr, kQTSelGetSoundDescriptionExtension, desc, extension, idType);
}

// The one call with a 64-bit argument travels by address: a result slot,
// then the address of every argument.
OSErr GetMediaSample2(Media theMedia, UInt8 *dataOut, ByteCount maxDataSize, ByteCount *size, TimeValue64 decodeTime,
                      TimeValue64 *sampleDecodeTime, TimeValue64 *decodeDurationPerSample, TimeValue64 *displayOffset,
                      SampleDescriptionHandle sampleDescriptionH, ItemCount *sampleDescriptionIndex,
                      ItemCount maxNumberOfSamples, ItemCount *numberOfSamples, MediaSampleFlags *sampleFlags) {
  OSErr result = noErr;
  const intptr_t answer =
      Dispatcher()(kQTSelGetMediaSample2, &result, &theMedia, &dataOut, &maxDataSize, &size, &decodeTime,
                   &sampleDecodeTime, &decodeDurationPerSample, &displayOffset, &sampleDescriptionH,
                   &sampleDescriptionIndex, &maxNumberOfSamples, &numberOfSamples, &sampleFlags);
  // A dispatcher that refuses the call without touching the slot (nothing
  // bound, unknown selector) must not read as success.
  if (result == noErr) result = static_cast<OSErr>(answer);
  return result;
}

OSStatus MovieAudioExtractionBegin(Movie theMovie, UInt32 flags, MovieAudioExtractionRef *outSession) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionBegin, theMovie, flags, outSession);
}
OSStatus MovieAudioExtractionEnd(MovieAudioExtractionRef session) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionEnd, session);
}
OSStatus MovieAudioExtractionFillBuffer(MovieAudioExtractionRef session, UInt32 *ioNumFrames, AudioBufferList *ioData,
                                        UInt32 *outFlags) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionFillBuffer, session, ioNumFrames, ioData, outFlags);
}
OSStatus MovieAudioExtractionGetPropertyInfo(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                             QTPropertyID inPropID, QTPropertyValueType *outPropType,
                                             ByteCount *outPropValueSize, UInt32 *outPropertyFlags) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionGetPropertyInfo, session, inPropClass, inPropID, outPropType,
                    outPropValueSize, outPropertyFlags);
}
OSStatus MovieAudioExtractionGetProperty(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                         QTPropertyID inPropID, ByteCount inPropValueSize,
                                         QTPropertyValuePtr outPropValueAddress, ByteCount *outPropValueSizeUsed) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionGetProperty, session, inPropClass, inPropID, inPropValueSize,
                    outPropValueAddress, outPropValueSizeUsed);
}
OSStatus MovieAudioExtractionSetProperty(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                         QTPropertyID inPropID, ByteCount inPropValueSize,
                                         ConstQTPropertyValuePtr inPropValueAddress) {
  return TP_QT_CALL(OSStatus, kQTSelMovieAudioExtractionSetProperty, session, inPropClass, inPropID, inPropValueSize,
                    inPropValueAddress);
}

// ---- QTML ------------------------------------------------------------------
Boolean IsQTMLInitialized(void) { return TP_QT_CALL(Boolean, kQTSelIsQTMLInitialized); }
OSErr NativePathNameToFSSpec(char *inName, FSSpec *outFile, SInt32 flags) {
  return TP_QT_CALL(OSErr, kQTSelNativePathNameToFSSpec, inName, outFile, flags);
}
OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, CTabHandle cTable, GDHandle aGDevice, GWorldFlags flags,
                           void *newHBITMAP, void *newHDC) {
  return TP_QT_CALL(OSErr, kQTSelNewGWorldFromHBITMAP, offscreenGWorld, cTable, aGDevice, flags, newHBITMAP, newHDC);
}

// ---- Memory Manager --------------------------------------------------------
OSErr MemError(void) { return TP_QT_CALL(OSErr, kQTSelMemError); }
Handle NewHandle(Size byteCount) { return TP_QT_CALL(Handle, kQTSelNewHandle, byteCount); }
void DisposeHandle(Handle h) { TP_QT_VOID(kQTSelDisposeHandle, h); }
Size GetHandleSize(Handle h) { return TP_QT_CALL(Size, kQTSelGetHandleSize, h); }
void HLock(Handle h) { TP_QT_VOID(kQTSelHLock, h); }
void HUnlock(Handle h) { TP_QT_VOID(kQTSelHUnlock, h); }
void HLockHi(Handle h) { TP_QT_VOID(kQTSelHLockHi, h); }
Ptr NewPtr(Size byteCount) { return TP_QT_CALL(Ptr, kQTSelNewPtr, byteCount); }
void DisposePtr(Ptr p) { TP_QT_VOID(kQTSelDisposePtr, p); }
void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount) {
  TP_QT_VOID(kQTSelBlockMoveData, srcPtr, destPtr, byteCount);
}

// ---- Image Compression Manager ---------------------------------------------
OSErr DecompressSequenceBeginS(ImageSequence *seqID, ImageDescriptionHandle desc, Ptr data, SInt32 dataSize,
                               CGrafPtr port, GDHandle gdh, const Rect *srcRect, MatrixRecordPtr matrix, SInt16 mode,
                               RgnHandle mask, CodecFlags flags, CodecQ accuracy, DecompressorComponent codec) {
  return TP_QT_CALL(OSErr, kQTSelDecompressSequenceBeginS, seqID, desc, data, dataSize, port, gdh, srcRect, matrix,
                    mode, mask, flags, accuracy, codec);
}
OSErr DecompressSequenceFrameWhen(ImageSequence seqID, Ptr data, SInt32 dataSize, CodecFlags inFlags,
                                  CodecFlags *outFlags, ICMCompletionProcRecordPtr asyncCompletionProc,
                                  const ICMFrameTimeRecord *frameTime) {
  return TP_QT_CALL(OSErr, kQTSelDecompressSequenceFrameWhen, seqID, data, dataSize, inFlags, outFlags,
                    asyncCompletionProc, frameTime);
}
OSErr CDSequenceEnd(ImageSequence seqID) { return TP_QT_CALL(OSErr, kQTSelCDSequenceEnd, seqID); }
OSErr CDSequenceFlush(ImageSequence seqID) { return TP_QT_CALL(OSErr, kQTSelCDSequenceFlush, seqID); }
OSErr CDSequenceBusy(ImageSequence seqID) { return TP_QT_CALL(OSErr, kQTSelCDSequenceBusy, seqID); }
OSErr ICMSequenceGetInfo(ImageSequence seqID, OSType which, void *data) {
  return TP_QT_CALL(OSErr, kQTSelICMSequenceGetInfo, seqID, which, data);
}
OSErr ICMSequenceDrawKeptPicture(ImageSequence seqID, long refCon, const ICMPictureDestination *destination) {
  return TP_QT_CALL(OSErr, kQTSelICMSequenceDrawKeptPicture, seqID, refCon, destination);
}
OSErr QTNewGWorld(GWorldPtr *offscreenGWorld, OSType pixelFormat, const Rect *boundsRect, CTabHandle cTable,
                  GDHandle aGDevice, GWorldFlags flags) {
  return TP_QT_CALL(OSErr, kQTSelQTNewGWorld, offscreenGWorld, pixelFormat, boundsRect, cTable, aGDevice, flags);
}
SInt32 QTGetPixMapHandleRowBytes(PixMapHandle pm) { return TP_QT_CALL(SInt32, kQTSelQTGetPixMapHandleRowBytes, pm); }

// ---- Offscreen graphics worlds ---------------------------------------------
Boolean LockPixels(PixMapHandle pm) { return TP_QT_CALL(Boolean, kQTSelLockPixels, pm); }
void UnlockPixels(PixMapHandle pm) { TP_QT_VOID(kQTSelUnlockPixels, pm); }
void DisposeGWorld(GWorldPtr offscreenGWorld) { TP_QT_VOID(kQTSelDisposeGWorld, offscreenGWorld); }
Ptr GetPixBaseAddr(PixMapHandle pm) { return TP_QT_CALL(Ptr, kQTSelGetPixBaseAddr, pm); }
PixMapHandle GetGWorldPixMap(GWorldPtr offscreenGWorld) {
  return TP_QT_CALL(PixMapHandle, kQTSelGetGWorldPixMap, offscreenGWorld);
}

// ---- Sound Converter -------------------------------------------------------
OSErr SoundConverterOpen(const SoundComponentData *inputFormat, const SoundComponentData *outputFormat,
                         SoundConverter *sc) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterOpen, inputFormat, outputFormat, sc);
}
OSErr SoundConverterClose(SoundConverter sc) { return TP_QT_CALL(OSErr, kQTSelSoundConverterClose, sc); }
OSErr SoundConverterGetBufferSizes(SoundConverter sc, UInt32 inputBytesTarget, UInt32 *inputFrames, UInt32 *inputBytes,
                                   UInt32 *outputBytes) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterGetBufferSizes, sc, inputBytesTarget, inputFrames, inputBytes,
                    outputBytes);
}
OSErr SoundConverterBeginConversion(SoundConverter sc) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterBeginConversion, sc);
}
OSErr SoundConverterEndConversion(SoundConverter sc, void *outputPtr, UInt32 *outputFrames, UInt32 *outputBytes) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterEndConversion, sc, outputPtr, outputFrames, outputBytes);
}
OSErr SoundConverterGetInfo(SoundConverter sc, OSType selector, void *infoPtr) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterGetInfo, sc, selector, infoPtr);
}
OSErr SoundConverterSetInfo(SoundConverter sc, OSType selector, void *infoPtr) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterSetInfo, sc, selector, infoPtr);
}
OSErr SoundConverterFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP fillBufferDataUPP,
                               void *fillBufferDataRefCon, void *outputBuffer, UInt32 outputBufferByteSize,
                               UInt32 *bytesWritten, UInt32 *framesWritten, UInt32 *outputFlags) {
  return TP_QT_CALL(OSErr, kQTSelSoundConverterFillBuffer, sc, fillBufferDataUPP, fillBufferDataRefCon, outputBuffer,
                    outputBufferByteSize, bytesWritten, framesWritten, outputFlags);
}

}  // extern "C"
