// OwnImporters: our own readers of two file types that carry no sample
// index, built on every system: AIFF / AIFF-C sound and raw H.264 (Annex B
// byte stream, .264). They build the movie model the way the libavformat
// importer does (AvImporter.h): the same packets as samples (their sizes,
// file positions, durations and sync flags), the same time scales, the same
// descriptions with the same extension atoms, one track, no edit list. The
// Windows runtime, which has no libavformat, opens these types with them.
//
// AIFF: linear PCM of 1 to 32 bits, and in AIFF-C 'NONE', 'twos', 'sowt'
// (16-bit), 'in24', 'in32', 'raw ', 'fl32', 'fl64', 'ulaw', 'alaw' and
// 'ima4'. Samples are packets of whole frames of at most 4,096 bytes
// ('ima4': one block per channel), on the sample rate's time scale.
// Another compression type is refused with a message naming it.
//
// Raw H.264: the stream is cut into access units where a parameter set, an
// access unit delimiter or SEI follows a picture's slices, or a slice starts
// a new picture; each unit, from its start code to the next unit's, is one
// sample, 1/1,200,000 s units, each lasting a frame of the rate the stream's
// timing information gives (25 per second without one); sync where the unit
// holds an IDR slice or a recovery point. Display offsets come from the
// pictures' order counts (AvcPictureOrder), grouped in runs as the
// libavformat importer groups them.
//
// Files: AiffImporter.cpp, AnnexBImporter.cpp, and the helpers they share
// with the libavformat importer here. The whole file is read once at open (a bounded number of bytes in memory
// at a time); every size read from it is checked; nothing throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/AvImporter.h"
#include "container/MovieModel.h"

namespace tp::qt {

// The first bytes of a file: "FORM" .... "AIFF" or "AIFC".
bool LooksLikeAiff(const uint8_t *head, size_t n);

AvImportResult ImportAiff(const std::string &path, Movie *movie);
AvImportResult ImportAnnexB(const std::string &path, Movie *movie, const AvImportLimits &limits = AvImportLimits());

// Display offsets for samples that have decode order only, from picture
// order counts: the count starts again at each refresh point, and within
// one run (a sample whose count is not above the run's first ends it) the
// pictures show in the order of their counts, taking the run's decode
// times in turn. False (offsets untouched) when a count is missing
// (INT64_MIN). Shared with the libavformat importer.
bool OffsetsFromPictureOrder(const std::vector<int64_t> &orders, const std::vector<int64_t> &decodeTimes,
                             std::vector<int64_t> *offsets);

// The extension atoms the libavformat importer gives every description:
// the decoder's name ('lavc') and the stream's set-up bytes ('glbl').
std::vector<uint8_t> IndexlessExtensions(const char *decoder, std::span<const uint8_t> setup = {});

// Finishes a movie of the given tracks as the libavformat importer does:
// track ids in order, the first video track's time scale (else the first
// track's), each track one implicit edit over its whole media.
void FinishIndexlessMovie(const std::string &path, std::vector<Track> tracks, Movie *movie);

}  // namespace tp::qt
