#include "engine/QTTrackFactory.h"

#include <new>

#include "engine/CQTAVExtraction.h"
#include "engine/CQTVideoExtraction.h"

char *IQTTrackFactory::AllocateBytes(size_t count) { return new (std::nothrow) char[count]; }

void IQTTrackFactory::FreeBytes(char *bytes) { delete[] bytes; }

CQTPlaceholderTrack::CQTPlaceholderTrack(Movie theMovie, OSType handlerType)
    : CQTMediaExtraction(theMovie), handlerType_(handlerType) {
  media = CQTAVExtraction::FindMediaOfType(theMovie, handlerType);
  if (media != nullptr) {
    timeScale = GetMediaTimeScale(media);
    duration = GetMediaDuration(media);
  }
}

namespace {

class CPlaceholderFactory : public IQTTrackFactory {
 public:
  IMediaExtraction *CreateVideoExtraction(Movie movie) override { return new (std::nothrow) CQTVideoExtraction(movie); }
  IMediaExtraction *CreateAudioExtraction(Movie movie) override {
    return new (std::nothrow) CQTPlaceholderTrack(movie, SoundMediaType);
  }
  IMediaExtraction *CreateAudioDecoder(Movie movie) override {
    return new (std::nothrow) CQTPlaceholderTrack(movie, SoundMediaType);
  }
  LONG ProbeAudioExtraction(IMediaExtraction *) override { return 0; }
};

}  // namespace

IQTTrackFactory &DefaultQTTrackFactory() {
  static CPlaceholderFactory factory;
  return factory;
}
