// SystemCodecStreams: the samples of HEVC, AV1 and MPEG-4 part 2 as a
// system decoder takes them, and where each of those streams can start.
// HEVC travels like H.264 (SystemCodecSetup.h: 'hvcC' and length-prefixed
// units become start codes). AV1 in .mp4/.mov stores its sequence header in
// 'av1C' and each sample as a temporal unit without its temporal delimiter;
// a decoder of an OBU stream wants the delimiter, and the sequence header in
// front of the first temporal unit it sees. Pure functions over
// caller-owned bytes, all input untrusted and checked against its length;
// builds on every system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tp::qt {

// What an 'av1C' payload (marker and version byte 0x81, three bytes of
// profile and format fields, then the configuration OBUs) gives a decoder.
struct Av1Config {
  // The configuration OBUs (a sequence header, metadata; any other OBU
  // stored there is left out) as an OBU stream: each with its size field,
  // whether or not it was stored with one.
  std::vector<uint8_t> obus;
  // From the sequence header, when there is one: frame headers are then
  // left out of the stream (a still picture).
  bool reducedStillPictureHeader = false;
};

// nullopt when the payload is shorter than its four fixed bytes, is not
// version 1, or an OBU runs past the end.
std::optional<Av1Config> ParseAv1C(std::span<const uint8_t> av1C);

// Appends one AV1 sample to `out` as an OBU stream: a temporal delimiter,
// then `config` when the sample has no sequence header of its own, then
// the sample's OBUs, each with its size field (temporal delimiters in the
// sample are left out). Pass an empty `config` where none is wanted (not a
// run's first sample). False, with `out` as it was, when an OBU's header or
// size runs past the sample.
bool AppendAv1TemporalUnit(std::span<const uint8_t> sample, std::span<const uint8_t> config, std::vector<uint8_t> *out);

// Whether a sample is one where decoding can start, as the sample tables
// mark them:
// - HEVC, as a byte stream (start codes): its first picture unit is an
//   IRAP picture (BLA, IDR or CRA, NAL types 16 to 23).
// - AV1, as OBUs: its first frame header is a key frame that is shown.
//   `reducedStillPictureHeader` comes from the stream's sequence header; a
//   sequence header in the sample overrides it.
// - MPEG-4 part 2: its first VOP is intra coded.
// False for a sample this cannot read.
bool HevcRandomAccess(std::span<const uint8_t> annexB);
bool Av1KeyFrame(std::span<const uint8_t> obus, bool reducedStillPictureHeader);
bool Mpeg4IntraVop(std::span<const uint8_t> sample);

}  // namespace tp::qt
