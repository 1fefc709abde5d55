// The libavcodec half of the Linux video back end, reachable on its own:
// FfmpegCreateVideoDecoder (BackEnds.h) hands the runtime's own codecs to
// their own decoders first; this opens libavcodec's decoder of `setup`
// whatever the codec, so that tests can hold our decoders against it.
#pragma once

#include <memory>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

// As CreateVideoDecoder, always through libavcodec.
OSErr CreateLibavcodecVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
