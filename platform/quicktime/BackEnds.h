// The decoding back ends' own entry points, and the order in which they are
// asked. The runtime calls the generic ones (CreateVideoDecoder in
// codecs/VideoDecoder.h, CreateAudioDecoder and CreatePcmResampler in
// sound/AudioDecoder.h, ImportWithLibav and SniffAvFormat in
// container/AvImporter.h). Linux builds the FFmpeg back end alone and
// forwards to it (ffmpeg/LinuxEntryPoints.cpp). Windows builds both: FFmpeg's
// libraries, shipped beside the runtime, decode first; the system's decoders
// decode what FFmpeg does not and everything when its libraries are missing,
// and come first for a host that asks for them (windows/DecoderChoice.cpp).
#pragma once

#include <memory>
#include <string>

#include "codecs/VideoDecoder.h"
#include "container/AvImporter.h"
#include "sound/AudioDecoder.h"

namespace tp::qt {

// ffmpeg/: libavcodec, libswscale, libswresample, libavformat.
OSErr FfmpegCreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);
OSErr FfmpegCreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);
OSErr FfmpegCreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                               std::unique_ptr<PcmResampler> *result);
AvImportResult FfmpegImportIndexless(const std::string &path, AvFormat format, Movie *movie,
                                     const AvImportLimits &limits);
bool FfmpegSniffAvFormat(const uint8_t *head, size_t n, AvFormat *format);

// windows/: the runtime's own decoders, then the system's.
OSErr WindowsCreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);
OSErr WindowsCreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out);
OSErr WindowsCreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                                std::unique_ptr<PcmResampler> *result);
AvImportResult WindowsImportIndexless(const std::string &path, AvFormat format, Movie *movie,
                                      const AvImportLimits &limits);
bool WindowsSniffAvFormat(const uint8_t *head, size_t n, AvFormat *format);

// Which back ends may decode, and which is asked first.
struct BackEndOrder {
  bool ffmpegLoaded = false;  // FFmpeg's libraries loaded from the runtime's folder
  bool systemFirst = false;   // the host asked for the system's decoders first
};

// Asks the first back end and, when it has no decoder for the format
// (noCodecErr), the second: FFmpeg then the system's, or the reverse when
// the host asked for that; the system's alone when FFmpeg is not loaded.
// Any other answer is final, a failure included: a decoder that exists but
// refuses the data does not make the other back end try it.
template <typename Ffmpeg, typename System>
OSErr AskBackEnds(const BackEndOrder &order, Ffmpeg &&ffmpeg, System &&system) {
  if (!order.ffmpegLoaded) return system();
  if (order.systemFirst) {
    const OSErr err = system();
    return err == noCodecErr ? ffmpeg() : err;
  }
  const OSErr err = ffmpeg();
  return err == noCodecErr ? system() : err;
}

}  // namespace tp::qt
