// PcmDecoder: the built-in decoder of linear PCM ("pcm_s16le" and the
// other names of AudioCodecSetup::codec that start with "pcm_") and of the
// G.711 laws ("pcm_mulaw", "pcm_alaw": 'ulaw', 'alaw'). It hands out each
// packet's whole frames interleaved, as 8-bit unsigned, 16-bit or 32-bit
// signed (24-bit samples in the high bits, unsigned samples moved to signed,
// G.711 bytes expanded to 16 bits), 32- or 64-bit float, in host order: the
// same samples, frame for frame, as libavcodec's PCM decoders give.
//
// Not thread-safe; owned by one session, which serialises calls.
#pragma once

#include <memory>
#include <vector>

#include "sound/AudioDecode.h"
#include "sound/AudioDecoder.h"

namespace tp::qt {

// Whether the built-in decoder takes `codec`.
bool IsBuiltInPcm(std::string_view codec);

// noCodecErr for a codec IsBuiltInPcm refuses; paramErr for a channel
// count outside 1..8 or a rate outside 1..768,000.
OSErr CreatePcmDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);

}  // namespace tp::qt
