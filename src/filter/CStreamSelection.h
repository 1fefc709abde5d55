// CStreamSelection: the streams a host may choose among through the filter's
// IAMStreamSelect, built from the movie's tracks: each video track (group
// 0), each sound track (group 1), each text track (group 2) and an entry
// that turns subtitles off, each named by its language and codec ("English
// (AAC, 2 ch)") with its language's locale id. Which entry of each group
// is chosen is kept here; switching is the filter's.
//
// Plain values; the filter guards them with its state lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "engine/CQTMovieContents.h"

using WideText = std::basic_string<WCHAR>;

struct StreamEntry {
  int trackIndex = 0;  // the runtime's 1-based track index; 0 for "subtitles off"
  DWORD group = 0;     // kVideoGroup, kSoundGroup or kSubtitleGroup
  GUID major{};        // MEDIATYPE_Video, MEDIATYPE_Audio or MEDIATYPE_Text
  GUID subtype{};      // the codec's four characters as a FOURCC subtype; GUID_NULL for "off"
  DWORD lcid = 0;
  WideText name;
};

class CStreamSelection {
 public:
  static constexpr DWORD kVideoGroup = 0;
  static constexpr DWORD kSoundGroup = 1;
  static constexpr DWORD kSubtitleGroup = 2;

  // Lists the streams of `contents`; `video`, `sound` and `text` are the
  // track indexes that play (0: none; for text, subtitles off).
  void Build(const MovieContents &contents, int video, int sound, int text);
  size_t Count() const { return m_entries.size(); }
  // Entry `index`, or null past the end.
  const StreamEntry *Entry(LONG index) const;
  bool IsSelected(LONG index) const;
  // Marks entry `index` as its group's choice.
  void Select(LONG index);

  // "English (AAC, 2 ch)", "Unknown (H.264, 640x480)", "Russian (Timed Text)".
  static WideText NameOf(const MovieTrackInfo &track);

 private:
  std::vector<StreamEntry> m_entries;
  std::vector<bool> m_selected;
};
