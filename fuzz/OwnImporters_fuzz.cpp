// Fuzz target for our own readers of AIFF and raw H.264: the first byte
// picks the reader, the rest is the file. Whatever the bytes, a reader
// either refuses with an error and an empty movie, or builds one whose
// every sample lies inside the file.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "container/OwnImporters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tp::qt;
  if (size < 1) return 0;
  const std::string path = "/tmp/tp-own-import-fuzz-" + std::to_string(::getpid());
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  Movie movie;
  AvImportLimits limits;
  limits.maxPackets = 100000;
  const AvImportResult r = (data[0] & 1) ? ImportAnnexB(path, &movie, limits) : ImportAiff(path, &movie);
  std::remove(path.c_str());
  if (r.error != kNoErr) {
    if (!movie.tracks.empty()) __builtin_trap();
    return 0;
  }
  for (const Track &t : movie.tracks) {
    SampleRecord s;
    for (uint32_t i = 0; i < t.media.samples.count(); ++i) {
      if (!t.media.samples.Sample(i, &s)) __builtin_trap();
      if (s.position + s.size > size - 1 || s.decodeDuration < 0) __builtin_trap();
    }
  }
  return 0;
}
