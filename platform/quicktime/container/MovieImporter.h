// MovieImporter: picks the importer for a movie file and runs it. Content
// decides first (an ISO-family box structure goes to the ISO parser, a
// stream that one of our libavformat demuxers recognises goes to the
// libavformat importer); the file name extension decides only when the
// content is not recognised. Files that neither content nor extension place
// are refused with noMovieFound.
#pragma once

#include <string>

#include "container/MovieModel.h"

namespace tp::qt {

struct ImportResult {
  QtErr error = kNoErr;
  std::string message;
};

ImportResult ImportMovieFile(const std::string &path, Movie *movie);

}  // namespace tp::qt
