// Internals of the ISO / QuickTime parser shared by its box handlers: the
// parse context, the box record handed to each handler, big-endian readers
// and the handler declarations. One handler per box type; IsoParser.cpp owns
// the table that maps (parent, type) to a handler and walks the containers.
//
// Each handler gets the box's payload as a span that lies inside the movie
// box already read into memory, so a handler can never read outside its box
// as long as it checks its own lengths against payload.size() first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "container/IsoParser.h"

namespace tp::qt::iso {

inline uint16_t Be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint64_t Be64(const uint8_t *p) { return (uint64_t(Be32(p)) << 32) | Be32(p + 4); }

struct Box {
  uint32_t type = 0;
  uint32_t parent = 0;         // 0 at the top level
  uint32_t depth = 0;          // 1 for top-level boxes
  uint64_t offset = 0;         // of the box header in the file
  uint64_t payloadOffset = 0;  // of the payload in the file
  std::span<const uint8_t> payload;
};

// What has been seen inside the current track, to refuse duplicates and to
// check completeness when the track ends.
enum SeenBit : uint32_t {
  kSeenTkhd = 1u << 0,
  kSeenMdia = 1u << 1,
  kSeenMdhd = 1u << 2,
  kSeenHdlr = 1u << 3,
  kSeenStbl = 1u << 4,
  kSeenStsd = 1u << 5,
  kSeenStts = 1u << 6,
  kSeenCtts = 1u << 7,
  kSeenStss = 1u << 8,
  kSeenStps = 1u << 9,
  kSeenStsz = 1u << 10,
  kSeenStsc = 1u << 11,
  kSeenStco = 1u << 12,
  kSeenSdtp = 1u << 13,
  kSeenElst = 1u << 14,
  kSeenDref = 1u << 15,
};

// Sample defaults of one track for its fragments ('trex').
struct TrackExtends {
  uint32_t trackId = 0;
  uint32_t descriptionIndex = 1;
  uint32_t duration = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
};

// The samples a track gains from movie fragments, gathered one at a time in
// decode order behind the samples its movie box already holds; merged into
// the track's table once the whole file has been read.
struct FragmentedTrack {
  bool started = false;
  SampleTable table;
  int64_t nextDecodeTime = 0;  // where the next appended sample starts
  uint64_t samples = 0;        // appended so far
  // One sdtp byte per sample, kept only from the first one that says
  // something (zeros before it are added then).
  std::vector<uint8_t> dependency;
};

// The track fragment being read, inside 'traf'.
struct TrackFragment {
  size_t trackIndex = 0;
  bool haveHeader = false;
  uint64_t baseDataOffset = 0;
  uint64_t nextDataOffset = 0;  // end of the previous run's data
  uint32_t descriptionIndex = 1;
  uint32_t defaultDuration = 0;
  uint32_t defaultSize = 0;
  uint32_t defaultFlags = 0;
};

struct ParseContext {
  const ParseLimits &limits;
  Movie *movie = nullptr;
  Track *track = nullptr;  // the track being read, inside 'trak'
  uint32_t seen = 0;       // SeenBit set of the current track
  bool haveMovieHeader = false;
  uint64_t mediaDurationRaw = 0;  // mdhd duration as stored (all ones: unknown)
  // Fragments: 'mvex' seen, its defaults, the fragment duration of 'mehd'
  // (movie units), the samples gathered per track (by track index), the
  // fragment being read and its 'moof' offset.
  bool fragmented = false;
  std::vector<TrackExtends> extends;
  uint64_t fragmentDuration = 0;
  std::vector<FragmentedTrack> fragments;
  // Track index by id, sorted by id, built at the first 'moof' ('extends'
  // is sorted by id then too), so each track fragment finds its track in
  // logarithmic time however many there are.
  std::vector<std::pair<uint32_t, size_t>> trackById;
  uint64_t fragmentSamples = 0;  // appended so far, over all tracks
  uint64_t moofOffset = 0;
  uint64_t previousTrafDataEnd = 0;
  bool firstTrafInMoof = true;
  TrackFragment traf;
  std::string message;

  explicit ParseContext(const ParseLimits &l) : limits(l) {}
  // Records the first failure's message and returns its code.
  QtErr Fail(QtErr code, const std::string &text) {
    if (message.empty()) message = text;
    return code;
  }
  // Fails on a second box of a kind that may appear once per track.
  bool Once(SeenBit bit) {
    if (seen & bit) return false;
    seen |= bit;
    return true;
  }
};

// "'type' at offset N" for messages.
std::string Where(const Box &box);

// Walks the children of a container box and dispatches each to its handler.
QtErr ParseChildren(ParseContext &ctx, const Box &box);

// Box handlers (IsoBoxesMovie.cpp).
QtErr ParseMvhd(ParseContext &ctx, const Box &box);
QtErr ParseTrak(ParseContext &ctx, const Box &box);
QtErr ParseTkhd(ParseContext &ctx, const Box &box);
QtErr ParseElst(ParseContext &ctx, const Box &box);
QtErr ParseMdia(ParseContext &ctx, const Box &box);
QtErr ParseMdhd(ParseContext &ctx, const Box &box);
QtErr ParseHdlr(ParseContext &ctx, const Box &box);
QtErr ParseDref(ParseContext &ctx, const Box &box);
QtErr ParseStbl(ParseContext &ctx, const Box &box);
QtErr RefuseCompressedMovie(ParseContext &ctx, const Box &box);
// Box handlers (IsoBoxesSampleTable.cpp).
QtErr ParseStsd(ParseContext &ctx, const Box &box);
QtErr ParseStts(ParseContext &ctx, const Box &box);
QtErr ParseCtts(ParseContext &ctx, const Box &box);
QtErr ParseStss(ParseContext &ctx, const Box &box);
QtErr ParseStps(ParseContext &ctx, const Box &box);
QtErr ParseStsz(ParseContext &ctx, const Box &box);
QtErr ParseStz2(ParseContext &ctx, const Box &box);
QtErr ParseStsc(ParseContext &ctx, const Box &box);
QtErr ParseStco(ParseContext &ctx, const Box &box);
QtErr ParseCo64(ParseContext &ctx, const Box &box);
QtErr ParseSdtp(ParseContext &ctx, const Box &box);

// Box handlers for user data, metadata, chapter lists and track references
// (IsoBoxesUserData.cpp). None of them fails the movie: what is damaged in
// them is left out, since a movie plays the same without its title.
QtErr ParseMovieUserData(ParseContext &ctx, const Box &box);
QtErr ParseMovieMeta(ParseContext &ctx, const Box &box);
QtErr ParseTrackUserData(ParseContext &ctx, const Box &box);
QtErr ParseTref(ParseContext &ctx, const Box &box);

// Box handlers for movie fragments (IsoBoxesFragments.cpp).
QtErr ParseMvex(ParseContext &ctx, const Box &box);
QtErr ParseMehd(ParseContext &ctx, const Box &box);
QtErr ParseTrex(ParseContext &ctx, const Box &box);
QtErr ParseTraf(ParseContext &ctx, const Box &box);
QtErr ParseTfhd(ParseContext &ctx, const Box &box);
QtErr ParseTfdt(ParseContext &ctx, const Box &box);
QtErr ParseTrun(ParseContext &ctx, const Box &box);
// Reads one top-level 'moof' (its payload already in memory).
QtErr ParseMovieFragment(ParseContext &ctx, const Box &moof);
// After the last box of the file: puts each track's fragment samples behind
// its own and updates the media, track and movie durations.
QtErr FinishFragments(ParseContext &ctx);

// Completes the current track after its 'trak' box: checks that the media is
// complete, builds the sample table and the implicit edit.
QtErr FinishTrack(ParseContext &ctx, const Box &trak);

}  // namespace tp::qt::iso
