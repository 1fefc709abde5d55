// Selectors of the QuickTime-style runtime's dispatcher. The high half of a
// selector names the manager, the low half the call within it. Every API
// function of the runtime is reached by calling theQuickTimeDispatcher with
// its selector (see QTDispatch.h).
#pragma once

#include <stdint.h>

enum QTSelector : uint32_t {
  // Movie Toolbox (0x0002xxxx)
  kQTSelEnterMovies = 0x00020001u,
  kQTSelExitMovies = 0x00020002u,
  kQTSelGetMoviesError = 0x00020003u,
  kQTSelDisposeMovie = 0x00020023u,
  kQTSelGetMovieTimeScale = 0x00020029u,
  kQTSelGetMovieDuration = 0x0002002bu,
  kQTSelGetMovieUserData = 0x00020035u,
  kQTSelGetMovieTrackCount = 0x0002003fu,
  kQTSelSetTrackEnabled = 0x0002004fu,
  kQTSelGetTrackEnabled = 0x00020050u,
  kQTSelGetTrackMatrix = 0x00020056u,
  kQTSelGetTrackAlternate = 0x0002005fu,
  kQTSelGetTrackMedia = 0x00020062u,
  kQTSelGetTrackUserData = 0x00020065u,
  kQTSelGetMediaTimeScale = 0x00020068u,
  kQTSelGetMediaDuration = 0x0002006au,
  kQTSelGetMediaHandlerDescription = 0x0002006fu,
  kQTSelGetMediaLanguage = 0x00020071u,
  kQTSelGetMediaSampleDescription = 0x00020078u,
  kQTSelGetMediaSample = 0x0002007eu,
  kQTSelTrackTimeToMediaTime = 0x00020096u,
  kQTSelGetMediaTrack = 0x000200c5u,
  kQTSelCloseMovieFile = 0x000200d5u,
  kQTSelGetTrackNextInterestingTime = 0x000200e2u,
  kQTSelNewMovieFromFile = 0x000200f0u,
  kQTSelGetMovieNextInterestingTime = 0x0002010eu,
  kQTSelGetMovieIndTrack = 0x00020117u,
  kQTSelGetUserData = 0x00020126u,
  kQTSelCountUserDataType = 0x00020127u,
  kQTSelGetUserDataText = 0x00020129u,
  kQTSelOpenMovieFile = 0x00020192u,
  kQTSelGetTrackReference = 0x00020220u,
  kQTSelGetTrackReferenceCount = 0x00020222u,
  kQTSelGetSoundDescriptionExtension = 0x000202d0u,
  kQTSelGetMediaSample2 = 0x00020459u,
  kQTSelMovieAudioExtractionBegin = 0x000204b4u,
  kQTSelMovieAudioExtractionEnd = 0x000204b5u,
  kQTSelMovieAudioExtractionFillBuffer = 0x000204b6u,
  kQTSelMovieAudioExtractionGetPropertyInfo = 0x000204b7u,
  kQTSelMovieAudioExtractionGetProperty = 0x000204b8u,
  kQTSelMovieAudioExtractionSetProperty = 0x000204b9u,

  // Image Compression Manager (0x0003xxxx)
  kQTSelCDSequenceEnd = 0x0003001bu,
  kQTSelCDSequenceBusy = 0x00030028u,
  kQTSelDecompressSequenceBeginS = 0x0003005du,
  kQTSelDecompressSequenceFrameWhen = 0x0003005eu,
  kQTSelQTNewGWorld = 0x00030080u,
  kQTSelCDSequenceFlush = 0x00030074u,
  kQTSelQTGetPixMapHandleRowBytes = 0x0003008eu,
  kQTSelICMSequenceGetInfo = 0x000301a3u,
  kQTSelICMSequenceDrawKeptPicture = 0x000301a4u,

  // Memory Manager (0x0015xxxx)
  kQTSelMemError = 0x00150006u,
  kQTSelNewHandle = 0x00150008u,
  kQTSelNewPtr = 0x0015000fu,
  kQTSelHLock = 0x00150019u,
  kQTSelHUnlock = 0x0015001au,
  kQTSelHLockHi = 0x0015001du,
  kQTSelDisposePtr = 0x0015002fu,
  kQTSelDisposeHandle = 0x00150032u,
  kQTSelGetHandleSize = 0x00150034u,
  kQTSelBlockMoveData = 0x0015003fu,

  // QTML (0x0017xxxx and 0x001dxxxx)
  kQTSelNewGWorldFromHBITMAP = 0x00170001u,
  kQTSelInitializeQTML = 0x001d0008u,
  kQTSelTerminateQTML = 0x001d0009u,
  kQTSelNativePathNameToFSSpec = 0x001d002eu,
  kQTSelIsQTMLInitialized = 0x001d0059u,

  // Offscreen graphics worlds (0x001cxxxx)
  kQTSelLockPixels = 0x001c0002u,
  kQTSelUnlockPixels = 0x001c0003u,
  kQTSelDisposeGWorld = 0x001c0005u,
  kQTSelGetPixBaseAddr = 0x001c0010u,
  kQTSelGetGWorldPixMap = 0x001c0018u,

  // Sound Manager: Sound Converter (0x0025xxxx)
  kQTSelSoundConverterOpen = 0x00250027u,
  kQTSelSoundConverterClose = 0x00250028u,
  kQTSelSoundConverterGetBufferSizes = 0x00250029u,
  kQTSelSoundConverterBeginConversion = 0x0025002au,
  kQTSelSoundConverterEndConversion = 0x0025002cu,
  kQTSelSoundConverterGetInfo = 0x0025002du,
  kQTSelSoundConverterSetInfo = 0x0025002eu,
  kQTSelSoundConverterFillBuffer = 0x0025003fu,
};
