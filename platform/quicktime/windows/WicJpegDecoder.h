// WicJpegDecoder: Photo-JPEG ('jpeg') and Motion JPEG A ('mjpa') through
// the Windows Imaging Component's JPEG decoder. Every sample is a whole
// JPEG image, so each decodes on its own: the sample's bytes are wrapped in
// an in-memory stream, decoded to 24-bit B,G,R (through a format converter
// only when the decoder hands out another format: grey, CMYK) and kept for
// drawing by DrawPicture. A sample the decoder refuses is codecBadDataErr
// and the last good picture stays current.
//
// Ownership: holds the imaging factory and the last picture. Not
// thread-safe: the decompression sequence serialises calls.
#pragma once

#include <memory>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

// noCodecErr when the system has no imaging factory or no JPEG decoder.
OSErr CreateWicJpegDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
