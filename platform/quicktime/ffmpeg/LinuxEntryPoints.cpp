// On Linux FFmpeg's libraries are the only back end: the runtime's entry
// points are FFmpeg's own.

#include "BackEnds.h"

namespace tp::qt {

OSErr CreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  return FfmpegCreateVideoDecoder(setup, out);
}

OSErr CreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  return FfmpegCreateAudioDecoder(setup, out);
}

OSErr CreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out, std::unique_ptr<PcmResampler> *result) {
  return FfmpegCreatePcmResampler(in, out, result);
}

AvImportResult ImportWithLibav(const std::string &path, AvFormat format, Movie *movie, const AvImportLimits &limits) {
  return FfmpegImportIndexless(path, format, movie, limits);
}

bool SniffAvFormat(const uint8_t *head, size_t n, AvFormat *format) { return FfmpegSniffAvFormat(head, n, format); }

}  // namespace tp::qt
