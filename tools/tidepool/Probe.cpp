#include "Probe.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "QuickTime/MacMemory.h"
#include "QuickTime/Movies.h"
#include "engine/CQTAVExtraction.h"

namespace tidepool {
namespace {

// A walk never reads more samples than this, whatever the file claims.
constexpr size_t kMaxSamples = 50'000'000;

struct HandleDeleter {
  void operator()(Handle h) const {
    if (h) DisposeHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<char *, HandleDeleter>;

// Sample description 1 of a media, or null.
UniqueHandle SampleDescription1(Media media) {
  UniqueHandle h(NewHandle(0));
  if (!h) return nullptr;
  GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(h.get()));
  if (GetMoviesError() != noErr || *h == nullptr) return nullptr;
  return h;
}

VideoReport DescribeVideo(Media media) {
  VideoReport v;
  v.timeScale = GetMediaTimeScale(media);
  v.duration = GetMediaDuration(media);
  if (UniqueHandle h = SampleDescription1(media)) {
    if (GetHandleSize(h.get()) >= static_cast<Size>(sizeof(ImageDescription))) {
      const auto *desc = reinterpret_cast<const ImageDescription *>(*h);
      v.width = desc->width;
      v.height = desc->height;
      v.format = desc->cType;
    }
  }
  // Without a data buffer the runtime only describes the sample: the walk
  // reads no sample data and no sample is too large for it.
  TimeValue64 t = 0;
  while (t < v.duration && v.samples.size() < kMaxSamples) {
    ByteCount size = 0;
    TimeValue64 decodeTime = 0, decodeDuration = 0, displayOffset = 0;
    ItemCount count = 0;
    MediaSampleFlags flags = 0;
    OSErr err = GetMediaSample2(media, nullptr, 0, &size, t, &decodeTime, &decodeDuration, &displayOffset, nullptr,
                                nullptr, 1, &count, &flags);
    if (err != noErr) {
      v.sampleError = err;
      break;
    }
    if (count == 0) break;
    v.samples.push_back(
        VideoSample{decodeTime, decodeDuration, displayOffset, size, (flags & mediaSampleNotSync) == 0});
    const TimeValue64 next = decodeTime + decodeDuration * static_cast<TimeValue64>(count);
    if (next <= t) break;  // a table that does not advance would never end
    t = next;
  }
  return v;
}

SoundReport DescribeSound(Media media) {
  SoundReport s;
  s.timeScale = GetMediaTimeScale(media);
  s.duration = GetMediaDuration(media);
  if (UniqueHandle h = SampleDescription1(media)) {
    if (GetHandleSize(h.get()) >= static_cast<Size>(sizeof(SoundDescription))) {
      const auto *desc = reinterpret_cast<const SoundDescription *>(*h);
      s.format = desc->dataFormat;
      s.channels = desc->numChannels;
      s.sampleSize = desc->sampleSize;
      s.sampleRate = static_cast<double>(desc->sampleRate) / 65536.0;
    }
  }
  return s;
}

std::string FourCharacters(uint32_t code, bool) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned char c = static_cast<unsigned char>(code >> shift);
    out.push_back(c < 0x20 || c >= 0x7f ? '.' : static_cast<char>(c));
  }
  return out;
}

// The four bytes of a code as a string whose characters are the code points
// of those byte values (UTF-8), so that JSON carries any byte exactly.
std::string FormatText(uint32_t code) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned char c = static_cast<unsigned char>(code >> shift);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Number(double value) {
  char text[64];
  if (value == static_cast<double>(static_cast<int64_t>(value))) {
    std::snprintf(text, sizeof(text), "%" PRId64, static_cast<int64_t>(value));
  } else {
    std::snprintf(text, sizeof(text), "%.6g", value);
  }
  return text;
}

void AppendOne(std::string &out, const std::string &text) { out += text; }
void AppendOne(std::string &out, const char *text) { out += text; }
template <typename N>
requires std::is_arithmetic_v<N>
void AppendOne(std::string &out, N number) { out += std::to_string(number); }

// Appends each piece in turn (one growing string, no temporaries chained).
template <typename... Pieces>
void Append(std::string &out, const Pieces &...pieces) {
  (AppendOne(out, pieces), ...);
}

}  // namespace

ProbeReport ProbeMovie(LPCWSTR path) {
  ProbeReport report;
  CQTAVExtraction session(path);
  report.status = session.GetStatus();
  if (report.status != 0 || session.GetMovie() == nullptr) return report;
  if (Media media = CQTAVExtraction::FindMediaOfType(session.GetMovie(), VideoMediaType)) {
    report.video = DescribeVideo(media);
  }
  if (Media media = CQTAVExtraction::FindMediaOfType(session.GetMovie(), SoundMediaType)) {
    report.sound = DescribeSound(media);
  }
  report.contents = CQTMovieContents::Read(session.GetMovie());
  return report;
}

std::string ToJson(const ProbeReport &report) {
  nlohmann::ordered_json out;
  out["status"] = report.status;
  if (const auto &v = report.video) {
    nlohmann::ordered_json video;
    video["timescale"] = v->timeScale;
    video["duration"] = v->duration;
    video["width"] = v->width;
    video["height"] = v->height;
    video["format"] = FormatText(v->format);
    nlohmann::ordered_json samples = nlohmann::ordered_json::array();
    for (const VideoSample &s : v->samples) {
      samples.push_back({s.decodeTime, s.decodeDuration, s.displayOffset, s.size, s.sync ? 1 : 0});
    }
    video["samples"] = std::move(samples);
    out["video"] = std::move(video);
  } else {
    out["video"] = nullptr;
  }
  if (const auto &s = report.sound) {
    nlohmann::ordered_json sound;
    sound["timescale"] = s->timeScale;
    sound["duration"] = s->duration;
    sound["format"] = FormatText(s->format);
    sound["channels"] = s->channels;
    sound["sample_size"] = s->sampleSize;
    // Whole rates print as integers, as they always have.
    if (s->sampleRate == static_cast<double>(static_cast<int64_t>(s->sampleRate))) {
      sound["sample_rate"] = static_cast<int64_t>(s->sampleRate);
    } else {
      sound["sample_rate"] = s->sampleRate;
    }
    out["sound"] = std::move(sound);
  } else {
    out["sound"] = nullptr;
  }
  nlohmann::ordered_json tracks = nlohmann::ordered_json::array();
  for (const MovieTrackInfo &t : report.contents.tracks) {
    nlohmann::ordered_json track;
    track["index"] = t.index;
    track["kind"] = CQTMovieContents::KindName(t.kind);
    track["codec"] = FormatText(t.codec);
    track["language"] = t.language;
    track["enabled"] = t.enabled;
    track["alternate_group"] = t.alternateGroup;
    track["name"] = t.name;
    tracks.push_back(std::move(track));
  }
  out["tracks"] = std::move(tracks);
  nlohmann::ordered_json chapters = nlohmann::ordered_json::array();
  for (const MovieChapter &c : report.contents.chapters) {
    chapters.push_back({{"start", static_cast<double>(c.start) / 1e7}, {"title", c.title}});
  }
  out["chapters"] = std::move(chapters);
  const MovieMetadata &m = report.contents.metadata;
  out["metadata"] = {{"title", m.title}, {"artist", m.artist}, {"copyright", m.copyright}, {"comment", m.comment}};
  return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string ToText(const ProbeReport &report, const std::string &path) {
  std::string out;
  Append(out, path, "\n");
  if (report.status != 0) {
    Append(out, "  cannot open: status ", report.status, "\n");
    return out;
  }
  if (const auto &v = report.video) {
    size_t sync = 0;
    for (const VideoSample &s : v->samples) sync += s.sync;
    const double seconds = v->timeScale > 0 ? static_cast<double>(v->duration) / v->timeScale : 0;
    Append(out, "  video: '", FourCharacters(v->format, false), "' ", v->width, "x", v->height, ", ", Number(seconds),
           " s (", v->duration, " / ", v->timeScale, "), ", v->samples.size(), " samples, ", sync, " sync\n");
    if (v->sampleError != 0) Append(out, "  video samples stopped by error ", v->sampleError, "\n");
  } else {
    out += "  video: none\n";
  }
  if (const auto &s = report.sound) {
    const double seconds = s->timeScale > 0 ? static_cast<double>(s->duration) / s->timeScale : 0;
    Append(out, "  sound: '", FourCharacters(s->format, false), "' ", s->channels, " channel(s), ", s->sampleSize,
           " bit, ", Number(s->sampleRate), " Hz, ", Number(seconds), " s (", s->duration, " / ", s->timeScale, ")\n");
  } else {
    out += "  sound: none\n";
  }
  for (const MovieTrackInfo &t : report.contents.tracks) {
    Append(out, "  track ", t.index, ": ", CQTMovieContents::KindName(t.kind), " '", FourCharacters(t.codec, false),
           "' ", t.language, t.enabled ? ", enabled" : ", disabled");
    if (t.alternateGroup != 0) Append(out, ", alternate group ", t.alternateGroup);
    if (!t.name.empty()) Append(out, ", \"", t.name, "\"");
    out += "\n";
  }
  for (const MovieChapter &c : report.contents.chapters) {
    Append(out, "  chapter ", Number(static_cast<double>(c.start) / 1e7), " s: ", c.title, "\n");
  }
  const MovieMetadata &m = report.contents.metadata;
  const std::pair<const char *, const std::string *> fields[] = {
      {"title", &m.title}, {"artist", &m.artist}, {"copyright", &m.copyright}, {"comment", &m.comment}};
  for (const auto &[label, value] : fields) {
    if (!value->empty()) Append(out, "  ", label, ": ", *value, "\n");
  }
  return out;
}

}  // namespace tidepool
