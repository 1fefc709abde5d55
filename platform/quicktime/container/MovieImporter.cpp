#include "container/MovieImporter.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "container/AvImporter.h"
#include "container/DataFile.h"
#include "container/IsoParser.h"

namespace tp::qt {
namespace {

constexpr size_t kSniffBytes = 64 * 1024;
constexpr uint64_t kCifFrameBytes = 352 * 288 * 3 / 2;

std::string LowerExtension(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

bool IsIsoExtension(const std::string &ext) {
  static const char *kIso[] = {"mov", "qt", "mp4", "m4v", "m4a", "3gp", "3g2", "3gp2"};
  return std::any_of(std::begin(kIso), std::end(kIso), [&](const char *e) { return ext == e; });
}

bool AvFormatForExtension(const std::string &ext, uint64_t fileSize, AvFormat *f) {
  if (ext == "264") {
    *f = AvFormat::kH264;
  } else if (ext == "cif") {
    // Not a recognised stream: raw CIF pictures, only when the size says so.
    if (fileSize == 0 || fileSize % kCifFrameBytes != 0) return false;
    *f = AvFormat::kCifYuv;
  } else if (ext == "amr") {
    *f = AvFormat::kAmr;
  } else if (ext == "aif" || ext == "aiff") {
    *f = AvFormat::kAiff;
  } else if (ext == "dv" || ext == "dif") {
    *f = AvFormat::kDv;
  } else if (ext == "flc") {
    *f = AvFormat::kFlic;
  } else {
    return false;
  }
  return true;
}

}  // namespace

ImportResult ImportMovieFile(const std::string &path, Movie *movie) {
  *movie = Movie();
  DataFile file;
  if (!file.Open(path)) return {kFnfErr, "cannot open " + path};
  std::vector<uint8_t> head(kSniffBytes);
  int64_t n = file.IsRegular() ? file.ReadSome(0, head.data(), head.size()) : -1;
  const int64_t fileSize = file.Size();
  file.Close();
  if (n < 0) return {kIoErr, "cannot read " + path};
  head.resize(size_t(n));
  if (head.empty()) return {kNoMovieFound, "empty file"};

  std::string ext = LowerExtension(path);
  AvFormat format;
  bool useIso = LooksLikeIsoMovie(head.data(), head.size());
  bool useAv = !useIso && SniffAvFormat(head.data(), head.size(), &format);
  if (!useIso && !useAv) {
    if (IsIsoExtension(ext))
      useIso = true;
    else
      useAv = AvFormatForExtension(ext, uint64_t(std::max<int64_t>(fileSize, 0)), &format);
  }
  if (useIso) {
    ParseResult r = OpenIsoMovieFile(path, movie);
    return {r.error, r.message};
  }
  if (useAv) {
    AvImportResult r = ImportWithLibav(path, format, movie);
    return {r.error, r.message};
  }
  return {kNoMovieFound, "not a movie file this runtime can open"};
}

}  // namespace tp::qt
