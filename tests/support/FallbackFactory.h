// FallbackFactory: the engine's default track factory, except that every
// test fill of the movie audio extraction fails, so that a movie session
// serves its sound through the sound-converter decoder.
#pragma once

#include "engine/QTTrackFactory.h"

namespace tp::test {

class FallbackFactory : public IQTTrackFactory {
 public:
  IMediaExtraction *CreateVideoExtraction(Movie movie) override {
    return DefaultQTTrackFactory().CreateVideoExtraction(movie);
  }
  IMediaExtraction *CreateAudioExtraction(Movie movie) override {
    return DefaultQTTrackFactory().CreateAudioExtraction(movie);
  }
  IMediaExtraction *CreateAudioDecoder(Movie movie) override {
    return DefaultQTTrackFactory().CreateAudioDecoder(movie);
  }
  LONG ProbeAudioExtraction(IMediaExtraction *) override { return -1; }
};

}  // namespace tp::test
