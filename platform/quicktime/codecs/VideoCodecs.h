// VideoCodecs: what decodes a video sample description. Reads the host-form
// ImageDescription that GetMediaSampleDescription hands out (and its
// extension atoms) and names either a built-in uncompressed format or a
// codec with its set-up bytes ('avcC', 'hvcC', 'av1C', the decoder
// configuration inside 'esds', 'SMI ', or the importer's 'glbl'). The input is
// untrusted: every size is checked against the bytes present.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "pixels/PixelFormats.h"

namespace tp::qt {

struct VideoCodecSetup {
  uint32_t codecType = 0;
  int width = 0, height = 0, depth = 0;
  std::optional<RawFormat> raw;  // set: one of the built-in uncompressed formats
  // The codec by its short name ("h264", "hevc", "mpeg4", "mjpeg",
  // "dvvideo", "prores", ...; the names FFmpeg gives its codec ids), empty
  // when the table does not know the type.
  std::string codec;
  std::string decoderName;  // from 'lavc', used when the type is not in the table
  std::vector<uint8_t> extradata;
  // The colour table that follows the description (colour table id 0, depths
  // of 8 bits and less), as stored; empty when it has none.
  std::vector<uint8_t> colorTable;
};

// badImageDescription for a description too short or with a size that is
// not positive; noCodecErr when nothing here decodes the codec type.
OSErr ReadVideoCodecSetup(std::span<const uint8_t> description, VideoCodecSetup *out);

// The decoder configuration bytes inside an 'esds' payload (version and
// flags first), and the object type it names; nullopt when malformed.
struct EsdsConfig {
  uint8_t objectType = 0;
  std::vector<uint8_t> decoderSpecificInfo;
};
std::optional<EsdsConfig> ParseEsds(std::span<const uint8_t> payload);

}  // namespace tp::qt
