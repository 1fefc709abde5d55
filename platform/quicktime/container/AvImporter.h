// AvImporter: builds the movie model for the file types that have no
// ISO-family structure (.264 raw H.264, .cif, .amr, .aif/.aiff, .dv/.dif,
// .flc) with FFmpeg's libavformat.
//
// These files carry no sample index, so the importer reads every packet once
// at open: the cost of opening is one pass over the file (plus one read of
// each packet's bytes to check that the packet lies verbatim at the position
// libavformat reports). A media whose packets all lie verbatim in the file
// names the file and each sample's byte position; otherwise (packets that the
// demuxer assembles, such as DV audio) the packet bytes are kept in the
// media's in-memory store.
//
// Only the demuxers named here are ever opened, with the "file" protocol
// only, so a hostile file cannot make libavformat reach other files or the
// network. Nothing throws; every failure is a QuickTime error number with a
// message. The importer owns nothing after it returns.
#pragma once

#include <cstdint>
#include <string>

#include "container/MovieModel.h"

namespace tp::qt {

// The libavformat demuxer for one of our file types.
enum class AvFormat {
  kH264,    // raw H.264 (Annex B byte stream)
  kH261,    // raw H.261
  kH263,    // raw H.263
  kCifYuv,  // raw planar 4:2:0 frames of 352 x 288 (25 frames per second)
  kAmr,     // AMR-NB / AMR-WB storage format ("#!AMR\n")
  kAiff,    // AIFF and AIFF-C
  kDv,      // DV DIF stream
  kFlic,    // FLI / FLC animation
};

// The demuxer name of each type (empty for a value outside the enum).
inline const char *AvFormatName(AvFormat f) {
  switch (f) {
    case AvFormat::kH264:
      return "h264";
    case AvFormat::kH261:
      return "h261";
    case AvFormat::kH263:
      return "h263";
    case AvFormat::kCifYuv:
      return "rawvideo";
    case AvFormat::kAmr:
      return "amr";
    case AvFormat::kAiff:
      return "aiff";
    case AvFormat::kDv:
      return "dv";
    case AvFormat::kFlic:
      return "flic";
  }
  return "";
}

struct AvImportLimits {
  uint64_t maxPackets = 20'000'000;
  uint64_t maxStoredBytes = uint64_t(1) << 30;  // packet bytes kept in memory
  uint32_t maxSeconds = 120;                    // wall-clock bound on one import
};

struct AvImportResult {
  QtErr error = kNoErr;
  std::string message;
};

// Imports `path` with the given demuxer into *movie (cleared first).
AvImportResult ImportWithLibav(const std::string &path, AvFormat format, Movie *movie,
                               const AvImportLimits &limits = AvImportLimits());

// Content sniffing: which of our demuxers recognises these first bytes of a
// file, if any. `n` should be at least a few kilobytes where the file has them.
bool SniffAvFormat(const uint8_t *head, size_t n, AvFormat *format);

}  // namespace tp::qt
