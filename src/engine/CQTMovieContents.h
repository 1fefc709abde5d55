// CQTMovieContents: everything an opened movie holds beyond the one video and
// one sound track that play by default: every track (its kind, codec,
// language, enabled flag, alternate group and name), the chapters (from a
// chapter track, or from the chapter list the runtime presents as one) and
// the title, artist, copyright and comment. Read once through the runtime,
// then plain values.
//
// Ownership: Read borrows the movie; the result holds the runtime's Track and
// Media values, which stay valid as long as the movie does.
// Threads: Read on any one thread; the result is read-only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuickTime/Movies.h"

enum class TrackKind { Video, Sound, Text, Chapters, Timecode, Other };

struct MovieTrackInfo {
  int index = 0;  // 1-based, the runtime's track order
  Track track = nullptr;
  Media media = nullptr;
  TrackKind kind = TrackKind::Other;
  OSType handlerType = 0;
  OSType codec = 0;           // sample description 1's data format
  std::string language;       // ISO 639-2/T, "und" when unknown
  bool enabled = false;       // as the runtime reports it now
  int alternateGroup = 0;     // the lowest index of its group's tracks; 0 alone
  std::string name;           // the track's 'name', UTF-8, or empty
  int channels = 0;           // sound
  double sampleRate = 0;      // sound, Hz
  int width = 0, height = 0;  // video, as stored
};

struct MovieChapter {
  LONGLONG start = 0;  // 100 ns units from the movie's start
  std::string title;   // UTF-8
};

struct MovieMetadata {
  std::string title, artist, copyright, comment;  // UTF-8, empty when absent
};

struct MovieContents {
  std::vector<MovieTrackInfo> tracks;
  std::vector<MovieChapter> chapters;
  MovieMetadata metadata;
};

class CQTMovieContents {
 public:
  // Everything the runtime reports of movie; empty for a null movie. Bounded:
  // at most kMaxChapters chapters, text items of at most 64 KB.
  static MovieContents Read(Movie movie);
  // "AAC", "H.264", ... for a codec; the four characters otherwise.
  static std::string CodecName(OSType codec);
  // "video", "sound", "text", "chapters", "timecode", "other".
  static const char *KindName(TrackKind kind);

  static constexpr size_t kMaxChapters = 4096;
};
