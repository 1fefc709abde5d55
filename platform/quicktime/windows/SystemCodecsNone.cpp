// No system decoders yet: every compressed format is "no codec", and the
// engine ends those tracks cleanly.

#include "SystemCodecs.h"

namespace tp::qt {

OSErr CreateSystemVideoDecoder(const VideoCodecSetup &, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  return noCodecErr;
}

OSErr CreateSystemAudioDecoder(const AudioCodecSetup &, std::unique_ptr<AudioDecoder> *out) {
  out->reset();
  return noCodecErr;
}

}  // namespace tp::qt
