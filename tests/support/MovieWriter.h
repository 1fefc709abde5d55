// MovieWriter: a small writer of ISO / QuickTime movie files whose sample
// tables are exactly what the test asks for: constant or per-sample sizes,
// 'stz2', 'co64', composition offsets of either version (negative ones too),
// missing or empty sync tables, 'sdtp', edit lists, 64-bit box sizes, the
// data before or after the movie box. Sample bytes are a pattern derived from
// the sample number, so a reader can tell which sample it got.
//
// Everything is built in memory and returned by value; the caller owns it.
// It also records where every box starts, for tests that damage files at
// box boundaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tp::test {

constexpr uint32_t Fcc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
         uint32_t(uint8_t(s[3]));
}

struct WriterEdit {
  int64_t movieDuration = 0;
  int64_t mediaTime = 0;  // -1: empty edit
  int32_t rate = 0x10000;
};

struct WriterTrack {
  uint32_t handler = Fcc("vide");
  uint32_t format = Fcc("raw ");  // codec / data format of description 1
  uint32_t timeScale = 600;
  int64_t mediaDuration = -1;  // -1: the sum of the durations
  uint32_t trackId = 0;        // 0: position + 1
  bool enabled = true;
  // Video description.
  uint16_t width = 64, height = 48;
  // Sound description.
  uint16_t soundVersion = 0;
  uint16_t channels = 2, sampleSize = 16;
  uint32_t sampleRate = 44100;
  int16_t compressionId = 0;
  // Extension atoms appended to description 1 (complete atoms with headers).
  std::vector<uint8_t> extensions;
  // Extra sample descriptions beyond the first (complete entries).
  std::vector<std::vector<uint8_t>> extraDescriptions;

  // The samples. durations and sizes must have the same length.
  std::vector<uint32_t> durations;
  std::vector<uint32_t> sizes;
  std::vector<int32_t> compositionOffsets;  // empty: no 'ctts'
  int cttsVersion = 0;
  bool writeStss = false;                    // false: every sample is sync
  std::vector<uint32_t> syncSamples;         // 1-based, written when writeStss
  std::vector<uint32_t> partialSyncSamples;  // 1-based; 'stps' when not empty
  std::vector<uint8_t> sdtp;                 // one byte per sample; empty: none
  uint32_t samplesPerChunk = 1;
  bool co64 = false;
  int stz2FieldSize = 0;          // 0: 'stsz'; 4, 8, 16: 'stz2'
  bool compactDurations = true;   // run-length 'stts'; false: one entry per sample
  std::vector<WriterEdit> edits;  // empty: no 'edts'
  int elstVersion = 0;
};

struct WriterOptions {
  uint32_t movieTimeScale = 600;
  bool writeFtyp = true;
  uint32_t majorBrand = Fcc("qt  ");
  bool mdatFirst = true;
  bool largeMdatHeader = false;  // 64-bit size form for 'mdat'
  bool mdatSizeZero = false;     // 'mdat' last with size 0 (to the end of the file)
  bool largeMoovHeader = false;  // 64-bit size form for 'moov'
};

struct WrittenMovie {
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint64_t>> samplePositions;  // per track, per sample
  std::vector<uint64_t> boxOffsets;                    // start of every box written, in file order
  uint64_t moovOffset = 0, moovSize = 0;
  uint64_t mdatOffset = 0, mdatSize = 0;
};

// The byte pattern of sample `index` of track `track` at offset `k`.
uint8_t SampleByte(size_t track, uint32_t index, uint64_t k);

WrittenMovie BuildMovie(const WriterOptions &options, const std::vector<WriterTrack> &tracks);
bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);

// Convenience: a video track of n samples of `size` bytes, duration d each,
// a sync sample every `gop` samples (gop 1: no 'stss').
WriterTrack SimpleVideoTrack(uint32_t n, uint32_t size, uint32_t d, uint32_t gop);

}  // namespace tp::test
