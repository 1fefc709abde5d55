// PcmResample: our own PcmResampler, for a back end without a resampler of
// its own. Between streams of the same channel count and rate it converts
// the sample type and layout with the exact arithmetic of the Linux back end
// (integers move by shifts, integers become floats scaled by a power of
// two, floats become integers rounded to nearest-even and clipped), so
// linear PCM comes out byte for byte as it does there. Channel counts that
// differ are mixed (centre and surround at -3 dB into the front pair, no LFE;
// for integer output the gains are scaled so that no output can exceed full
// scale, float output keeps them) and rates that
// differ are linearly interpolated; those results are close to, not equal
// to, the Linux ones.
//
// Not thread-safe; owned by one PcmConverter.
#pragma once

#include <memory>

#include "sound/AudioDecoder.h"

namespace tp::qt {

// codecErr for formats without a sample type or with channels outside 1..64
// (input) / 1..8 (output).
OSErr CreateBuiltInResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                             std::unique_ptr<PcmResampler> *result);

}  // namespace tp::qt
