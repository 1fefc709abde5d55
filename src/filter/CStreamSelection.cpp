#include "filter/CStreamSelection.h"

#include <cstdio>

#include <uuids.h>

#include "engine/Languages.h"

namespace {

WideText Widen(const std::string &text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  WideText wide(static_cast<size_t>(n), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// The FOURCC subtype of a four-character code (first character in the
// lowest byte of Data1, as DirectShow lays FOURCC GUIDs out).
GUID FourCCSubtype(OSType code) {
  GUID g = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  g.Data1 = ((code >> 24) & 0xFF) | ((code >> 8) & 0xFF00) | ((code << 8) & 0xFF0000) | ((code << 24) & 0xFF000000u);
  return g;
}

}  // namespace

WideText CStreamSelection::NameOf(const MovieTrackInfo &track) {
  std::string detail = CQTMovieContents::CodecName(track.codec);
  char extra[48] = {};
  if (track.kind == TrackKind::Sound && track.channels > 0) {
    std::snprintf(extra, sizeof extra, ", %d ch", track.channels);
  } else if (track.kind == TrackKind::Video && track.width > 0 && track.height > 0) {
    std::snprintf(extra, sizeof extra, ", %dx%d", track.width, track.height);
  }
  std::string name = LanguageName(track.language) + " (" + detail + extra + ")";
  if (!track.name.empty()) name = track.name + ": " + name;
  return Widen(name);
}

void CStreamSelection::Build(const MovieContents &contents, int video, int sound, int text) {
  m_entries.clear();
  m_selected.clear();
  bool haveText = false;
  for (const MovieTrackInfo &t : contents.tracks) {
    StreamEntry e;
    e.trackIndex = t.index;
    e.lcid = LcidFromLanguage(t.language);
    e.subtype = FourCCSubtype(t.codec);
    e.name = NameOf(t);
    bool selected = false;
    if (t.kind == TrackKind::Video) {
      e.group = kVideoGroup;
      e.major = MEDIATYPE_Video;
      selected = t.index == video;
    } else if (t.kind == TrackKind::Sound) {
      e.group = kSoundGroup;
      e.major = MEDIATYPE_Audio;
      selected = t.index == sound;
    } else if (t.kind == TrackKind::Text) {
      e.group = kSubtitleGroup;
      e.major = MEDIATYPE_Text;
      haveText = true;
      selected = t.index == text;
    } else {
      continue;
    }
    m_entries.push_back(std::move(e));
    m_selected.push_back(selected);
  }
  if (haveText) {
    StreamEntry off;
    off.group = kSubtitleGroup;
    off.major = MEDIATYPE_Text;
    off.name = Widen("Subtitles off");
    m_entries.push_back(std::move(off));
    m_selected.push_back(text == 0);
  }
}

const StreamEntry *CStreamSelection::Entry(LONG index) const {
  if (index < 0 || static_cast<size_t>(index) >= m_entries.size()) return nullptr;
  return &m_entries[static_cast<size_t>(index)];
}

bool CStreamSelection::IsSelected(LONG index) const {
  return Entry(index) != nullptr && m_selected[static_cast<size_t>(index)];
}

void CStreamSelection::Select(LONG index) {
  const StreamEntry *chosen = Entry(index);
  if (!chosen) return;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i].group == chosen->group) m_selected[i] = static_cast<LONG>(i) == index;
  }
}
