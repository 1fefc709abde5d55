// The Windows runtime has no demuxers for the index-less file types (.264,
// .cif, .amr, .aif, .dv, .flc): nothing recognises them by content, and a
// file that only its extension places is refused as no movie.

#include "AvImporter.h"

namespace tp::qt {

const char *AvFormatName(AvFormat f) {
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
  return "unknown";
}

AvImportResult ImportWithLibav(const std::string &path, AvFormat format, Movie *movie, const AvImportLimits &) {
  *movie = Movie();
  return {kNoMovieFound, std::string("no importer for ") + AvFormatName(format) + " files in this runtime: " + path};
}

bool SniffAvFormat(const uint8_t *, size_t, AvFormat *) { return false; }

}  // namespace tp::qt
