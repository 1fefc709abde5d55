// MfFrameDecoder: video codecs whose pictures come out in the order their
// samples go in (H.263, DV, MPEG-4 part 2 of the Simple profile) through
// the system's Media Foundation transform for them. Each sample is fed
// stamped with its own number; a picture that comes out with that stamp is
// the sample's own and is copied out (planar 4:2:0, NV12 or YUY2) for
// DrawPicture. A sample whose picture does not come out (damage, a decoder
// that needs more) keeps the last picture current.
//
// Ownership: owns the transform and the last picture. Not thread-safe: the
// decompression sequence serialises calls.
#pragma once

#include <memory>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

// Whether this decoder serves the codec ("h263", "dvvideo", "mpeg4").
bool IsMfFrameCodec(const VideoCodecSetup &setup);

// noCodecErr when the system has no transform for the codec (or an MPEG-4
// part 2 stream may hold B-pictures, whose pictures come out late: those go
// to MfVideoDecoder); codecErr when the transform refuses the stream's
// types.
OSErr CreateMfFrameDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
