// SystemCodecSetup: turns the set-up bytes that movie files store into the
// forms a system decoder takes, and rewrites sample payloads where the two
// differ. H.264 in .mp4/.mov stores its parameter sets in 'avcC' and each
// sample as length-prefixed NAL units; decoders that parse a byte stream
// want start codes with the parameter sets in front. AAC stores its
// AudioSpecificConfig in 'esds'; a system AAC decoder takes it behind a
// fixed wave-format block. Pure functions over caller-owned bytes, all
// input untrusted and checked against its length; builds on every system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tp::qt {

struct AvcParameterSets {
  int nalLengthSize = 4;        // bytes in front of each NAL unit: 1, 2 or 4
  std::vector<uint8_t> annexB;  // every SPS and PPS, each behind a start code
};

// Reads an 'avcC' payload. nullopt when it is not version 1, has a length
// size of 3, or a parameter set runs past the end.
std::optional<AvcParameterSets> ParseAvcC(std::span<const uint8_t> avcC);

// Reads an 'hvcC' payload (HEVC's decoder configuration: 22 bytes of
// profile and format fields, the NAL length size in the low two bits of
// byte 21, then arrays of VPS, SPS, PPS and SEI units) into the same form,
// every unit in the order stored. nullopt when it is not version 1, has a
// length size of 3, or an array or unit runs past the end.
std::optional<AvcParameterSets> ParseHvcC(std::span<const uint8_t> hvcC);

// Appends the NAL units of a length-prefixed sample to `out`, each behind a
// four-byte start code. False (with `out` as it was) when a length runs
// past the sample; a zero-length unit is dropped.
bool AppendAnnexB(std::span<const uint8_t> sample, int nalLengthSize, std::vector<uint8_t> *out);

// The display order of H.264 pictures, from their slice headers and the
// parameter sets seen so far (in the byte stream fed, in-band or put in
// front). Picture order type 0 gives the picture order count; types 1 and
// 2, a slice without known parameter sets, or a stream this does not
// follow give the decode order instead (type 2 never reorders). Each run
// starts at an IDR, or at an intra picture whose frame number does not
// follow on from the picture before (where decoding resumed after a seek);
// orders compare only within a run. Field pairs count as their first field.
class AvcPictureOrder {
 public:
  struct Picture {
    bool idr = false;        // an IDR slice
    bool restart = false;    // a run starts here: an IDR, or an intra picture
                             // that does not follow on (decoding resumed)
    bool found = false;      // a slice was found at all
    bool reference = false;  // other pictures may refer to it (nal_ref_idc)
    int64_t order = 0;       // display order within the run (increasing, may skip)
  };
  // One access unit as a byte stream (start codes).
  Picture Next(std::span<const uint8_t> annexB);

 private:
  struct Sps {
    bool known = false;
    bool separateColourPlanes = false;
    bool frameMbsOnly = true;
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
  };
  bool ParseSps(std::span<const uint8_t> rbsp);
  bool ParsePps(std::span<const uint8_t> rbsp);
  Picture ParseSlice(std::span<const uint8_t> rbsp, int nalType, int refIdc);

  Sps sps_[32];
  int ppsToSps_[256];
  bool ppsKnown_[256] = {};
  int64_t prevPocMsb_ = 0, prevPocLsb_ = 0;
  int64_t prevRefFrameNum_ = -1;  // frame number of the last reference picture
  int64_t decodeCount_ = 0;       // within the run
};

// What an AudioSpecificConfig says about the stream (ISO 14496-3 header
// only: object type, rate and channel configuration; an SBR/PS extension is
// not looked for). nullopt when it is shorter than its fields or names a
// reserved rate index.
struct AacConfigInfo {
  int objectType = 0;
  int sampleRate = 0;
  int channels = 0;  // 0: the channel configuration is in a program config element
};
std::optional<AacConfigInfo> ParseAudioSpecificConfig(std::span<const uint8_t> asc);

// Whether an MPEG-4 part 2 stream codes its pictures in display order (no
// B-pictures), from its decoder configuration ('esds'): true only when a
// visual object sequence header names a Simple profile level
// (profile_and_level_indication 0x01 to 0x08). Advanced Simple and other
// profiles may hold B-pictures; without the header nothing is known.
bool Mpeg4PicturesInDecodeOrder(std::span<const uint8_t> config);

// The WAVE speaker mask (front left 0x1, front right 0x2, centre 0x4, LFE
// 0x8, back left 0x10, ...) of an AAC channel configuration, by the channel
// count AacConfigInfo gives for it: 3 is centre, left, right (not 2.1), 4
// adds a back centre, 5 and 6 are 5.0 and 5.1 with back surrounds, 8 is 7.1
// with back and side surrounds, as the Linux decoder lays them out. 0 for counts
// no configuration has (0, 7, more than 8).
uint32_t AacChannelMask(int channels);

// Apple Lossless set-up: the 24-byte ALACSpecificConfig ("magic cookie")
// that system decoders take, found in the set-up bytes the runtime keeps
// (the whole 'alac' atom: size, type, version and flags, then the config),
// in a bare config, or behind a 'frma' atom, as older writers store it; and
// what it says. nullopt when no config is there, or when it names no
// channels or more than eight, a depth other than 16, 20, 24 or 32 bits,
// no frames per packet or no rate.
struct AlacConfig {
  std::vector<uint8_t> cookie;  // the 24 bytes, as stored (big-endian)
  int frameLength = 0;          // frames per packet
  int bitDepth = 0;
  int channels = 0;
  int sampleRate = 0;
};
std::optional<AlacConfig> ParseAlacCookie(std::span<const uint8_t> setup);

// The user data of a raw-AAC media type: the twelve bytes that follow the
// WAVEFORMATEX of an HEAACWAVEINFO (payload type 0 = raw, profile 0xFE =
// unknown), then the AudioSpecificConfig.
std::vector<uint8_t> AacUserData(std::span<const uint8_t> asc);

// Whether an H.264 profile_idc carries chroma_format_idc, bit depths and
// scaling lists in its SPS (the High profiles and their relatives).
bool AvcHighProfile(uint32_t profile);

// One MPEG audio frame header (layers I to III, MPEG-1, 2 and 2.5): the
// frame's length in bytes, header included, and the samples it decodes to
// per channel. nullopt when the four bytes are no header: no sync, a
// reserved version, layer, rate or bit-rate index, or free format (no
// length in the header).
struct MpegAudioFrame {
  int bytes = 0;
  int samples = 0;  // 384, 1152, or 576 for layer III of MPEG-2 and 2.5
  int sampleRate = 0;
};
std::optional<MpegAudioFrame> ParseMpegAudioHeader(std::span<const uint8_t> header);

// How many leading bytes of `data`, a run of MPEG audio frames, a decoder
// that gives out `unit` samples at a time and drops a partial unit should be
// handed now: the most whole frames whose samples make whole units (0 when
// there are not enough yet). All of `data` when it does not begin with a
// frame, or runs into bytes that are not one: nothing is counted there.
size_t MpegAudioWholeUnits(std::span<const uint8_t> data, int unit);

// Completes `data`, a run of whole layer II or III frames, with silent frames
// until its samples make whole units of `unit`: each a copy of the last
// frame's header without CRC, followed by zeros (side information that
// takes nothing from earlier frames and codes no sound; the frame still
// gives out the last real frame's overlap). False, and `data` unchanged,
// when it is not such a run or is empty.
bool PadMpegAudioToUnits(std::vector<uint8_t> *data, int unit);

}  // namespace tp::qt
