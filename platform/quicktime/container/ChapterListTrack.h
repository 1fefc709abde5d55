// A movie's 'chpl' chapter list presented as a chapter track: a text track
// whose samples are the chapter titles, so that a caller reads chapters the
// same way whichever of the two forms the file stores.
//
// The track is built in memory (its samples live in a blob it shares) and
// belongs to whoever asked for it; it is not one of the movie's tracks.
#pragma once

#include "container/MovieModel.h"

namespace tp::qt {

// The chapter track for movie.chapterList, in the movie's time scale: one
// sample per chapter (a 16-bit big-endian length, then the UTF-8 title),
// chapters in order of their start, each lasting until the next starts and
// the last until the movie ends. Chapters that start at the same time as an
// earlier one or after the movie's end are left out. False (nothing written)
// when no chapter is left.
bool MakeChapterListTrack(const Movie &movie, Track *out);

}  // namespace tp::qt
