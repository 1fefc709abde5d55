// SampleDescriptions: the two forms of a sample description and the
// conversion between them. The movie model stores each description as the
// file stores it (big-endian fields, then extension atoms); the API hands it
// out in host byte order (ImageDescription, SoundDescription v0/v1/v2, or the
// generic header) followed by the same extension atoms, which keep their
// big-endian headers as QuickTime's in-memory descriptions do.
//
// Everything here works on byte buffers owned by the caller and returns new
// vectors; inputs are untrusted and checked against their length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/MovieModel.h"

namespace tp::qt {

// Stored -> host form. Returns invalidSampleDescription (and leaves *out
// empty) when the record is shorter than its fixed part.
QtErr StoredToHostDescription(std::span<const uint8_t> stored, uint32_t mediaType, std::vector<uint8_t> *out);

// Offset of the extension atoms in a host-form description, 0 when too short.
size_t HostDescriptionExtensionsOffset(std::span<const uint8_t> host, uint32_t mediaType);

// Payload of extension `type` in a host-form description.
std::optional<std::span<const uint8_t>> FindHostExtension(std::span<const uint8_t> host, uint32_t mediaType,
                                                          uint32_t type);

// One atom: big-endian size and type, then the payload.
void AppendAtom(std::vector<uint8_t> *out, uint32_t type, std::span<const uint8_t> payload);

// Builds stored (file-form) descriptions for importers that make their own.
struct NewImageDescription {
  uint32_t codecType = 0;
  int16_t width = 0;
  int16_t height = 0;
  int16_t depth = 24;
  std::string name;  // at most 31 bytes are kept
};
std::vector<uint8_t> MakeStoredImageDescription(const NewImageDescription &d, std::span<const uint8_t> extensions);

struct NewSoundDescription {
  uint32_t dataFormat = 0;
  uint32_t channels = 0;
  uint32_t bitsPerSample = 16;
  int16_t compressionID = 0;
  double sampleRate = 0;  // rates of 65536 Hz or more give a version 2 record
};
std::vector<uint8_t> MakeStoredSoundDescription(const NewSoundDescription &d, std::span<const uint8_t> extensions);

}  // namespace tp::qt
