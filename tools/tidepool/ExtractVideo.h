// The extract --video command: decodes a movie's first video track through
// the engine's video track exactly as the video pin drives it
// (SetOutputSubtype, ExtractionBegin, an optional SetPosition, then
// GetNextSample into buffers of biSizeImage bytes) and writes
//   DIR/video.raw        every frame's whole buffer, back to back;
//   DIR/video-times.txt  "timescale N", then "start duration" per frame.
#pragma once

#include <optional>
#include <string>

#include <windows.h>

namespace tidepool {

struct ExtractVideoOptions {
  std::string subtype;  // YV12, YUY2, I420, RGB32, RGB24, RGB555 or RGB565
  std::string outDir;   // created when missing
  std::optional<double> seekSeconds;
  std::optional<long long> frames;  // at most this many frames
};

struct ExtractVideoResult {
  int exitCode = 0;  // 0 done, 1 the movie or its video could not be used, 2 bad options
  std::string message;
  long long framesWritten = 0;
};

// path: wide, NUL-terminated.
ExtractVideoResult ExtractVideo(LPCWSTR path, const ExtractVideoOptions &options);

}  // namespace tidepool
