// What the source filter tells of its movie through DirectShow's own
// interfaces: the streams to choose among (IAMStreamSelect: sound tracks by
// language, subtitles), the chapters (IAMExtendedSeeking's markers) and the
// title, author, copyright and description (IAMMediaContent). Any source
// that offers them is described the same way.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

namespace tidepool {

struct SelectableStream {
  long index = 0;        // IAMStreamSelect's index
  unsigned group = 0;    // 0 video, 1 sound, 2 subtitles (as the filter groups them)
  std::string kind;      // "video", "sound", "text" by major type
  std::string codec;     // the FOURCC subtype's four characters, or empty
  std::string language;  // ISO 639-2/T from the locale id, or "und"
  bool selected = false;
  std::string name;  // UTF-8
};

// Every stream of `source`; empty when it offers no IAMStreamSelect.
std::vector<SelectableStream> ListStreams(IBaseFilter *source);
// Enables the `k`-th sound stream (from 0, in the filter's order, as
// ffmpeg's -map 0:a:K counts). false with *error set when there is none
// or the filter refuses.
bool SelectSoundStream(IBaseFilter *source, int k, std::string *error);

struct Chapter {
  double start = 0;  // seconds
  std::string title;
};
// The markers in order; empty without IAMExtendedSeeking.
std::vector<Chapter> ListChapters(IBaseFilter *source);

struct Metadata {
  std::string title, artist, copyright, comment;  // empty when absent
};
// IAMMediaContent's title, author name, copyright and description.
Metadata ReadMetadata(IBaseFilter *source);

}  // namespace tidepool
