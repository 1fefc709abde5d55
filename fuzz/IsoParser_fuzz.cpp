// Fuzz target for the ISO / QuickTime parser: parses the input from memory
// and, when it parses, asks the model every question the runtime asks, so
// that a table which parses but answers out of bounds is caught too.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line (the corpus as
// CTest cases).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "container/IsoParser.h"

namespace {

void Exercise(const tp::qt::Movie &movie, size_t inputSize) {
  using namespace tp::qt;
  for (const Track &t : movie.tracks) {
    const SampleTable &st = t.media.samples;
    const uint32_t n = st.count();
    const uint32_t step = n > 4096 ? n / 4096 : 1;
    for (uint32_t i = 0; i < n; i += step) {
      SampleRecord r;
      if (!st.Sample(i, &r) || r.position + r.size > inputSize) __builtin_trap();
      uint32_t at = 0, sync = 0;
      // The sample found at a sample's start is that sample, an earlier one
      // of the same time, or (for a sample of no duration) the one that
      // covers that time.
      if (st.SampleAtTime(r.decodeTime, &at) && at > i && r.decodeDuration != 0) __builtin_trap();
      st.SyncAtOrBefore(i, &sync);
      st.SyncAtOrAfter(i, &sync);
      int64_t next = 0;
      st.NextSampleTime(r.decodeTime, false, &next);
      st.PreviousSampleTime(r.decodeTime, false, &next);
    }
    int64_t when = 0, duration = 0, media = 0;
    for (int64_t probe : {int64_t(0), t.duration / 2, t.duration, t.EditedDuration() - 1}) {
      t.NextSampleTime(probe, movie.timeScale, true, false, &when, &duration);
      t.NextSampleTime(probe, movie.timeScale, false, true, &when, &duration);
      t.MovieToMediaTime(probe, movie.timeScale, &media);
    }
    for (size_t d = 1; d <= t.media.sampleDescriptions.size(); ++d) {
      const auto desc = t.media.Description(uint32_t(d));
      ImageDescriptionInfo image;
      SoundDescriptionInfo sound;
      ReadImageDescription(desc, &image);
      ReadSoundDescription(desc, &sound);
      for (uint32_t type : {FourCC("avcC"), FourCC("esds"), FourCC("wave"), FourCC("glbl"), FourCC("chan")}) {
        if (auto ext = FindDescriptionExtension(desc, t.media.handlerType, type)) FindAtom(*ext, FourCC("esds"));
      }
    }
  }
  int64_t when = 0;
  const uint32_t video[] = {kVideoMediaType};
  movie.NextInterestingTime(video, 0, true, false, &when);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tp::qt::MemoryByteSource source(data, size);
  tp::qt::Movie movie;
  const tp::qt::ParseResult r = tp::qt::ParseIsoMovie(source, "fuzz", &movie);
  if (r.error == tp::qt::kNoErr) Exercise(movie, size);
  return 0;
}
