// The Windows runtime has no libavformat: AIFF / AIFF-C and raw H.264 are
// opened by our own readers (OwnImporters.h), the same ones the Linux tests
// hold against libavformat. The other index-less types (.cif, .amr, .dv,
// .flc) are refused with a message naming the format.

#include "container/AvImporter.h"
#include "BackEnds.h"
#include "container/OwnImporters.h"

namespace tp::qt {

namespace {

const char *FormatTitle(AvFormat format) {
  switch (format) {
    case AvFormat::kH261:
      return "H.261 (.cif)";
    case AvFormat::kH263:
      return "H.263 (.cif)";
    case AvFormat::kCifYuv:
      return "raw CIF pictures (.cif)";
    case AvFormat::kAmr:
      return "AMR (.amr)";
    case AvFormat::kDv:
      return "DV (.dv .dif)";
    case AvFormat::kFlic:
      return "FLIC (.flc)";
    case AvFormat::kH264:
    case AvFormat::kAiff:
      break;
  }
  return AvFormatName(format);
}

}  // namespace

AvImportResult WindowsImportIndexless(const std::string &path, AvFormat format, Movie *movie,
                                      const AvImportLimits &limits) {
  *movie = Movie();
  if (format == AvFormat::kAiff) return ImportAiff(path, movie);
  if (format == AvFormat::kH264) return ImportAnnexB(path, movie, limits);
  return {kNoMovieFound, std::string("no reader for ") + FormatTitle(format) + " files in this runtime: " + path};
}

// By content: AIFF's form header, and a byte stream that opens with a start
// code and an H.264 sequence parameter set or access unit delimiter.
bool WindowsSniffAvFormat(const uint8_t *head, size_t n, AvFormat *format) {
  if (LooksLikeAiff(head, n)) {
    *format = AvFormat::kAiff;
    return true;
  }
  if (head && n >= 5) {
    const size_t code = head[2] == 1 ? 3 : (head[2] == 0 && head[3] == 1 ? 4 : 0);
    if (head[0] == 0 && head[1] == 0 && code && n > code) {
      const int type = head[code] & 0x1F;
      if ((head[code] & 0x80) == 0 && (type == 7 || type == 9)) {
        *format = AvFormat::kH264;
        return true;
      }
    }
  }
  return false;
}

}  // namespace tp::qt
