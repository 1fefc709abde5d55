// AudioTestMovies: sound movies made at test time by the ffmpeg command
// line, and ffmpeg's own decode of them as the reference PCM. Shared by the
// runtime's and the engine's audio tests.
//
// Each movie's channels carry different tones, so that a swapped or dropped
// channel shows. Files live in the caller's folder (an ff::TempDir).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tp::test {

struct AudioMovieSpec {
  std::string name;       // file name, its extension picks the container
  std::string codecArgs;  // ffmpeg output arguments, e.g. "-c:a aac -b:a 128k"
  int rate = 44100;
  int channels = 2;
  double seconds = 1.0;
};

// Makes the movie in `dir`; returns its path, empty on failure.
std::string MakeAudioMovie(const std::string &dir, const AudioMovieSpec &spec);

// ffmpeg's decode of the file's first sound as interleaved signed 16-bit
// little-endian samples; `outputArgs` go before "-f s16le -" (for example
// "-ac 2", or "-ar 44100"). `inputArgs` go before "-i". Empty on failure.
std::vector<int16_t> FfmpegDecodeS16(const std::string &file, const std::string &outputArgs = "",
                                     const std::string &inputArgs = "");

// Root mean square of the difference of the first n samples, in LSB.
double RmsDifference(const std::vector<int16_t> &a, const std::vector<int16_t> &b, size_t n);

}  // namespace tp::test
