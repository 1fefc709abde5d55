// The Movie Toolbox of the QuickTime-style runtime: movie files, movies,
// tracks, media, sample access and Movie Audio Extraction.
//
// Ownership: a Movie made by NewMovieFromFile belongs to the caller until
// DisposeMovie; its Tracks and Media belong to the movie and stay valid
// until then. The movie keeps its own access to the file, so the file
// reference from OpenMovieFile may be closed as soon as the movie exists;
// sample data are read from the file when they are asked for. A Movie Audio
// Extraction session belongs to its caller until MovieAudioExtractionEnd.
//
// Errors: calls that return OSErr return the error; the others leave it for
// GetMoviesError, which reports the last Movie Toolbox call made on the
// calling thread (noErr after a call that succeeded).
#pragma once

#include "MacTypes.h"
#include "MacErrors.h"
#include "MacMemory.h"
#include "ImageCompression.h"
#include "Sound.h"
#include "CoreAudioTypes.h"

typedef struct MovieType **Movie;
typedef struct TrackType *Track;
typedef struct MediaType *Media;
typedef struct OpaqueMovieAudioExtraction *MovieAudioExtractionRef;
typedef struct UserDataRecord **UserData;

typedef SInt32 TimeValue;
typedef SInt64 TimeValue64;
typedef SInt32 TimeScale;
typedef UInt32 MediaSampleFlags;
typedef struct TimeBaseRecord *TimeBase;

struct SampleDescription {
  SInt32 descSize;
  OSType dataFormat;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
};
typedef struct SampleDescription SampleDescription;
typedef SampleDescription *SampleDescriptionPtr;
typedef SampleDescription **SampleDescriptionHandle;

#pragma pack(push, 2)

typedef wide CompTimeValue;

// 16 bytes with 32-bit pointers, 20 with 64-bit ones.
struct TimeRecord {
  CompTimeValue value;
  TimeScale scale;
  TimeBase base;
};
typedef struct TimeRecord TimeRecord;

#pragma pack(pop)

// A file specification. The classic fields are kept for layout; `path`
// carries the native path, NUL-terminated, in the ANSI code page (UTF-8 off
// Windows). Large enough for any path the runtime accepts; a caller keeps
// it on its stack and hands its address to OpenMovieFile.
enum { kFSSpecMaxPathBytes = 4096 };
struct FSSpec {
  SInt16 vRefNum;
  SInt32 parID;
  StrFileName name;  // leaf name, Pascal string, truncated to 63 bytes
  char path[kFSSpecMaxPathBytes];
};
typedef struct FSSpec FSSpec;
typedef FSSpec *FSSpecPtr;

// Media handler types.
enum {
  VideoMediaType = QT_FOUR_CHAR_CODE('v', 'i', 'd', 'e'),
  SoundMediaType = QT_FOUR_CHAR_CODE('s', 'o', 'u', 'n'),
  TextMediaType = QT_FOUR_CHAR_CODE('t', 'e', 'x', 't'),
  BaseMediaType = QT_FOUR_CHAR_CODE('g', 'n', 'r', 'c'),
  TimeCodeMediaType = QT_FOUR_CHAR_CODE('t', 'm', 'c', 'd'),
  MovieMediaType = QT_FOUR_CHAR_CODE('m', 'o', 'o', 'v'),
};

// Track reference types.
enum {
  kTrackReferenceChapterList = QT_FOUR_CHAR_CODE('c', 'h', 'a', 'p'),
  kTrackReferenceTimeCode = QT_FOUR_CHAR_CODE('t', 'm', 'c', 'd'),
};

// Language codes of GetMediaLanguage below 0x400 are Macintosh language
// codes; from 0x400 on, three ISO 639-2/T letters packed five bits each.
enum {
  langEnglish = 0,
  langUnspecified = 32767,
};

// NewMovieFromFile flags.
enum {
  newMovieActive = 1 << 0,
  newMovieDontResolveDataRefs = 1 << 1,
  newMovieDontAskUnresolvedDataRefs = 1 << 2,
  newMovieDontAutoAlternates = 1 << 3,
};

// OpenMovieFile permissions.
enum {
  fsCurPerm = 0,
  fsRdPerm = 1,
};

// GetMovieNextInterestingTime flags.
enum {
  nextTimeMediaSample = 1 << 0,
  nextTimeMediaEdit = 1 << 1,
  nextTimeTrackEdit = 1 << 2,
  nextTimeSyncSample = 1 << 3,
  nextTimeStep = 1 << 4,
  nextTimeEdgeOK = 1 << 14,
  nextTimeIgnoreActiveSegment = 1 << 15,
};

// Media sample flags.
enum {
  mediaSampleNotSync = 1 << 0,
  mediaSampleShadowSync = 1 << 1,
  mediaSampleDroppable = 1 << 27,
  mediaSampleIsDependedOnByOthers = 1 << 26,
  mediaSampleIsNotDependedOnByOthers = 1 << 25,
  mediaSampleDependsOnOthers = 1 << 24,
  mediaSampleDoesNotDependOnOthers = 1 << 29,
  mediaSampleEarlierDisplayTimesAllowed = 1 << 30,
};

// Movie Audio Extraction properties.
typedef OSType QTPropertyClass;
typedef OSType QTPropertyID;
typedef OSType QTPropertyValueType;
typedef void *QTPropertyValuePtr;
typedef const void *ConstQTPropertyValuePtr;
enum {
  kQTPropertyClass_MovieAudioExtraction_Audio = QT_FOUR_CHAR_CODE('x', 'a', 'u', 'd'),
  kQTPropertyClass_MovieAudioExtraction_Movie = QT_FOUR_CHAR_CODE('x', 'm', 'o', 'v'),
  kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription = QT_FOUR_CHAR_CODE('a', 's', 'b', 'd'),
  kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout = QT_FOUR_CHAR_CODE('c', 'l', 'a', 'y'),
  kQTMovieAudioExtractionMoviePropertyID_CurrentTime = QT_FOUR_CHAR_CODE('t', 'i', 'm', 'e'),
  kQTMovieAudioExtractionComplete = 1 << 0,
};

#ifdef __cplusplus
extern "C" {
#endif

OSErr EnterMovies(void);
void ExitMovies(void);
OSErr GetMoviesError(void);

OSErr OpenMovieFile(const FSSpec *fileSpec, SInt16 *resRefNum, SInt8 permission);
OSErr CloseMovieFile(SInt16 resRefNum);
OSErr NewMovieFromFile(Movie *theMovie, SInt16 resRefNum, SInt16 *resId, StringPtr resName, SInt16 newMovieFlags,
                       Boolean *dataRefWasChanged);
void DisposeMovie(Movie theMovie);

TimeScale GetMovieTimeScale(Movie theMovie);
TimeValue GetMovieDuration(Movie theMovie);
SInt32 GetMovieTrackCount(Movie theMovie);
Track GetMovieIndTrack(Movie theMovie, SInt32 index);
Media GetTrackMedia(Track theTrack);
// The track header's matrix (rows a b u / c d v / tx ty w, 16.16 except u, v
// and w, which are 2.30), as stored; identity for a track without one.
void GetTrackMatrix(Track theTrack, MatrixRecord *matrix);
Track GetMediaTrack(Media theMedia);
// Edit starts (nextTimeTrackEdit) or sample starts (nextTimeMediaSample) of one
// track, in movie time; *interestingTime is -1 when there is none.
void GetTrackNextInterestingTime(Track theTrack, SInt16 interestingTimeFlags, TimeValue time, Fixed rate,
                                 TimeValue *interestingTime, TimeValue *interestingDuration);
// The media time that plays at a movie time; -1 in an empty edit or outside
// the track.
TimeValue TrackTimeToMediaTime(TimeValue value, Track theTrack);
// Whether the track plays; a movie's tracks start as the file marks them.
// Enabling or disabling a track decides which sound track Movie Audio
// Extraction plays: the first enabled one, or the first when none is.
Boolean GetTrackEnabled(Track theTrack);
void SetTrackEnabled(Track theTrack, Boolean isEnabled);
// The next track of the same alternate group in track order (wrapping
// round), or theTrack itself when it is in no group or alone in it.
Track GetTrackAlternate(Track theTrack);
// The track's references of a type ('chap': its chapter track), 1-based.
// A movie whose chapters come as a list ('chpl') and not as a chapter
// track answers every track's first 'chap' reference with a text track
// made from that list; that track is not among GetMovieIndTrack's.
SInt32 GetTrackReferenceCount(Track theTrack, OSType refType);
Track GetTrackReference(Track theTrack, OSType refType, SInt32 index);
// The media's language as stored (see the language codes above).
SInt16 GetMediaLanguage(Media theMedia);
// User data: the movie's (its 'udta' items, then its metadata list's text
// items under the matching user data types) and each track's. Valid as
// long as the movie. Indexes are 1-based among the items of one type.
UserData GetMovieUserData(Movie theMovie);
UserData GetTrackUserData(Track theTrack);
SInt16 CountUserDataType(UserData theUserData, OSType udType);
// The item as stored, into a handle sized to fit.
OSErr GetUserData(UserData theUserData, Handle data, OSType udType, SInt32 index);
// The text of a text item (its length and language header removed), into
// a handle sized to fit; not NUL-terminated.
OSErr GetUserDataText(UserData theUserData, Handle data, OSType udType, SInt32 index, SInt16 itlRegionTag);
TimeScale GetMediaTimeScale(Media theMedia);
TimeValue GetMediaDuration(Media theMedia);
void GetMediaHandlerDescription(Media theMedia, OSType *mediaType, Str255 creatorName, OSType *creatorManufacturer);
void GetMediaSampleDescription(Media theMedia, SInt32 index, SampleDescriptionHandle descH);
void GetMovieNextInterestingTime(Movie theMovie, SInt16 interestingTimeFlags, SInt16 numMediaTypes,
                                 const OSType *whichMediaTypes, TimeValue time, Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration);

OSErr GetMediaSample(Media theMedia, Handle dataOut, SInt32 maxSizeToGrow, SInt32 *size, TimeValue time,
                     TimeValue *sampleTime, TimeValue *durationPerSample, SampleDescriptionHandle sampleDescriptionH,
                     SInt32 *sampleDescriptionIndex, SInt32 maxNumberOfSamples, SInt32 *numberOfSamples,
                     SInt16 *sampleFlags);
OSErr GetMediaSample2(Media theMedia, UInt8 *dataOut, ByteCount maxDataSize, ByteCount *size, TimeValue64 decodeTime,
                      TimeValue64 *sampleDecodeTime, TimeValue64 *decodeDurationPerSample, TimeValue64 *displayOffset,
                      SampleDescriptionHandle sampleDescriptionH, ItemCount *sampleDescriptionIndex,
                      ItemCount maxNumberOfSamples, ItemCount *numberOfSamples, MediaSampleFlags *sampleFlags);

OSStatus MovieAudioExtractionBegin(Movie theMovie, UInt32 flags, MovieAudioExtractionRef *outSession);
OSStatus MovieAudioExtractionEnd(MovieAudioExtractionRef session);
OSStatus MovieAudioExtractionFillBuffer(MovieAudioExtractionRef session, UInt32 *ioNumFrames, AudioBufferList *ioData,
                                        UInt32 *outFlags);
OSStatus MovieAudioExtractionGetPropertyInfo(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                             QTPropertyID inPropID, QTPropertyValueType *outPropType,
                                             ByteCount *outPropValueSize, UInt32 *outPropertyFlags);
OSStatus MovieAudioExtractionGetProperty(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                         QTPropertyID inPropID, ByteCount inPropValueSize,
                                         QTPropertyValuePtr outPropValueAddress, ByteCount *outPropValueSizeUsed);
OSStatus MovieAudioExtractionSetProperty(MovieAudioExtractionRef session, QTPropertyClass inPropClass,
                                         QTPropertyID inPropID, ByteCount inPropValueSize,
                                         ConstQTPropertyValuePtr inPropValueAddress);

#ifdef __cplusplus
}
#endif
