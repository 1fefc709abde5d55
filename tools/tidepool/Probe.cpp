#include "Probe.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "QuickTime/MacMemory.h"
#include "QuickTime/Movies.h"
#include "engine/CQTAVExtraction.h"

namespace tidepool {
namespace {

// Samples are read into this buffer; the runtime refuses a larger one.
constexpr ByteCount kSampleBufferBytes = 0x400000;
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
  std::vector<UInt8> buffer(kSampleBufferBytes);
  TimeValue64 t = 0;
  while (t < v.duration && v.samples.size() < kMaxSamples) {
    ByteCount size = 0;
    TimeValue64 decodeTime = 0, decodeDuration = 0, displayOffset = 0;
    ItemCount count = 0;
    MediaSampleFlags flags = 0;
    OSErr err = GetMediaSample2(media, buffer.data(), kSampleBufferBytes, &size, t, &decodeTime, &decodeDuration,
                                &displayOffset, nullptr, nullptr, 1, &count, &flags);
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

std::string FourCharacters(uint32_t code, bool json) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned char c = static_cast<unsigned char>(code >> shift);
    if (c == '"' || c == '\\') {
      out += json ? std::string("\\") + static_cast<char>(c) : std::string(1, static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), json ? "\\u%04x" : ".", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
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
  return report;
}

std::string ToJson(const ProbeReport &report) {
  std::string out = "{\"status\": " + std::to_string(report.status) + ", \"video\": ";
  if (const auto &v = report.video) {
    out += "{\"timescale\": " + std::to_string(v->timeScale) + ", \"duration\": " + std::to_string(v->duration) +
           ", \"width\": " + std::to_string(v->width) + ", \"height\": " + std::to_string(v->height) +
           ", \"format\": \"" + FourCharacters(v->format, true) + "\", \"samples\": [";
    bool first = true;
    for (const VideoSample &s : v->samples) {
      if (!first) out += ", ";
      first = false;
      out += "[" + std::to_string(s.decodeTime) + ", " + std::to_string(s.decodeDuration) + ", " +
             std::to_string(s.displayOffset) + ", " + std::to_string(s.size) + ", " + (s.sync ? "1" : "0") + "]";
    }
    out += "]}";
  } else {
    out += "null";
  }
  out += ", \"sound\": ";
  if (const auto &s = report.sound) {
    out += "{\"timescale\": " + std::to_string(s->timeScale) + ", \"duration\": " + std::to_string(s->duration) +
           ", \"format\": \"" + FourCharacters(s->format, true) + "\", \"channels\": " + std::to_string(s->channels) +
           ", \"sample_size\": " + std::to_string(s->sampleSize) + ", \"sample_rate\": " + Number(s->sampleRate) + "}";
  } else {
    out += "null";
  }
  out += "}\n";
  return out;
}

std::string ToText(const ProbeReport &report, const std::string &path) {
  std::string out = path + "\n";
  if (report.status != 0) {
    out += "  cannot open: status " + std::to_string(report.status) + "\n";
    return out;
  }
  if (const auto &v = report.video) {
    size_t sync = 0;
    for (const VideoSample &s : v->samples) sync += s.sync;
    const double seconds = v->timeScale > 0 ? static_cast<double>(v->duration) / v->timeScale : 0;
    out += "  video: '" + FourCharacters(v->format, false) + "' " + std::to_string(v->width) + "x" +
           std::to_string(v->height) + ", " + Number(seconds) + " s (" + std::to_string(v->duration) + " / " +
           std::to_string(v->timeScale) + "), " + std::to_string(v->samples.size()) + " samples, " +
           std::to_string(sync) + " sync\n";
    if (v->sampleError != 0) out += "  video samples stopped by error " + std::to_string(v->sampleError) + "\n";
  } else {
    out += "  video: none\n";
  }
  if (const auto &s = report.sound) {
    const double seconds = s->timeScale > 0 ? static_cast<double>(s->duration) / s->timeScale : 0;
    out += "  sound: '" + FourCharacters(s->format, false) + "' " + std::to_string(s->channels) + " channel(s), " +
           std::to_string(s->sampleSize) + " bit, " + Number(s->sampleRate) + " Hz, " + Number(seconds) + " s (" +
           std::to_string(s->duration) + " / " + std::to_string(s->timeScale) + ")\n";
  } else {
    out += "  sound: none\n";
  }
  return out;
}

}  // namespace tidepool
