#include "engine/CQTTextExtraction.h"

#include <algorithm>
#include <memory>
#include <string>

#include "QuickTime/MacMemory.h"
#include "trace/Trace.h"

namespace {

constexpr Fixed kFixedOne = 0x10000;

void AppendUtf8(std::string *out, unsigned code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

CQTTextExtraction::CQTTextExtraction(Movie theMovie, Track theTrack) : CQTMediaExtraction(theMovie), track_(theTrack) {
  TraceW2(TEXT("CQTTextExtraction::CQTTextExtraction"));
  movieScale_ = GetMovieTimeScale(movie);
  movieDuration_ = GetMovieDuration(movie);
  media = track_ != nullptr ? GetTrackMedia(track_) : nullptr;
  if (media == nullptr || movieScale_ <= 0) return;
  TimeValue time = 0;
  SInt16 flags = nextTimeMediaSample | nextTimeEdgeOK;
  while (cues_.size() < kMaxCues) {
    TimeValue at = -1, length = 0;
    GetTrackNextInterestingTime(track_, flags, time, kFixedOne, &at, &length);
    // A table that does not advance ends the list.
    if (at < 0 || (flags == nextTimeMediaSample && at <= time)) break;
    flags = nextTimeMediaSample;
    time = at;
    if (length > 0) cues_.push_back({at, length});
  }
}

std::string CQTTextExtraction::SampleText(const BYTE *data, size_t size) {
  if (data == nullptr || size < 2) return {};
  const size_t length = (static_cast<size_t>(data[0]) << 8) | data[1];
  if (length > size - 2) return {};
  const BYTE *p = data + 2;
  std::string text;
  if (length >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
    // UTF-16, big-endian; a lone surrogate becomes U+FFFD.
    for (size_t i = 2; i + 1 < length; i += 2) {
      unsigned unit = (static_cast<unsigned>(p[i]) << 8) | p[i + 1];
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < length) {
        const unsigned low = (static_cast<unsigned>(p[i + 2]) << 8) | p[i + 3];
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        } else {
          unit = 0xFFFD;
        }
      } else if (unit >= 0xD800 && unit < 0xE000) {
        unit = 0xFFFD;
      }
      AppendUtf8(&text, unit);
    }
  } else {
    size_t from = length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
    text.assign(reinterpret_cast<const char *>(p) + from, length - from);
  }
  // Line breaks as "\n": QuickTime text uses carriage returns.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] != '\0') {
      out.push_back(text[i]);
    }
  }
  return out;
}

LONG CQTTextExtraction::GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) {
  if (buffer == nullptr || size == nullptr || *size <= 0) return -1;
  struct HandleDeleter {
    void operator()(Handle h) const {
      if (h) DisposeHandle(h);
    }
  };
  std::unique_ptr<char *, HandleDeleter> h(NewHandle(0));
  if (!h) return -1;
  while (next_ < cues_.size()) {
    const Cue cue = cues_[next_++];
    const TimeValue mediaTime = TrackTimeToMediaTime(static_cast<TimeValue>(cue.start), track_);
    if (mediaTime < 0) continue;
    SInt32 bytes = 0, count = 0;
    const OSErr err = GetMediaSample(media, h.get(), kMaxCueBytes, &bytes, mediaTime, nullptr, nullptr, nullptr,
                                     nullptr, 1, &count, nullptr);
    if (err != noErr) {
      TraceW8(TEXT("GetMediaSample failed(%d)"), static_cast<int>(err));
      continue;
    }
    const std::string text = SampleText(reinterpret_cast<const BYTE *>(*h), static_cast<size_t>(std::max(bytes, 0)));
    // Samples without text are the gaps between cues.
    if (text.empty()) continue;
    const LONG n = static_cast<LONG>(std::min<size_t>(text.size(), static_cast<size_t>(*size)));
    std::copy_n(text.data(), n, buffer);
    *size = n;
    if (start) *start = cue.start;
    if (duration) *duration = cue.duration;
    return 0;
  }
  return -1;
}

void CQTTextExtraction::SetPosition(LONGLONG *time) {
  if (time == nullptr) return;
  const LONGLONG at = *time;
  next_ = static_cast<size_t>(
      std::find_if(cues_.begin(), cues_.end(), [at](const Cue &c) { return c.start + c.duration > at; }) -
      cues_.begin());
}
