// The Windows runtime has no demuxers for the index-less file types (.264,
// .cif, .amr, .aif, .dv, .flc): nothing recognises them by content, and a
// file that only its extension places is refused as no movie.

#include "AvImporter.h"

namespace tp::qt {

AvImportResult ImportWithLibav(const std::string &path, AvFormat format, Movie *movie, const AvImportLimits &) {
  *movie = Movie();
  return {kNoMovieFound, std::string("no importer for ") + AvFormatName(format) + " files in this runtime: " + path};
}

bool SniffAvFormat(const uint8_t *, size_t, AvFormat *) { return false; }

}  // namespace tp::qt
