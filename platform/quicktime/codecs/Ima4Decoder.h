// Ima4Decoder: the built-in decoder of the runtime's own IMA ADPCM ('ima4',
// codec name "adpcm_ima_qt"), the same on every system. A packet is one or
// more blocks of 34 bytes per channel, channels taking turns block by block;
// each block is a 16-bit big-endian header (the predictor in its high nine
// bits, the step index in its low seven) and 64 samples of four bits, low
// nibble first. A block whose header names the step index the channel is
// already at, with a predictor within 127 of the channel's own, goes on from
// the channel's state (the header's predictor is the state rounded down).
// Output: 16-bit signed samples, one plane per channel, 64 frames per block.
//
// A block with a step index above 88 is corrupt: what came before it in the
// packet is handed out, the rest of the packet is dropped, and decoding goes
// on with the next packet. Trailing bytes short of a whole block are ignored.
//
// Not thread-safe; owned by one session, which serialises calls.
#pragma once

#include <memory>

#include "sound/AudioDecode.h"
#include "sound/AudioDecoder.h"

namespace tp::qt {

// Whether the built-in decoder takes `codec` ("adpcm_ima_qt").
bool IsBuiltInIma4(std::string_view codec);

// noCodecErr for another codec; paramErr for a channel count outside 1..8
// or a rate outside 1..768,000.
OSErr CreateIma4Decoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);

}  // namespace tp::qt
