#include "container/OwnImporters.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "container/SampleDescriptions.h"

namespace tp::qt {

std::vector<uint8_t> IndexlessExtensions(const char *decoder, std::span<const uint8_t> setup) {
  std::vector<uint8_t> ext;
  AppendAtom(&ext, FourCC("lavc"), std::span(reinterpret_cast<const uint8_t *>(decoder), std::strlen(decoder)));
  if (!setup.empty()) AppendAtom(&ext, FourCC("glbl"), setup);
  return ext;
}

bool OffsetsFromPictureOrder(const std::vector<int64_t> &orders, const std::vector<int64_t> &dts,
                             std::vector<int64_t> *offsets) {
  const size_t n = orders.size();
  if (n == 0 || dts.size() != n || std::any_of(orders.begin(), orders.end(), [](int64_t o) { return o == INT64_MIN; }))
    return false;
  offsets->assign(n, 0);
  std::vector<size_t> run;
  for (size_t start = 0; start < n;) {
    size_t end = start + 1;
    while (end < n && orders[end] > orders[start]) ++end;
    run.resize(end - start);
    std::iota(run.begin(), run.end(), start);
    std::stable_sort(run.begin(), run.end(), [&](size_t a, size_t b) { return orders[a] < orders[b]; });
    for (size_t rank = 0; rank < run.size(); ++rank) (*offsets)[run[rank]] = dts[start + rank] - dts[run[rank]];
    start = end;
  }
  return true;
}

void FinishIndexlessMovie(const std::string &path, std::vector<Track> tracks, Movie *movie) {
  Movie result;
  result.path = path;
  result.tracks = std::move(tracks);
  const Track *clock = nullptr;
  for (size_t i = 0; i < result.tracks.size(); ++i) {
    result.tracks[i].id = uint32_t(i + 1);
    if (!clock && result.tracks[i].media.handlerType == kVideoMediaType) clock = &result.tracks[i];
  }
  if (!clock && !result.tracks.empty()) clock = &result.tracks.front();
  result.timeScale = clock ? clock->media.timeScale : 600;
  result.nextTrackId = uint32_t(result.tracks.size() + 1);
  for (Track &t : result.tracks) {
    // Media duration in movie units, rounded up so that the edit covers the
    // whole media.
    const __int128 scaled = __int128(t.media.duration) * result.timeScale;
    const int64_t d = int64_t((scaled + t.media.timeScale - 1) / t.media.timeScale);
    t.duration = d;
    t.hasEditList = false;
    t.edits = {EditSegment{d, 0, kFixed1}};
    result.duration = std::max(result.duration, d);
  }
  *movie = std::move(result);
}

}  // namespace tp::qt
