#include "engine/QTTrackFactory.h"

#include <new>

#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioDecoder.h"
#include "engine/CQTAudioExtraction.h"
#include "engine/CQTVideoExtraction.h"

char *IQTTrackFactory::AllocateBytes(size_t count) { return new (std::nothrow) char[count]; }

void IQTTrackFactory::FreeBytes(char *bytes) { delete[] bytes; }

LONG IQTTrackFactory::ProbeVideoDecoder(IMediaExtraction *, OSType *codec) {
  if (codec != nullptr) *codec = 0;
  return 0;
}

LONG IQTTrackFactory::ProbeAudioDecoder(IMediaExtraction *, OSType *codec) {
  if (codec != nullptr) *codec = 0;
  return 0;
}

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
  // Only ever given what CreateVideoExtraction and CreateAudioDecoder made.
  LONG ProbeVideoDecoder(IMediaExtraction *video, OSType *codec) override {
    auto *track = static_cast<CQTVideoExtraction *>(video);
    *codec = track != nullptr ? track->CodecType() : 0;
    return track != nullptr ? track->ProbeDecoder() : -1;
  }
  LONG ProbeAudioDecoder(IMediaExtraction *audio, OSType *codec) override {
    auto *track = static_cast<CQTAudioDecoder *>(audio);
    *codec = track != nullptr ? track->DataFormat() : 0;
    return track != nullptr ? track->DecoderStatus() : -1;
  }
};

}  // namespace

IQTTrackFactory &DefaultQTTrackFactory() {
  static CPlaceholderFactory factory;
  return factory;
}
