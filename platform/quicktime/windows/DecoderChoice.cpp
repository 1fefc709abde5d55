// The Windows runtime's entry points: FFmpeg's decoders when its libraries
// sit beside the runtime (the same code and drawing as on Linux, so the
// same bytes), the runtime's own and the system's decoders for what FFmpeg
// does not decode, or for everything when the libraries are missing; the
// host may put the system's first (SystemDecodersFirst). The index-less file
// types go to libavformat when it is there, else to our own readers.

#include "BackEnds.h"
#include "FfmpegLibraries.h"

namespace tp::qt {
namespace {

BackEndOrder Order() {
  BackEndOrder order;
  order.ffmpegLoaded = FfmpegLibrariesLoaded();
  order.systemFirst = order.ffmpegLoaded && SystemDecodersFirst();
  return order;
}

}  // namespace

OSErr CreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  return AskBackEnds(
      Order(), [&] { return FfmpegCreateVideoDecoder(setup, out); },
      [&] { return WindowsCreateVideoDecoder(setup, out); });
}

OSErr CreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  return AskBackEnds(
      Order(), [&] { return FfmpegCreateAudioDecoder(setup, out); },
      [&] { return WindowsCreateAudioDecoder(setup, out); });
}

OSErr CreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out, std::unique_ptr<PcmResampler> *result) {
  return AskBackEnds(
      Order(), [&] { return FfmpegCreatePcmResampler(in, out, result); },
      [&] { return WindowsCreatePcmResampler(in, out, result); });
}

AvImportResult ImportWithLibav(const std::string &path, AvFormat format, Movie *movie, const AvImportLimits &limits) {
  if (FfmpegLibrariesLoaded()) return FfmpegImportIndexless(path, format, movie, limits);
  return WindowsImportIndexless(path, format, movie, limits);
}

bool SniffAvFormat(const uint8_t *head, size_t n, AvFormat *format) {
  if (FfmpegLibrariesLoaded()) return FfmpegSniffAvFormat(head, n, format);
  return WindowsSniffAvFormat(head, n, format);
}

}  // namespace tp::qt
