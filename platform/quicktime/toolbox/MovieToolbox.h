// MovieToolbox: the runtime's movie files, movies, tracks and media, and the
// calls that read them. One instance per process (Instance()).
//
// Ownership: an open movie file (OpenMovieFile) is a reference number owned
// by the caller until CloseMovieFile. A movie (NewMovieFromFile) is owned by
// the caller until DisposeMovie; it holds the imported model, read-only from
// then on, and its own descriptors of the files its samples live in. Track
// and Media values point into the movie and are valid until DisposeMovie.
// Every Movie, Track and Media value passed in is looked up in a registry
// before use, so stale or foreign values are refused (invalidMovie,
// invalidTrack, invalidMedia) instead of being dereferenced. A call that uses
// a movie keeps it alive until the call returns, so DisposeMovie on another
// thread never pulls data out from under a reader.
//
// Errors: the calls return or record a QuickTime error number; the last one
// of each thread is what GetMoviesError reports.
//
// Locks: registryMutex_ (movies, tracks, media) and filesMutex_ (file
// reference numbers) are leaf locks, never held together and never held
// while a file is read or a movie imported. The Memory Manager's lock is
// taken only outside them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <QuickTime/Movies.h>

#include "container/MovieModel.h"

namespace tp::qt {

class MovieToolbox {
 public:
  static MovieToolbox &Instance();

  OSErr EnterMovies();
  void ExitMovies();

  OSErr OpenMovieFile(const FSSpec *spec, SInt16 *refNum, int permission);
  OSErr CloseMovieFile(SInt16 refNum);
  OSErr NewMovieFromFile(::Movie *movie, SInt16 refNum, SInt16 *resId, Boolean *dataRefWasChanged);
  void DisposeMovie(::Movie movie);

  TimeScale GetMovieTimeScale(::Movie movie);
  TimeValue GetMovieDuration(::Movie movie);
  SInt32 GetMovieTrackCount(::Movie movie);
  ::Track GetMovieIndTrack(::Movie movie, SInt32 index);
  ::Media GetTrackMedia(::Track track);
  // The track header's matrix as stored; a null matrix is paramErr.
  void GetTrackMatrix(::Track track, MatrixRecord *matrix);
  Boolean GetTrackEnabled(::Track track);
  void SetTrackEnabled(::Track track, Boolean enabled);
  ::Track GetTrackAlternate(::Track track);
  SInt32 GetTrackReferenceCount(::Track track, OSType type);
  ::Track GetTrackReference(::Track track, OSType type, SInt32 index);
  SInt16 GetMediaLanguage(::Media media);
  ::UserData GetMovieUserData(::Movie movie);
  ::UserData GetTrackUserData(::Track track);
  SInt16 CountUserDataType(::UserData userData, OSType type);
  // The item as stored (text: false) or a text item's text (text: true).
  OSErr GetUserData(::UserData userData, Handle data, OSType type, SInt32 index, bool text);
  TimeScale GetMediaTimeScale(::Media media);
  TimeValue GetMediaDuration(::Media media);
  void GetMediaHandlerDescription(::Media media, OSType *mediaType, unsigned char *creatorName,
                                  OSType *creatorManufacturer);
  void GetMediaSampleDescription(::Media media, SInt32 index, SampleDescriptionHandle descH);
  void GetMovieNextInterestingTime(::Movie movie, int flags, int numMediaTypes, const OSType *whichMediaTypes,
                                   TimeValue time, Fixed rate, TimeValue *interestingTime,
                                   TimeValue *interestingDuration);
  ::Track GetMediaTrack(::Media media);
  // Edit starts (nextTimeTrackEdit, nextTimeMediaEdit; empty edits count, the
  // duration is the edit's) or sample starts (nextTimeMediaSample) of one
  // track, in movie time; -1 when there is none.
  void GetTrackNextInterestingTime(::Track track, int flags, TimeValue time, Fixed rate, TimeValue *interestingTime,
                                   TimeValue *interestingDuration);
  // The media time that plays at movie time `value`; -1 in an empty edit,
  // before 0 or past the last edit.
  TimeValue TrackTimeToMediaTime(TimeValue value, ::Track track);
  OSErr GetMediaSample(::Media media, Handle dataOut, SInt32 maxSizeToGrow, SInt32 *size, TimeValue time,
                       TimeValue *sampleTime, TimeValue *durationPerSample, SampleDescriptionHandle descH,
                       SInt32 *descIndex, SInt32 maxNumberOfSamples, SInt32 *numberOfSamples, SInt16 *sampleFlags);
  OSErr GetMediaSample2(::Media media, UInt8 *dataOut, ByteCount maxDataSize, ByteCount *size, TimeValue64 decodeTime,
                        TimeValue64 *sampleDecodeTime, TimeValue64 *decodeDurationPerSample, TimeValue64 *displayOffset,
                        SampleDescriptionHandle descH, ItemCount *descIndex, ItemCount maxNumberOfSamples,
                        ItemCount *numberOfSamples, MediaSampleFlags *sampleFlags);
  OSErr GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType idType);

  // The imported model of a live movie, for the runtime's own services (Movie
  // Audio Extraction). The pointer keeps the movie's model alive while held,
  // even across DisposeMovie; null for a stale or foreign movie.
  std::shared_ptr<const Movie> MovieModel(::Movie movie);
  // The sound (or other) track that plays by default now: the first enabled
  // track of the type, else the first of the type; null when there is none
  // or the movie is stale. Valid while the returned model is held.
  const Track *DefaultTrackOfType(::Movie movie, uint32_t handlerType, std::shared_ptr<const Movie> *model);

  // For tests and diagnostics.
  size_t OpenMovieCount();
  size_t OpenFileCount();

  // Bounds on what one caller can hold open.
  static constexpr size_t kMaxOpenFiles = 1024;
  static constexpr int64_t kMaxSampleBytes = int64_t(256) << 20;  // one GetMediaSample call

  struct OpenMovie;  // a movie and its tracks, defined in the .cpp

 private:
  struct MediaRef;
  struct TrackRef;
  struct Run;  // consecutive samples served by one call

  std::shared_ptr<OpenMovie> FindMovie(::Movie m);
  std::shared_ptr<OpenMovie> FindTrack(::Track t, const TrackRef **ref);
  std::shared_ptr<OpenMovie> FindMedia(::Media m, const MediaRef **ref);
  std::shared_ptr<OpenMovie> FindUserData(::UserData u, const std::vector<UserDataItem> **items);
  OSErr CollectRun(const MediaRef &media, int64_t time, int64_t maxBytes, uint64_t maxCount, Run *run);
  OSErr ReadRun(const OpenMovie &movie, const MediaRef &media, const Run &run, uint8_t *dst);
  OSErr CopyDescription(const MediaRef &media, uint32_t index, Handle h);

  std::shared_mutex registryMutex_;  // leaf lock; guards the four maps below
  std::unordered_map<void *, std::shared_ptr<OpenMovie>> movies_;
  std::unordered_map<void *, std::shared_ptr<OpenMovie>> tracks_;
  std::unordered_map<void *, std::shared_ptr<OpenMovie>> media_;
  std::unordered_map<void *, std::shared_ptr<OpenMovie>> userData_;

  struct OpenFile {
    std::string path;
  };
  std::mutex filesMutex_;  // leaf lock; guards files_ and nextRef_
  std::unordered_map<SInt16, OpenFile> files_;
  SInt16 nextRef_ = 1;

  std::mutex enterMutex_;  // leaf lock; guards enterCount_
  int enterCount_ = 0;
};

// GetMoviesError of the calling thread, and its setter.
OSErr LastMoviesError();
void SetLastMoviesError(OSErr err);

}  // namespace tp::qt
