// MovieFileTypes: one short movie maker for each of the sixteen file name
// extensions the filter registers, made by the ffmpeg command line or by our
// own writers where ffmpeg cannot write the format. Shared by the tests that
// open a file of every type (the movie session, the filter).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tp::test {

struct MovieFileType {
  const char *ext;                                    // ".mov"
  std::function<bool(const std::string &path)> make;  // writes the movie; false on failure
  const char *probeArgs;                              // names ffprobe's demuxer where the extension does not
  bool video;                                         // the file has a video track
  bool sound;                                         // the file has a sound track
};

// The sixteen types, in the order of the extensions' names.
const std::vector<MovieFileType> &MovieFileTypes();

}  // namespace tp::test
