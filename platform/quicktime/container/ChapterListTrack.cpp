#include "container/ChapterListTrack.h"

#include <algorithm>

namespace tp::qt {

bool MakeChapterListTrack(const Movie &movie, Track *out) {
  if (!out || movie.timeScale == 0 || movie.chapterList.empty()) return false;
  struct Entry {
    int64_t start;  // movie units
    const std::string *title;
  };
  std::vector<Entry> entries;
  for (const ChapterEntry &c : movie.chapterList) {
    const __int128 start = __int128(c.start) * movie.timeScale / 10000000;
    if (start >= movie.duration && !(start == 0 && movie.duration == 0)) continue;
    entries.push_back({int64_t(start), &c.title});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.start < b.start; });
  entries.erase(
      std::unique(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.start == b.start; }),
      entries.end());
  if (entries.empty()) return false;

  Track track;
  track.headerFlags = 2;  // in the movie, not enabled: it is never played
  track.enabled = false;
  Media &media = track.media;
  media.handlerType = FourCC("text");
  media.handlerName = "Chapter List";
  media.timeScale = movie.timeScale;
  media.language = 0x55C4;  // "und"
  auto blob = std::make_shared<std::vector<uint8_t>>();
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string &title = *entries[i].title;
    const int64_t end = i + 1 < entries.size() ? entries[i + 1].start : std::max<int64_t>(movie.duration, 1);
    const uint64_t at = blob->size();
    blob->push_back(uint8_t(title.size() >> 8));
    blob->push_back(uint8_t(title.size()));
    blob->insert(blob->end(), title.begin(), title.end());
    const int64_t duration = std::max<int64_t>(end - entries[i].start, 1);
    if (!media.samples.AppendSample(duration, 0, uint32_t(title.size() + 2), at, true)) return false;
  }
  // A leading gap (the first chapter starts late) is an empty edit.
  if (entries.front().start > 0) track.edits.push_back({entries.front().start, -1, kFixed1});
  if (media.samples.Finalize() != kNoErr) return false;
  media.duration = media.samples.totalDuration();
  track.edits.push_back({media.duration, 0, kFixed1});
  track.hasEditList = entries.front().start > 0;
  track.duration = track.EditedDuration();
  // A generic 'text' description: the 16-byte header alone.
  media.sampleDescriptions.push_back({0, 0, 0, 16, 't', 'e', 'x', 't', 0, 0, 0, 0, 0, 0, 0, 1});
  media.data.blob = std::move(blob);
  media.data.path.clear();
  *out = std::move(track);
  return true;
}

}  // namespace tp::qt
