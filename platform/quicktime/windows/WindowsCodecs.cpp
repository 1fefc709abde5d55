// The Windows decoding back end: linear PCM, 'ima4', Animation, indexed
// and grey 'raw ' and the PCM conversions are our own (the same code the
// Linux tests compare with libavcodec and libswresample); everything
// compressed goes to the system's decoders (SystemCodecs.h). The
// uncompressed video formats never get here: the Decompressor draws them
// itself.

#include "BackEnds.h"
#include "codecs/AnimationDecoder.h"
#include "sound/AudioDecode.h"
#include "codecs/Ima4Decoder.h"
#include "codecs/PcmDecoder.h"
#include "sound/PcmResample.h"
#include "codecs/RawIndexedDecoder.h"
#include "SystemCodecs.h"

namespace tp::qt {

OSErr WindowsCreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  if (IsBuiltInAnimation(setup)) return CreateAnimationDecoder(setup, out);
  if (IsBuiltInRawIndexed(setup)) return CreateRawIndexedDecoder(setup, out);
  return CreateSystemVideoDecoder(setup, out);
}

OSErr WindowsCreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  if (IsBuiltInPcm(setup.codec)) return CreatePcmDecoder(setup, out);
  if (IsBuiltInIma4(setup.codec)) return CreateIma4Decoder(setup, out);
  return CreateSystemAudioDecoder(setup, out);
}

OSErr WindowsCreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                                std::unique_ptr<PcmResampler> *result) {
  return CreateBuiltInResampler(in, out, result);
}

}  // namespace tp::qt
