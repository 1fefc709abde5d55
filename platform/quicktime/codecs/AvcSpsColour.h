// AvcSpsColour: rewrites the colour description of H.264 sequence parameter
// sets, leaving every other field as it was.
//
// The colour description (video_signal_type and colour_description in the
// SPS's VUI: primaries, transfer characteristics, matrix) only tells a
// display how to show the pictures; decoding does not depend on it. Some
// system decoders read it and convert the decoded pictures to another
// matrix inside their own pipeline (Wine's does, from BT.709 or an
// unspecified HD stream to BT.601), which changes the pixels handed out
// and costs time. Handing them an SPS that already says BT.601 makes them
// pass the pictures through as decoded.
//
// The SPS is read completely (every profile: chroma format, bit depths,
// scaling lists, picture order types, cropping, and the whole VUI with its
// HRD parameters and bitstream restriction); the bits before and after the
// colour fields are copied as they are, the video format and full-range
// flag are kept, and a missing VUI or signal type is added with only the
// colour description in it. An SPS that does not read exactly (cut short,
// out-of-range values, bits left over before its trailing bits) is left
// untouched. Pure functions over caller-owned, untrusted bytes; builds on
// every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tp::qt {

// Colour description code points (ISO/IEC 23091-2, as the VUI carries them).
struct AvcColour {
  uint8_t primaries = 2;  // 2: unspecified
  uint8_t transfer = 2;
  uint8_t matrix = 2;
  bool operator==(const AvcColour &) const = default;
};

// BT.601 as SMPTE 170M describes it (primaries, transfer and matrix 6, 6,
// 6): what a decoder that converts to BT.601 leaves as it is. (Wine's
// passes pictures through untouched for 5, 5, 5 as well; the matrix is
// what it looks at.)
inline constexpr AvcColour kAvcColourBt601{6, 6, 6};

// Where the fields of an SPS sit, as bit offsets into its RBSP (the bytes
// after the NAL header, emulation prevention removed).
struct AvcSpsLayout {
  size_t vuiFlagBit = 0;  // vui_parameters_present_flag
  bool hasVui = false;
  size_t signalTypeBit = 0;  // video_signal_type_present_flag (when hasVui)
  bool hasSignalType = false;
  uint8_t videoFormat = 5;  // 5: unspecified
  bool fullRange = false;
  bool hasColour = false;  // colour_description_present_flag
  AvcColour colour;
  size_t afterSignalBit = 0;  // first bit after the signal type (when hasVui)
  size_t stopBit = 0;         // rbsp_stop_one_bit
};

// The RBSP of a NAL unit's payload (header byte excluded by the caller),
// emulation prevention bytes (00 00 03) removed.
std::vector<uint8_t> AvcUnescape(std::span<const uint8_t> payload);
// The reverse: an RBSP escaped so that no start code can appear in it.
std::vector<uint8_t> AvcEscape(std::span<const uint8_t> rbsp);

// Reads an SPS RBSP completely; nullopt when it does not read exactly.
std::optional<AvcSpsLayout> ReadAvcSpsLayout(std::span<const uint8_t> rbsp);

// One SPS NAL unit (header byte first, escaped as stored) with its colour
// description set to `colour`. nullopt when `nal` is not an SPS (type 7)
// or does not read exactly; the caller keeps the unit as it was.
std::optional<std::vector<uint8_t>> SetAvcSpsColour(std::span<const uint8_t> nal, AvcColour colour);

// Sets the colour description of every SPS in a byte stream (start codes),
// in place; everything else is kept byte for byte. Returns the number of
// SPS rewritten (an SPS that already says `colour`, or does not read, is
// not counted and stays as it was).
int SetAvcColourInAnnexB(std::vector<uint8_t> *annexB, AvcColour colour);

// Whether the first SPS of a byte stream that reads says full range
// (video_full_range_flag: Y'CbCr in 0..255, as JPEG); nullopt when no SPS
// reads. Decoding does not depend on it: the pictures come out in that
// range, and drawing them must know.
std::optional<bool> AvcFullRangeInAnnexB(std::span<const uint8_t> annexB);

}  // namespace tp::qt
