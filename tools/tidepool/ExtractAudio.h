// The extract --audio command: pulls a movie's first sound track through the
// engine's audio track exactly as the audio pin drives it (GetNextSample into
// a buffer of GetBufferSize bytes until a negative result) and writes
//   DIR/audio.wav         the PCM, with the format FillMediaInfo gives;
//   DIR/audio-times.txt   "timescale N", then "start duration bytes" per block.
#pragma once

#include <string>

#include <windows.h>

namespace tidepool {

struct ExtractAudioResult {
  int exitCode = 0;  // 0 done, 1 the movie or its sound could not be used, 2 bad options
  std::string message;
  long long blocks = 0;
  long long bytes = 0;
};

// path: wide, NUL-terminated. outDir is created when missing.
ExtractAudioResult ExtractAudio(LPCWSTR path, const std::string &outDir);

}  // namespace tidepool
