// The runtime's movie model: what an importer builds when a movie is opened
// and what every movie-toolbox call answers from. A Movie owns its Tracks, a
// Track owns its Media, a Media owns its sample descriptions and its
// SampleTable. Importers (the ISO parser, the libavformat importer) fill a
// Movie by value; afterwards it is read-only and may be shared between
// threads without locks.
//
// Times: movie times in the movie's time scale, media times in the media's.
// All 64-bit signed. Sample data is never held here except in the in-memory
// blob of importers that have to keep it; otherwise a media names its file and
// each sample its byte position in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/SampleTable.h"

namespace tp::qt {

// QuickTime error numbers used by the model and the importers (the values are
// QuickTime's own).
using QtErr = int16_t;
enum QtError : int16_t {
  kNoErr = 0,
  kIoErr = -36,
  kEofErr = -39,
  kFnfErr = -43,
  kParamErr = -50,
  kMemFullErr = -108,
  kCouldNotResolveDataRef = -2000,
  kBadImageDescription = -2001,
  kCantFindHandler = -2003,
  kInvalidMedia = -2008,
  kInvalidTrack = -2009,
  kInvalidMovie = -2010,
  kInvalidSampleTable = -2011,
  kInvalidDuration = -2014,
  kBadEditList = -2017,
  kInvalidSampleDescIndex = -2039,
  kInvalidSampleDescription = -2041,
  kNoMovieFound = -2048,
  kFeatureUnsupported = -2053,
};

constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) |
         uint32_t(uint8_t(d));
}
constexpr uint32_t FourCC(const char (&s)[5]) { return FourCC(s[0], s[1], s[2], s[3]); }
// "abcd" for logs; non-printable bytes become '.'.
std::string FourCCString(uint32_t code);

constexpr uint32_t kVideoMediaType = FourCC("vide");
constexpr uint32_t kSoundMediaType = FourCC("soun");
constexpr int32_t kFixed1 = 0x10000;  // 1.0 in 16.16

// Where a media's sample bytes live. Exactly one of path / blob is used:
// with a blob, sample positions are offsets into it.
struct DataSource {
  std::string path;                                  // UTF-8 file path (may be empty with a blob)
  std::shared_ptr<const std::vector<uint8_t>> blob;  // in-memory data, shared, read-only
  bool selfContained = true;                         // false: the file names an external data reference
};

// One edit: movieDuration units of movie time play the media from mediaTime
// (media units) at mediaRate (16.16). mediaTime -1 is an empty edit.
struct EditSegment {
  int64_t movieDuration = 0;
  int64_t mediaTime = 0;
  int32_t mediaRate = kFixed1;
};

// Fields of an ImageDescription (video sample description), host order.
struct ImageDescriptionInfo {
  uint32_t codecType = 0;
  int16_t version = 0;
  int16_t revisionLevel = 0;
  uint32_t vendor = 0;
  int16_t width = 0;
  int16_t height = 0;
  int32_t hRes = 0;  // 16.16
  int32_t vRes = 0;
  int16_t frameCount = 0;
  std::string name;  // from the Pascal string
  int16_t depth = 0;
  int16_t clutID = 0;
};

// Fields of a SoundDescription v0/v1/v2, host order. For v2 the channel count
// and rate come from the v2 fields.
struct SoundDescriptionInfo {
  uint32_t dataFormat = 0;
  int16_t version = 0;
  uint32_t numChannels = 0;
  uint32_t sampleSize = 0;  // bits (v2: constBitsPerChannel)
  int16_t compressionID = 0;
  int16_t packetSize = 0;
  uint32_t sampleRate = 0;  // 16.16 as stored (v2: the rate converted, saturated)
  double sampleRateHz = 0;
  // v1 (all 0 for an ISO-style version 1 entry, which lacks these fields)
  bool isoVersion1 = false;
  uint32_t samplesPerPacket = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t bytesPerSample = 0;
  // v2
  uint32_t formatSpecificFlags = 0;
  uint32_t constBytesPerAudioPacket = 0;
  uint32_t constLPCMFramesPerAudioPacket = 0;
};

// Sizes of the fixed part of each record; extension atoms follow it.
constexpr size_t kSampleDescriptionHeaderSize = 16;  // size, format, reserved[6], dataRefIndex
constexpr size_t kImageDescriptionSize = 86;
constexpr size_t kSoundDescriptionV0Size = 36;
constexpr size_t kSoundDescriptionV1Size = 52;
constexpr size_t kSoundDescriptionV2Size = 72;

// Reads the fixed fields of a stored description. False when the bytes are
// too short for the record (the extensions are not checked here).
bool ReadImageDescription(std::span<const uint8_t> desc, ImageDescriptionInfo *out);
bool ReadSoundDescription(std::span<const uint8_t> desc, SoundDescriptionInfo *out);
// Byte offset where the extension atoms of a description start, given its
// media type; 0 when the record is too short.
size_t DescriptionExtensionsOffset(std::span<const uint8_t> desc, uint32_t mediaType);
// Finds atom `type` in a run of atoms (size, type, payload...) and returns its
// payload (without the 8-byte header). Stops at a zero-size terminator or at
// the first atom that does not fit.
std::optional<std::span<const uint8_t>> FindAtom(std::span<const uint8_t> atoms, uint32_t type);
// Extension `type` of a description ('avcC', 'esds', 'wave', 'glbl', 'chan',
// ...), its payload as GetImageDescriptionExtension / GetSoundDescription-
// Extension hand it out.
std::optional<std::span<const uint8_t>> FindDescriptionExtension(std::span<const uint8_t> desc, uint32_t mediaType,
                                                                 uint32_t type);

// One item of a user data list ('udta'), its payload as stored. Text items
// (the '\xA9' types) hold a 16-bit length, a 16-bit language and the text.
struct UserDataItem {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// A track reference ('tref' child): the ids of the tracks it names.
struct TrackReference {
  uint32_t type = 0;  // 'chap', 'hint', 'tmcd', ...
  std::vector<uint32_t> trackIds;
};

// One entry of a movie's chapter list ('chpl').
struct ChapterEntry {
  int64_t start = 0;  // 100 ns units
  std::string title;  // UTF-8 as stored
};

struct Media {
  uint32_t handlerType = 0;  // 'vide', 'soun', others as stored
  uint32_t timeScale = 0;    // units per second, > 0 after a successful import
  int64_t duration = 0;      // media units, as stored
  uint16_t language = 0;     // packed ISO-639-2/T or Macintosh language code, as stored
  uint16_t quality = 0;
  std::string handlerName;
  // Sample descriptions as stored: each the complete record (ImageDescription,
  // SoundDescription or generic) with its big-endian fields and its extension
  // atoms. Description n is sampleDescriptions[n - 1].
  std::vector<std::vector<uint8_t>> sampleDescriptions;
  SampleTable samples;
  DataSource data;

  // Description n (1-based), or an empty span.
  std::span<const uint8_t> Description(uint32_t n) const;
};

struct Track {
  uint32_t id = 0;
  bool enabled = true;
  uint32_t headerFlags = 0;  // tkhd flags: 1 enabled, 2 in movie, 4 in preview
  int64_t duration = 0;      // movie units (tkhd)
  int16_t layer = 0;
  int16_t alternateGroup = 0;
  int16_t volume = 0;  // 8.8
  int32_t matrix[9] = {kFixed1, 0, 0, 0, kFixed1, 0, 0, 0, 0x40000000};
  int32_t width = 0;         // 16.16
  int32_t height = 0;        // 16.16
  bool hasEditList = false;  // false: edits holds the implicit single edit
  std::vector<EditSegment> edits;
  Media media;
  std::string name;  // the user data's 'name' item, or empty
  std::vector<TrackReference> references;
  std::vector<UserDataItem> userData;

  // Maps a movie time to the media time that plays then. False in an empty
  // edit, before 0 or past the last edit. *segmentIndex gets the edit used.
  bool MovieToMediaTime(int64_t movieTime, uint32_t movieTimeScale, int64_t *mediaTime,
                        size_t *segmentIndex = nullptr) const;
  // Next (or, backwards, previous) movie time at which a sample of this track
  // starts to play, including the start of an edit that begins inside a
  // sample. edgeOK accepts `movieTime` itself. *duration (optional) gets how
  // long that sample plays in movie time, cut at the edit's end.
  bool NextSampleTime(int64_t movieTime, uint32_t movieTimeScale, bool edgeOK, bool backwards, int64_t *outTime,
                      int64_t *duration = nullptr) const;
  // Sum of the edits' movie durations.
  int64_t EditedDuration() const;
};

struct Movie {
  uint32_t timeScale = 0;  // > 0 after a successful import
  int64_t duration = 0;    // movie units (mvhd)
  int32_t preferredRate = kFixed1;
  int16_t preferredVolume = 0x100;
  uint32_t nextTrackId = 0;
  uint32_t majorBrand = 0;  // 0 for files without 'ftyp'
  std::vector<uint32_t> compatibleBrands;
  std::string path;           // the file it came from
  std::vector<Track> tracks;  // in file order (= track index order)
  // The movie's user data in file order, then each text item of the
  // 'meta'/'ilst' list as a text item of the matching type ('\xA9nam',
  // '\xA9ART', '\xA9cpy' for 'cprt', '\xA9des' for 'desc', ...), so that one
  // lookup finds a title in either place.
  std::vector<UserDataItem> userData;
  std::vector<ChapterEntry> chapterList;  // from 'chpl', in file order

  // The track with that id, or null.
  const Track *TrackById(uint32_t id) const;
  // The first track whose media has `handlerType`, or null.
  const Track *FirstTrackOfType(uint32_t handlerType) const;
  // GetMovieNextInterestingTime for sample boundaries: the nearest sample
  // start over the tracks whose handler type is in `mediaTypes` (every track
  // when empty). False when there is none (the API answers -1).
  bool NextInterestingTime(std::span<const uint32_t> mediaTypes, int64_t time, bool edgeOK, bool backwards,
                           int64_t *outTime, int64_t *duration = nullptr) const;
};

}  // namespace tp::qt
