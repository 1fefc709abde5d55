// Box handlers for what describes a movie rather than plays it: user data
// ('udta': titles, track names, the 'chpl' chapter list), the 'meta'/'ilst'
// metadata list and track references ('tref', such as the 'chap' reference
// to a chapter track).
//
// None of them fails the movie. A damaged item ends the reading of its own
// list and what was read before it stays; the rest of the movie is read as
// if the list were not there.
#include <cstring>

#include "container/IsoParserContext.h"

namespace tp::qt::iso {
namespace {

constexpr size_t kMaxUserDataItems = 1024;
constexpr size_t kMaxReferencedTracks = 1024;
constexpr uint32_t kCopyright = 0xA9000000u | (uint32_t('c') << 16) | (uint32_t('p') << 8) | uint32_t('y');
constexpr uint32_t kDescription = 0xA9000000u | (uint32_t('d') << 16) | (uint32_t('e') << 8) | uint32_t('s');
constexpr uint32_t kWellKnownUtf8 = 1;
constexpr uint16_t kUndeterminedLanguage = 0x55C4;  // packed "und"

// One child box inside a payload: its type and its own payload. Sizes 0
// (to the end) and 1 (64-bit) are taken as the parser takes them.
struct Child {
  uint32_t type = 0;
  std::span<const uint8_t> payload;
};

// Splits a payload into its child boxes, stopping at the first one that does
// not fit (or at a 4-byte zero terminator).
std::vector<Child> Children(std::span<const uint8_t> p, size_t limit) {
  std::vector<Child> out;
  size_t pos = 0;
  while (p.size() - pos >= 8 && out.size() < limit) {
    uint64_t size = Be32(p.data() + pos);
    size_t header = 8;
    if (size == 1) {
      if (p.size() - pos < 16) break;
      size = Be64(p.data() + pos + 8);
      header = 16;
    } else if (size == 0) {
      size = p.size() - pos;
    }
    if (size < header || size > p.size() - pos) break;
    out.push_back({Be32(p.data() + pos + 4), p.subspan(pos + header, size_t(size) - header)});
    pos += size_t(size);
  }
  return out;
}

// The QuickTime form of a text item: length, language, text.
std::vector<uint8_t> TextItem(std::span<const uint8_t> text) {
  const size_t n = std::min<size_t>(text.size(), 0xFFFF);
  std::vector<uint8_t> item(4 + n);
  item[0] = uint8_t(n >> 8);
  item[1] = uint8_t(n);
  item[2] = uint8_t(kUndeterminedLanguage >> 8);
  item[3] = uint8_t(kUndeterminedLanguage & 0xFF);
  if (n > 0) std::memcpy(item.data() + 4, text.data(), n);
  return item;
}

// The user data type that stands for an 'ilst' key.
uint32_t UserDataTypeForKey(uint32_t key) {
  if (key == FourCC("cprt")) return kCopyright;
  if (key == FourCC("desc")) return kDescription;
  return key;
}

// 'ilst': each item is a box named by its key holding a 'data' box (type
// indicator, locale, value). UTF-8 values become text items.
void ReadItemList(Movie &movie, std::span<const uint8_t> ilst) {
  for (const Child &item : Children(ilst, kMaxUserDataItems)) {
    if (movie.userData.size() >= kMaxUserDataItems) return;
    for (const Child &data : Children(item.payload, 8)) {
      if (data.type != FourCC("data") || data.payload.size() < 8) continue;
      if ((Be32(data.payload.data()) & 0xFFFFFF) != kWellKnownUtf8) continue;
      movie.userData.push_back({UserDataTypeForKey(item.type), TextItem(data.payload.subspan(8))});
      break;
    }
  }
}

// 'meta' is a full box in ISO files and a plain container in some QuickTime
// ones: its children start at 4 when the first 8 bytes are not a box header.
void ReadMeta(Movie &movie, std::span<const uint8_t> meta) {
  if (meta.size() >= 12 && Be32(meta.data() + 4) != FourCC("hdlr") && Be32(meta.data()) == 0) meta = meta.subspan(4);
  for (const Child &c : Children(meta, 64)) {
    if (c.type == FourCC("ilst")) ReadItemList(movie, c.payload);
  }
}

// 'chpl': version, flags, (version 1: 4 reserved bytes), a count, then per
// chapter a 64-bit start in 100 ns units and a title with a length byte. A
// chapter cut short ends the list; those read before it stay.
void ReadChapterList(Movie &movie, std::span<const uint8_t> p) {
  if (p.size() < 5) return;
  size_t pos = p[0] == 1 ? 8 : 4;
  if (p.size() < pos + 1) return;
  const size_t count = p[pos++];
  std::vector<ChapterEntry> chapters;
  for (size_t i = 0; i < count; ++i) {
    if (p.size() - pos < 9) break;
    const uint64_t start = Be64(p.data() + pos);
    const size_t length = p[pos + 8];
    pos += 9;
    if (p.size() - pos < length || start > uint64_t(INT64_MAX)) break;
    chapters.push_back({int64_t(start), std::string(reinterpret_cast<const char *>(p.data() + pos), length)});
    pos += length;
  }
  movie.chapterList = std::move(chapters);
}

void ReadUserData(std::span<const uint8_t> udta, std::vector<UserDataItem> *items) {
  for (const Child &c : Children(udta, kMaxUserDataItems)) {
    items->push_back({c.type, std::vector<uint8_t>(c.payload.begin(), c.payload.end())});
  }
}

}  // namespace

QtErr ParseMovieUserData(ParseContext &ctx, const Box &box) {
  Movie &m = *ctx.movie;
  const size_t first = m.userData.size();
  ReadUserData(box.payload, &m.userData);
  // The lists inside are read after the items themselves, so that a title in
  // 'udta' comes before the same title in 'ilst'.
  const size_t last = m.userData.size();
  for (size_t i = first; i < last; ++i) {
    const UserDataItem &item = m.userData[i];
    if (item.type == FourCC("chpl")) {
      ReadChapterList(m, item.data);
    } else if (item.type == FourCC("meta")) {
      const std::vector<uint8_t> meta = item.data;  // ReadMeta appends to m.userData
      ReadMeta(m, meta);
    }
  }
  return kNoErr;
}

QtErr ParseMovieMeta(ParseContext &ctx, const Box &box) {
  ReadMeta(*ctx.movie, box.payload);
  return kNoErr;
}

QtErr ParseTrackUserData(ParseContext &ctx, const Box &box) {
  if (!ctx.track) return kNoErr;
  Track &t = *ctx.track;
  ReadUserData(box.payload, &t.userData);
  for (const UserDataItem &item : t.userData) {
    if (item.type != FourCC("name") || !t.name.empty()) continue;
    // A plain string, sometimes NUL-terminated.
    size_t n = 0;
    while (n < item.data.size() && n < 255 && item.data[n] != 0) ++n;
    t.name.assign(reinterpret_cast<const char *>(item.data.data()), n);
  }
  return kNoErr;
}

QtErr ParseTref(ParseContext &ctx, const Box &box) {
  if (!ctx.track) return kNoErr;
  for (const Child &c : Children(box.payload, 64)) {
    TrackReference ref;
    ref.type = c.type;
    for (size_t at = 0; at + 4 <= c.payload.size() && ref.trackIds.size() < kMaxReferencedTracks; at += 4) {
      ref.trackIds.push_back(Be32(c.payload.data() + at));
    }
    ctx.track->references.push_back(std::move(ref));
  }
  return kNoErr;
}

}  // namespace tp::qt::iso
