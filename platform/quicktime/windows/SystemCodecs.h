// SystemCodecs: where the Windows back end reaches the system's own
// decoders (Media Foundation transforms) for what the runtime does not
// decode itself: H.264, HEVC, AV1, MPEG-4 part 2, AAC, MP3, FLAC and the
// others its file lists (codec names "h264", "hevc", "av1", "mpeg4",
// "aac", ... of VideoCodecSetup / AudioCodecSetup). This is where the
// Windows back end answers "is there a decoder?": a codec plugs in here,
// and noCodecErr (nothing listed, or the system lacks the transform) makes
// the engine leave the track out when the movie is loaded. Their NV12, YUY2 or I420 output
// draws into every world layout through DrawPicture (PixelConvert.h).
//
// The contracts are those of CreateVideoDecoder and CreateAudioDecoder
// (VideoDecoder.h, AudioDecoder.h): noCodecErr when the system has nothing
// for the codec, so the track ends cleanly as on Linux. SystemCodecsNone.cpp
// answers noCodecErr for everything; an implementation on Media Foundation
// replaces that file.
#pragma once

#include <memory>

#include "sound/AudioDecoder.h"
#include "codecs/VideoDecoder.h"

namespace tp::qt {

OSErr CreateSystemVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);
OSErr CreateSystemAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);

}  // namespace tp::qt
