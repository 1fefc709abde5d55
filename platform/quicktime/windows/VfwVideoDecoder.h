// VfwVideoDecoder: Cinepak, and any other codec that an installed Video for
// Windows decompressor takes by the sample description's four-character
// code, through the ICM (ICLocate, ICDecompressBegin, ICDecompress). The
// decompressor draws each sample into a bottom-up 24-bit (else 32-bit, else
// 16-bit 5:5:5) DIB
// of the picture's size, which DrawPicture draws into the world. These
// codecs code every sample as a picture of its own, in order, so the
// picture after a sample is that sample's. A sample the decompressor
// refuses is codecBadDataErr and the picture it may have half drawn is not
// shown: the last good one stays current.
//
// Ownership: owns the decompressor handle (closed on destruction). Not
// thread-safe: the decompression sequence serialises calls.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

// The decompressor's four-character code for a description's codec type
// (the type is big-endian, the code is stored little-endian: 'cvid' stays
// 'cvid').
uint32_t VfwHandlerForCodecType(uint32_t codecType);

// noCodecErr when no installed decompressor takes the codec at this size.
OSErr CreateVfwVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
