// IsoParser: reads the ISO / QuickTime movie file family (.mov .qt .mp4 .m4v
// .m4a .3gp .3g2 .3gp2) into the movie model. It reads box headers and sample
// tables only, never sample data ('mdat' is skipped by its size), so opening
// is fast whatever the size of the movie.
//
// Everything read is untrusted: every size is checked against what remains
// of its parent, nesting is bounded, entry counts are checked against the box
// size before anything is allocated, and arithmetic is 64-bit with overflow
// checks. Failures are QuickTime error numbers with a message; nothing
// throws, and a failed parse leaves the output movie cleared.
//
// The parser owns nothing after it returns; the caller owns the Movie and the
// ByteSource. Thread-safe as long as each call has its own ByteSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "container/DataFile.h"
#include "container/MovieModel.h"

namespace tp::qt {

// Random-access input. Implementations count what they hand out so that a
// caller can verify that opening reads no sample data.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly n bytes at pos; false (nothing guaranteed in dst) when the
  // range is not inside the source or the read fails.
  virtual bool ReadAt(uint64_t pos, void *dst, size_t n) = 0;
  uint64_t bytesRead() const { return bytesRead_; }

 protected:
  uint64_t bytesRead_ = 0;
};

class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t pos, void *dst, size_t n) override;

 private:
  const uint8_t *data_;
  size_t size_;
};

class FileByteSource final : public ByteSource {
 public:
  FileByteSource() = default;
  ~FileByteSource() override;
  FileByteSource(const FileByteSource &) = delete;
  FileByteSource &operator=(const FileByteSource &) = delete;
  // fnfErr when the file cannot be opened.
  QtErr Open(const std::string &path);
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t pos, void *dst, size_t n) override;

 private:
  DataFile file_;
  uint64_t size_ = 0;
};

struct ParseLimits {
  uint32_t maxDepth = 16;  // box nesting
  uint32_t maxTracks = 1024;
  uint32_t maxBoxesPerContainer = 100000;
  // The movie box is read into memory at once; this bounds that allocation
  // (a movie of a million samples needs about 12 MB).
  uint64_t maxTableBytes = 1ull << 29;
  uint32_t maxDescriptions = 1024;
  uint32_t maxEdits = 1u << 20;
  // Fragmented files: top-level boxes (two per fragment), and samples all
  // fragments together may add (a day of 60 fps video with 48 kHz AAC is
  // about 9 million).
  uint32_t maxTopLevelBoxes = 1000000;
  uint64_t maxFragmentSamples = 1ull << 26;
};

struct ParseResult {
  QtErr error = kNoErr;
  std::string message;  // empty on success
};

// True when the first bytes look like an ISO / QuickTime movie file (a known
// top-level box type with a sane size at offset 0).
bool LooksLikeIsoMovie(const uint8_t *head, size_t n);

// Parses a whole file into *movie (cleared first). dataPath is what the
// media's DataSource names (usually the file's own path).
ParseResult ParseIsoMovie(ByteSource &source, const std::string &dataPath, Movie *movie,
                          const ParseLimits &limits = ParseLimits());
// Opens `path` and parses it; file errors give fnfErr.
ParseResult OpenIsoMovieFile(const std::string &path, Movie *movie, uint64_t *bytesRead = nullptr);

}  // namespace tp::qt
