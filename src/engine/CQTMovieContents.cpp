#include "engine/CQTMovieContents.h"

#include <algorithm>
#include <memory>

#include "QuickTime/MacMemory.h"
#include "engine/Languages.h"

namespace {

constexpr OSType FourCC(const char (&s)[5]) { return QT_FOUR_CHAR_CODE(s[0], s[1], s[2], s[3]); }
constexpr Fixed kFixedOne = 0x10000;
constexpr Size kMaxTextBytes = 64 * 1024;

struct HandleDeleter {
  void operator()(Handle h) const {
    if (h) DisposeHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<char *, HandleDeleter>;

std::string HandleText(Handle h) {
  const Size n = std::min<Size>(GetHandleSize(h), kMaxTextBytes);
  if (n <= 0 || *h == nullptr) return {};
  return std::string(*h, static_cast<size_t>(n));
}

// A text item of the user data, or empty.
std::string UserText(UserData ud, OSType type) {
  UniqueHandle h(NewHandle(0));
  if (!ud || !h || GetUserDataText(ud, h.get(), type, 1, 0) != noErr) return {};
  return HandleText(h.get());
}

std::string FirstText(UserData ud, std::initializer_list<OSType> types) {
  for (OSType type : types) {
    std::string text = UserText(ud, type);
    if (!text.empty()) return text;
  }
  return {};
}

TrackKind KindOf(OSType handler) {
  switch (handler) {
    case VideoMediaType:
      return TrackKind::Video;
    case SoundMediaType:
      return TrackKind::Sound;
    case TimeCodeMediaType:
      return TrackKind::Timecode;
    case TextMediaType:
    case FourCC("sbtl"):
    case FourCC("subt"):
      return TrackKind::Text;
    default:
      return TrackKind::Other;
  }
}

void Describe(MovieTrackInfo *info) {
  UniqueHandle h(NewHandle(0));
  if (!h) return;
  GetMediaSampleDescription(info->media, 1, reinterpret_cast<SampleDescriptionHandle>(h.get()));
  if (GetMoviesError() != noErr || *h == nullptr) return;
  const Size size = GetHandleSize(h.get());
  if (size < static_cast<Size>(sizeof(SampleDescription))) return;
  info->codec = reinterpret_cast<const SampleDescription *>(*h)->dataFormat;
  if (info->kind == TrackKind::Sound && size >= static_cast<Size>(sizeof(SoundDescription))) {
    const auto *d = reinterpret_cast<const SoundDescription *>(*h);
    info->channels = d->numChannels;
    info->sampleRate = static_cast<double>(d->sampleRate) / 65536.0;
  } else if (info->kind == TrackKind::Video && size >= static_cast<Size>(sizeof(ImageDescription))) {
    const auto *d = reinterpret_cast<const ImageDescription *>(*h);
    info->width = d->width;
    info->height = d->height;
  }
}

// The samples of a chapter track in movie order, each a 16-bit length and
// the title.
std::vector<MovieChapter> ReadChapterTrack(Track chapters, TimeScale movieScale) {
  std::vector<MovieChapter> out;
  Media media = GetTrackMedia(chapters);
  UniqueHandle h(NewHandle(0));
  if (!media || !h || movieScale <= 0) return out;
  TimeValue time = 0;
  SInt16 flags = nextTimeMediaSample | nextTimeEdgeOK;
  while (out.size() < CQTMovieContents::kMaxChapters) {
    TimeValue next = -1, duration = 0;
    GetTrackNextInterestingTime(chapters, flags, time, kFixedOne, &next, &duration);
    if (next < 0 || (flags == nextTimeMediaSample && next <= time)) break;
    flags = nextTimeMediaSample;
    time = next;
    const TimeValue mediaTime = TrackTimeToMediaTime(next, chapters);
    if (mediaTime < 0) continue;
    SInt32 size = 0, count = 0;
    if (GetMediaSample(media, h.get(), kMaxTextBytes, &size, mediaTime, nullptr, nullptr, nullptr, nullptr, 1, &count,
                       nullptr) != noErr) {
      continue;
    }
    std::string bytes = HandleText(h.get());
    std::string title;
    if (bytes.size() >= 2) {
      const size_t length = (static_cast<uint8_t>(bytes[0]) << 8) | static_cast<uint8_t>(bytes[1]);
      title = bytes.substr(2, std::min(length, bytes.size() - 2));
    }
    out.push_back({static_cast<LONGLONG>(next) * 10000000 / movieScale, std::move(title)});
  }
  return out;
}

}  // namespace

MovieContents CQTMovieContents::Read(Movie movie) {
  MovieContents contents;
  if (!movie) return contents;
  const SInt32 count = std::min<SInt32>(GetMovieTrackCount(movie), 4096);
  std::vector<Track> chapterTracks;
  for (SInt32 i = 1; i <= count; ++i) {
    MovieTrackInfo info;
    info.index = i;
    info.track = GetMovieIndTrack(movie, i);
    if (!info.track) continue;
    info.media = GetTrackMedia(info.track);
    if (info.media) {
      GetMediaHandlerDescription(info.media, &info.handlerType, nullptr, nullptr);
      info.kind = KindOf(info.handlerType);
      info.language = LanguageFromMediaCode(GetMediaLanguage(info.media));
      Describe(&info);
    }
    info.enabled = GetTrackEnabled(info.track) != 0;
    if (GetTrackReferenceCount(info.track, kTrackReferenceChapterList) > 0) {
      if (Track chap = GetTrackReference(info.track, kTrackReferenceChapterList, 1)) chapterTracks.push_back(chap);
    }
    UniqueHandle name(NewHandle(0));
    if (name && GetUserData(GetTrackUserData(info.track), name.get(), FourCC("name"), 1) == noErr) {
      info.name = HandleText(name.get());
      info.name.resize(std::min(info.name.find('\0'), info.name.size()));
    }
    contents.tracks.push_back(std::move(info));
  }
  // Alternate groups: each track's cycle through GetTrackAlternate, named by
  // the lowest index in it.
  for (MovieTrackInfo &info : contents.tracks) {
    int lowest = info.index;
    bool grouped = false;
    Track t = GetTrackAlternate(info.track);
    for (size_t steps = 0; t && t != info.track && steps < contents.tracks.size(); ++steps) {
      grouped = true;
      for (const MovieTrackInfo &other : contents.tracks) {
        if (other.track == t) lowest = std::min(lowest, other.index);
      }
      t = GetTrackAlternate(t);
    }
    info.alternateGroup = grouped ? lowest : 0;
  }
  // A text track that a chapter reference names is the movie's chapters.
  for (MovieTrackInfo &info : contents.tracks) {
    if (std::find(chapterTracks.begin(), chapterTracks.end(), info.track) != chapterTracks.end())
      info.kind = TrackKind::Chapters;
  }
  if (!chapterTracks.empty()) contents.chapters = ReadChapterTrack(chapterTracks.front(), GetMovieTimeScale(movie));

  UserData ud = GetMovieUserData(movie);
  contents.metadata.title = FirstText(ud, {FourCC("\xA9nam")});
  contents.metadata.artist = FirstText(ud, {FourCC("\xA9"
                                                   "ART"),
                                            FourCC("\xA9"
                                                   "aut"),
                                            FourCC("\xA9prf")});
  contents.metadata.copyright = FirstText(ud, {FourCC("\xA9"
                                                      "cpy")});
  contents.metadata.comment = FirstText(ud, {FourCC("\xA9"
                                                    "cmt"),
                                             FourCC("\xA9"
                                                    "des")});
  return contents;
}

std::string CQTMovieContents::CodecName(OSType codec) {
  switch (codec) {
    case FourCC("mp4a"):
      return "AAC";
    case FourCC("avc1"):
    case FourCC("avc3"):
      return "H.264";
    case FourCC("hvc1"):
    case FourCC("hev1"):
      return "HEVC";
    case FourCC("av01"):
      return "AV1";
    case FourCC(".mp3"):
      return "MP3";
    case FourCC("alac"):
      return "ALAC";
    case FourCC("Opus"):
      return "Opus";
    case FourCC("ac-3"):
      return "AC-3";
    case FourCC("samr"):
      return "AMR";
    case FourCC("tx3g"):
      return "Timed Text";
    case FourCC("text"):
      return "Text";
    default:
      break;
  }
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned char c = static_cast<unsigned char>(codec >> shift);
    out.push_back(c < 0x20 || c >= 0x7f ? '.' : static_cast<char>(c));
  }
  return out;
}

const char *CQTMovieContents::KindName(TrackKind kind) {
  switch (kind) {
    case TrackKind::Video:
      return "video";
    case TrackKind::Sound:
      return "sound";
    case TrackKind::Text:
      return "text";
    case TrackKind::Chapters:
      return "chapters";
    case TrackKind::Timecode:
      return "timecode";
    case TrackKind::Other:
      break;
  }
  return "other";
}
