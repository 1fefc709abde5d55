// The probe command: opens a movie through the movie session and describes
// its first video and sound media (those that play by default), every track,
// the chapters and the metadata, either as a readable summary or as one
// JSON object.
//
// Ownership: ProbeMovie opens and closes its own session; the report it
// returns owns nothing of the runtime.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "engine/CQTMovieContents.h"

namespace tidepool {

struct VideoSample {
  int64_t decodeTime = 0;
  int64_t decodeDuration = 0;
  int64_t displayOffset = 0;
  uint32_t size = 0;
  bool sync = false;
};

struct VideoReport {
  int32_t timeScale = 0;
  int32_t duration = 0;
  int width = 0;
  int height = 0;
  uint32_t format = 0;
  std::vector<VideoSample> samples;
  // The runtime error that stopped the sample walk early, or 0.
  int sampleError = 0;
};

struct SoundReport {
  int32_t timeScale = 0;
  int32_t duration = 0;
  uint32_t format = 0;
  int channels = 0;
  int sampleSize = 0;
  double sampleRate = 0;
};

struct ProbeReport {
  long status = 0;
  std::optional<VideoReport> video;
  std::optional<SoundReport> sound;
  // Every track, the chapters and the metadata. The runtime's Track and
  // Media values in it are stale once ProbeMovie returns.
  MovieContents contents;
};

// path: wide, NUL-terminated.
ProbeReport ProbeMovie(LPCWSTR path);

std::string ToJson(const ProbeReport &report);
std::string ToText(const ProbeReport &report, const std::string &path);

}  // namespace tidepool
