// Typed wrappers that call the runtime through its dispatcher, the way the
// engine's binding does: selector first, then the API's arguments.
#pragma once

#include <cstdint>
#include <string>

#include <QuickTime/Movies.h>
#include <QuickTime/QTML.h>
#include <QuickTime/QTSelectors.h>

#include "toolbox/Dispatcher.h"

namespace tp::test::qtcall {

using tp::qt::DispatchCall;

inline OSErr Err(intptr_t r) { return OSErr(r); }

inline Handle QNewHandle(Size n) { return reinterpret_cast<Handle>(DispatchCall(kQTSelNewHandle, n)); }
inline void QDisposeHandle(Handle h) { DispatchCall(kQTSelDisposeHandle, h); }
inline Size QGetHandleSize(Handle h) { return Size(DispatchCall(kQTSelGetHandleSize, h)); }
inline OSErr QMemError() { return Err(DispatchCall(kQTSelMemError)); }
inline OSErr QGetMoviesError() { return Err(DispatchCall(kQTSelGetMoviesError)); }

inline TimeScale QGetMediaTimeScale(Media m) { return TimeScale(DispatchCall(kQTSelGetMediaTimeScale, m)); }
inline TimeValue QGetMediaDuration(Media m) { return TimeValue(DispatchCall(kQTSelGetMediaDuration, m)); }
inline TimeScale QGetMovieTimeScale(Movie m) { return TimeScale(DispatchCall(kQTSelGetMovieTimeScale, m)); }
inline TimeValue QGetMovieDuration(Movie m) { return TimeValue(DispatchCall(kQTSelGetMovieDuration, m)); }
inline SInt32 QGetMovieTrackCount(Movie m) { return SInt32(DispatchCall(kQTSelGetMovieTrackCount, m)); }
inline Track QGetMovieIndTrack(Movie m, SInt32 i) {
  return reinterpret_cast<Track>(DispatchCall(kQTSelGetMovieIndTrack, m, i));
}
inline Media QGetTrackMedia(Track t) { return reinterpret_cast<Media>(DispatchCall(kQTSelGetTrackMedia, t)); }
inline OSType QHandlerType(Media m) {
  OSType type = 0;
  DispatchCall(kQTSelGetMediaHandlerDescription, m, &type, nullptr, nullptr);
  return type;
}

// GetMediaSample2 passes every argument by address, after the result slot.
inline OSErr QGetMediaSample2(Media media, UInt8 *dataOut, ByteCount maxDataSize, ByteCount *size, TimeValue64 time,
                              TimeValue64 *decodeTime, TimeValue64 *durationPerSample, TimeValue64 *displayOffset,
                              SampleDescriptionHandle desc, ItemCount *descIndex, ItemCount maxCount, ItemCount *count,
                              MediaSampleFlags *flags) {
  OSErr result = 1;
  DispatchCall(kQTSelGetMediaSample2, &result, &media, &dataOut, &maxDataSize, &size, &time, &decodeTime,
               &durationPerSample, &displayOffset, &desc, &descIndex, &maxCount, &count, &flags);
  return result;
}

// Opens a movie the way the engine does: FSSpec, open, import, close.
inline OSErr QOpenMovie(const std::string &path, Movie *movie) {
  FSSpec spec;
  DispatchCall(kQTSelNativePathNameToFSSpec, const_cast<char *>(path.c_str()), &spec, kFullNativePath);
  SInt16 ref = 0;
  OSErr err = Err(DispatchCall(kQTSelOpenMovieFile, &spec, &ref, 0));
  if (err != noErr) return err;
  err = Err(DispatchCall(kQTSelNewMovieFromFile, movie, ref, nullptr, nullptr, newMovieActive, nullptr));
  DispatchCall(kQTSelCloseMovieFile, ref);
  return err;
}

// The media of the first track with the handler type, or null.
inline Media QFindMedia(Movie movie, OSType type) {
  SInt32 n = QGetMovieTrackCount(movie);
  for (SInt32 i = 1; i <= n; ++i) {
    Media m = QGetTrackMedia(QGetMovieIndTrack(movie, i));
    if (m && QHandlerType(m) == type) return m;
  }
  return nullptr;
}

}  // namespace tp::test::qtcall
