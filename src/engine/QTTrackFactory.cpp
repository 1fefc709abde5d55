#include "engine/QTTrackFactory.h"

#include <new>

#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioDecoder.h"
#include "engine/CQTAudioExtraction.h"
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
  IMediaExtraction *CreateAudioExtraction(Movie movie) override { return new (std::nothrow) CQTAudioExtraction(movie); }
  IMediaExtraction *CreateAudioDecoder(Movie movie) override { return new (std::nothrow) CQTAudioDecoder(movie); }
  // Only ever given what CreateAudioExtraction made.
  LONG ProbeAudioExtraction(IMediaExtraction *audio) override {
    return audio != nullptr ? static_cast<CQTAudioExtraction *>(audio)->ProbeExtraction() : -1;
  }
};

}  // namespace

IQTTrackFactory &DefaultQTTrackFactory() {
  static CPlaceholderFactory factory;
  return factory;
}
