// ISO / QuickTime parser: byte sources, the box table and the walk over the
// file and its containers. The handlers live in IsoBoxes*.cpp.
#include "container/IsoParser.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "container/IsoParserContext.h"

namespace tp::qt {

bool MemoryByteSource::ReadAt(uint64_t pos, void *dst, size_t n) {
  if (pos > size_ || n > size_ - pos) return false;
  if (n > 0) std::memcpy(dst, data_ + pos, n);
  bytesRead_ += n;
  return true;
}

FileByteSource::~FileByteSource() = default;

QtErr FileByteSource::Open(const std::string &path) {
  size_ = 0;
  if (!file_.Open(path)) return kFnfErr;
  const int64_t end = file_.Size();
  if (end < 0) return kIoErr;
  size_ = uint64_t(end);
  return kNoErr;
}

bool FileByteSource::ReadAt(uint64_t pos, void *dst, size_t n) {
  if (!file_.IsOpen() || pos > size_ || n > size_ - pos) return false;
  if (file_.ReadAt(pos, dst, n) != 0) return false;
  bytesRead_ += n;
  return true;
}

namespace iso {
namespace {

struct Rule {
  uint32_t parent;
  uint32_t type;
  QtErr (*handler)(ParseContext &, const Box &);
};

// Which boxes we read, and where. Anything else is skipped by its size.
constexpr Rule kRules[] = {
    {FourCC("moov"), FourCC("mvhd"), ParseMvhd},      {FourCC("moov"), FourCC("trak"), ParseTrak},
    {FourCC("moov"), FourCC("mvex"), ParseMvex},      {FourCC("moov"), FourCC("cmov"), RefuseCompressedMovie},
    {FourCC("trak"), FourCC("tkhd"), ParseTkhd},      {FourCC("trak"), FourCC("edts"), ParseChildren},
    {FourCC("edts"), FourCC("elst"), ParseElst},      {FourCC("trak"), FourCC("mdia"), ParseMdia},
    {FourCC("mdia"), FourCC("mdhd"), ParseMdhd},      {FourCC("mdia"), FourCC("hdlr"), ParseHdlr},
    {FourCC("mdia"), FourCC("minf"), ParseChildren},  {FourCC("minf"), FourCC("dinf"), ParseChildren},
    {FourCC("dinf"), FourCC("dref"), ParseDref},      {FourCC("minf"), FourCC("stbl"), ParseStbl},
    {FourCC("stbl"), FourCC("stsd"), ParseStsd},      {FourCC("stbl"), FourCC("stts"), ParseStts},
    {FourCC("stbl"), FourCC("ctts"), ParseCtts},      {FourCC("stbl"), FourCC("stss"), ParseStss},
    {FourCC("stbl"), FourCC("stps"), ParseStps},      {FourCC("stbl"), FourCC("stsz"), ParseStsz},
    {FourCC("stbl"), FourCC("stz2"), ParseStz2},      {FourCC("stbl"), FourCC("stsc"), ParseStsc},
    {FourCC("stbl"), FourCC("stco"), ParseStco},      {FourCC("stbl"), FourCC("co64"), ParseCo64},
    {FourCC("stbl"), FourCC("sdtp"), ParseSdtp},      {FourCC("mvex"), FourCC("trex"), ParseTrex},
    {FourCC("mvex"), FourCC("mehd"), ParseMehd},      {FourCC("moof"), FourCC("traf"), ParseTraf},
    {FourCC("traf"), FourCC("tfhd"), ParseTfhd},      {FourCC("traf"), FourCC("tfdt"), ParseTfdt},
    {FourCC("traf"), FourCC("trun"), ParseTrun},      {FourCC("moov"), FourCC("udta"), ParseMovieUserData},
    {FourCC("moov"), FourCC("meta"), ParseMovieMeta}, {FourCC("trak"), FourCC("udta"), ParseTrackUserData},
    {FourCC("trak"), FourCC("tref"), ParseTref},
};

// Top-level box types that mark a movie file when they come first.
constexpr uint32_t kTopLevelTypes[] = {FourCC("ftyp"), FourCC("moov"), FourCC("mdat"), FourCC("free"),
                                       FourCC("skip"), FourCC("wide"), FourCC("pnot"), FourCC("uuid"),
                                       FourCC("junk"), FourCC("PICT"), FourCC("styp"), FourCC("sidx")};

// Reads a box's payload into *buffer, bounded by the table limit.
QtErr ReadPayload(ParseContext &ctx, ByteSource &source, uint64_t at, uint64_t n, const char *what,
                  std::vector<uint8_t> *buffer) {
  if (n > ctx.limits.maxTableBytes) return ctx.Fail(kMemFullErr, std::string(what) + " too large");
  try {
    buffer->resize(size_t(n));
  } catch (const std::bad_alloc &) {
    return ctx.Fail(kMemFullErr, std::string("out of memory reading ") + what);
  }
  if (!source.ReadAt(at, buffer->data(), buffer->size())) {
    return ctx.Fail(kIoErr, std::string("read failed in ") + what);
  }
  return kNoErr;
}

bool PrintableType(uint32_t type) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = uint8_t(type >> (24 - 8 * i));
    if (c < 0x20 || (c > 0x7E && c != 0xA9)) return false;
  }
  return true;
}

// Reads a box header from `head` (avail bytes available, room = bytes left
// in the parent). Sets the header length and the total box size.
QtErr ReadHeader(ParseContext &ctx, const uint8_t *head, uint64_t avail, uint64_t room, uint64_t offset, uint32_t *type,
                 uint64_t *headerSize, uint64_t *boxSize) {
  if (avail < 8) return ctx.Fail(kInvalidMovie, "truncated box header at offset " + std::to_string(offset));
  uint64_t size = Be32(head);
  *type = Be32(head + 4);
  *headerSize = 8;
  if (size == 1) {
    if (avail < 16) return ctx.Fail(kInvalidMovie, "truncated 64-bit box header at offset " + std::to_string(offset));
    size = Be64(head + 8);
    *headerSize = 16;
  } else if (size == 0) {
    size = room;  // extends to the end of its parent (the file at the top)
  }
  if (size < *headerSize) {
    return ctx.Fail(kInvalidMovie, "box '" + FourCCString(*type) + "' at offset " + std::to_string(offset) +
                                       " is smaller than its header");
  }
  if (size > room) {
    return ctx.Fail(kInvalidMovie, "box '" + FourCCString(*type) + "' at offset " + std::to_string(offset) +
                                       " claims " + std::to_string(size) + " bytes, only " + std::to_string(room) +
                                       " remain");
  }
  *boxSize = size;
  return kNoErr;
}

}  // namespace

std::string Where(const Box &box) {
  // Appended piece by piece: GCC 12 at -O3 mistakes `"'" + std::string` for
  // an overlapping copy (-Wrestrict).
  std::string s = "'";
  s += FourCCString(box.type);
  s += "' at offset ";
  s += std::to_string(box.offset);
  return s;
}

QtErr ParseChildren(ParseContext &ctx, const Box &box) {
  if (box.depth >= ctx.limits.maxDepth) return ctx.Fail(kInvalidMovie, "boxes nested too deeply at " + Where(box));
  const std::span<const uint8_t> p = box.payload;
  const uint64_t payloadOffset = box.payloadOffset;
  uint64_t pos = 0;
  uint32_t count = 0;
  while (pos < p.size()) {
    if (++count > ctx.limits.maxBoxesPerContainer) return ctx.Fail(kInvalidMovie, "too many boxes in " + Where(box));
    const uint64_t room = p.size() - pos;
    uint32_t type = 0;
    uint64_t headerSize = 0, size = 0;
    // A container may end with a 4-byte zero terminator (QuickTime 'udta' and
    // older movie files); anything else shorter than a header is an error.
    if (room < 8 && room >= 4 && Be32(p.data() + pos) == 0) break;
    const uint64_t childOffset = payloadOffset + pos;
    if (QtErr e = ReadHeader(ctx, p.data() + pos, room, room, childOffset, &type, &headerSize, &size)) return e;
    Box child;
    child.type = type;
    child.parent = box.type;
    child.depth = box.depth + 1;
    child.offset = childOffset;
    child.payloadOffset = childOffset + headerSize;
    child.payload = p.subspan(size_t(pos + headerSize), size_t(size - headerSize));
    for (const Rule &r : kRules) {
      if (r.parent == box.type && r.type == type) {
        if (QtErr e = r.handler(ctx, child)) return e;
        break;
      }
    }
    pos += size;
  }
  return kNoErr;
}

}  // namespace iso

bool LooksLikeIsoMovie(const uint8_t *head, size_t n) {
  if (!head || n < 8) return false;
  const uint32_t size = iso::Be32(head);
  const uint32_t type = iso::Be32(head + 4);
  if (size != 0 && size != 1 && size < 8) return false;
  for (uint32_t t : iso::kTopLevelTypes) {
    if (t == type) return true;
  }
  return false;
}

ParseResult ParseIsoMovie(ByteSource &source, const std::string &dataPath, Movie *movie, const ParseLimits &limits) {
  ParseResult result;
  if (!movie) {
    result.error = kParamErr;
    result.message = "no movie to fill";
    return result;
  }
  *movie = Movie();
  iso::ParseContext ctx(limits);
  ctx.movie = movie;
  movie->path = dataPath;

  auto fail = [&](QtErr e) {
    result.error = e;
    result.message = ctx.message.empty() ? "invalid movie" : ctx.message;
    *movie = Movie();
    return result;
  };

  const uint64_t fileSize = source.size();
  uint64_t pos = 0;
  uint32_t count = 0;
  bool haveMovie = false;
  while (pos < fileSize) {
    if (++count > limits.maxTopLevelBoxes) return fail(ctx.Fail(kInvalidMovie, "too many top-level boxes"));
    const uint64_t room = fileSize - pos;
    uint8_t head[16];
    const size_t avail = size_t(room < 16 ? room : 16);
    if (!source.ReadAt(pos, head, avail)) return fail(ctx.Fail(kIoErr, "read failed at offset " + std::to_string(pos)));
    if (avail < 8) {
      if (haveMovie) break;  // trailing bytes after a complete movie
      return fail(ctx.Fail(kNoMovieFound, "no movie box ('moov') in the file"));
    }
    uint32_t type = 0;
    uint64_t headerSize = 0, size = 0;
    if (avail >= 8 && !iso::PrintableType(iso::Be32(head + 4))) {
      return fail(ctx.Fail(haveMovie ? kInvalidMovie : kNoMovieFound,
                           "no box at offset " + std::to_string(pos) + ": not a movie file"));
    }
    if (QtErr e = iso::ReadHeader(ctx, head, avail, room, pos, &type, &headerSize, &size)) return fail(e);
    if (type == FourCC("moof")) {
      if (!haveMovie)
        return fail(ctx.Fail(kInvalidMovie, "movie fragment before the movie box at offset " + std::to_string(pos)));
      std::vector<uint8_t> buffer;
      if (QtErr e = iso::ReadPayload(ctx, source, pos + headerSize, size - headerSize, "a movie fragment", &buffer)) {
        return fail(e);
      }
      iso::Box moof;
      moof.type = type;
      moof.depth = 1;
      moof.offset = pos;
      moof.payloadOffset = pos + headerSize;
      moof.payload = buffer;
      if (QtErr e = iso::ParseMovieFragment(ctx, moof)) return fail(e);
    }
    if (type == FourCC("ftyp") && !haveMovie && size - headerSize >= 8 && size - headerSize <= 4096) {
      uint8_t ftyp[4096];
      const size_t n = size_t(size - headerSize);
      if (!source.ReadAt(pos + headerSize, ftyp, n)) return fail(ctx.Fail(kIoErr, "read failed in 'ftyp'"));
      movie->majorBrand = iso::Be32(ftyp);
      for (size_t i = 8; i + 4 <= n; i += 4) movie->compatibleBrands.push_back(iso::Be32(ftyp + i));
    } else if (type == FourCC("moov") && !haveMovie) {
      std::vector<uint8_t> buffer;
      if (QtErr e = iso::ReadPayload(ctx, source, pos + headerSize, size - headerSize, "the movie box", &buffer)) {
        return fail(e);
      }
      iso::Box moov;
      moov.type = type;
      moov.depth = 1;
      moov.offset = pos;
      moov.payloadOffset = pos + headerSize;
      moov.payload = buffer;
      if (QtErr e = iso::ParseChildren(ctx, moov)) return fail(e);
      if (!ctx.haveMovieHeader) return fail(ctx.Fail(kInvalidMovie, "movie box without a movie header ('mvhd')"));
      haveMovie = true;
    }
    pos += size;
  }
  if (!haveMovie) return fail(ctx.Fail(kNoMovieFound, "no movie box ('moov') in the file"));
  // A fragmented movie's header may know only the movie box's samples; the
  // fragment duration and the tracks' edits tell the rest.
  const bool fragmented = ctx.fragmented || !ctx.fragments.empty();
  if (QtErr e = iso::FinishFragments(ctx)) return fail(e);
  if (fragmented && ctx.fragmentDuration <= uint64_t(INT64_MAX)) {
    movie->duration = std::max(movie->duration, int64_t(ctx.fragmentDuration));
  }

  for (Track &t : movie->tracks) {
    if (t.edits.empty()) {
      // No edit list: the whole media plays once from movie time 0, for the
      // track's duration (or the media's, when the track header has none).
      int64_t d = t.duration;
      if (d <= 0) {
        const __int128 scaled =
            (__int128(t.media.duration) * movie->timeScale + t.media.timeScale - 1) / t.media.timeScale;
        d = scaled > INT64_MAX ? INT64_MAX : int64_t(scaled);
      }
      t.edits.push_back({d, 0, kFixed1});
      t.hasEditList = false;
    }
    if (fragmented) {
      int64_t total = 0;
      for (const EditSegment &e : t.edits) {
        if (__builtin_add_overflow(total, e.movieDuration, &total)) total = INT64_MAX;
      }
      movie->duration = std::max(movie->duration, total);
    }
    const uint64_t end = t.media.samples.DataEnd();
    if (end > fileSize) {
      return fail(ctx.Fail(kInvalidMovie, "track " + std::to_string(t.id) + ": sample data ends at " +
                                              std::to_string(end) + ", past the end of the file (" +
                                              std::to_string(fileSize) + ")"));
    }
  }
  return result;
}

ParseResult OpenIsoMovieFile(const std::string &path, Movie *movie, uint64_t *bytesRead) {
  FileByteSource source;
  if (QtErr e = source.Open(path)) {
    if (movie) *movie = Movie();
    return {e, "cannot open " + path};
  }
  ParseResult r = ParseIsoMovie(source, path, movie);
  if (bytesRead) *bytesRead = source.bytesRead();
  return r;
}

}  // namespace tp::qt
