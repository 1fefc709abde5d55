// MfVideoFormat: the per-codec half of MfVideoDecoder. For each codec
// decoded on the forward pass it holds the transform's input subtype and
// what the set-up bytes become, and it turns each sample into what the
// transform takes:
//
// - H.264 (MFVideoFormat_H264): 'avcC' gives SPS and PPS behind start
//   codes, in front of a run's first sample and every IDR; samples go from
//   length-prefixed to start codes in MfVideoDecoder itself, which follows
//   H.264 picture order.
// - HEVC (MFVideoFormat_HEVC): 'hvcC' gives VPS, SPS and PPS (and SEI)
//   behind start codes, in front of a run's first sample and every IRAP
//   picture; samples go from length-prefixed to start codes.
// - AV1 (MFVideoFormat_AV1): 'av1C' gives its configuration OBUs (the
//   sequence header), in front of a run's first sample when it has none of
//   its own; each sample gets a temporal delimiter in front and every OBU
//   its size field.
// - MPEG-4 part 2 (MFVideoFormat_MP4V): the decoder configuration of 'esds'
//   (VOS, VO, VOL headers) is MF_MT_USER_DATA and goes in front of a run's
//   first sample; samples as stored.
//
// The set-up travels in the stream, as a decoder that starts anywhere needs
// it, so that a new transform instance (after a flush, for a replay) needs
// nothing else. Not thread-safe; plain data after MakeMfVideoFormat.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

namespace tp::qt {

enum class MfVideoCodec { kH264, kHevc, kAv1, kMpeg4 };

struct MfVideoFormat {
  MfVideoCodec codec = MfVideoCodec::kH264;
  GUID subtype{};
  std::vector<uint8_t> header;             // in front of a run's first sample (see above)
  std::vector<uint8_t> userData;           // MF_MT_USER_DATA of the input type; empty: none
  int nalLengthSize = 0;                   // H.264, HEVC: 0 when samples are a byte stream already
  bool reducedStillPictureHeader = false;  // AV1
};

// badImageDescription when the set-up bytes are damaged. Empty set-up
// bytes: H.264 and HEVC samples are a byte stream with their own parameter
// sets, AV1 samples carry their sequence header, MPEG-4 part 2 samples their
// VOL header.
OSErr MakeMfVideoFormat(MfVideoCodec codec, std::span<const uint8_t> config, MfVideoFormat *out);

// Replaces *out by one sample of HEVC, AV1 or MPEG-4 part 2 as the
// transform takes it (H.264 is MfVideoDecoder's own); `runStart` puts the
// set-up in front. *randomAccess: decoding can start at this sample
// (SystemCodecStreams.h). codecBadDataErr when a length or OBU size in the
// sample runs past it.
OSErr MakeMfSample(const MfVideoFormat &format, std::span<const uint8_t> sample, bool runStart,
                   std::vector<uint8_t> *out, bool *randomAccess);

}  // namespace tp::qt
