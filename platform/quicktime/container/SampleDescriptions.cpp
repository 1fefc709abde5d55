#include "container/SampleDescriptions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tp::qt {
namespace {

struct Field {
  uint16_t offset;
  uint8_t width;  // 2, 4 or 8 bytes; swapped between big-endian and host order
};

// Fixed-part fields of each record kind, everything that is not a byte string.
constexpr Field kGenericFields[] = {{0, 4}, {4, 4}, {8, 4}, {12, 2}, {14, 2}};
constexpr Field kImageFields[] = {{0, 4},  {4, 4},  {8, 4},  {12, 2}, {14, 2}, {16, 2}, {18, 2}, {20, 4}, {24, 4},
                                  {28, 4}, {32, 2}, {34, 2}, {36, 4}, {40, 4}, {44, 4}, {48, 2}, {82, 2}, {84, 2}};
constexpr Field kSoundV0Fields[] = {{0, 4},  {4, 4},  {8, 4},  {12, 2}, {14, 2}, {16, 2}, {18, 2},
                                    {20, 4}, {24, 2}, {26, 2}, {28, 2}, {30, 2}, {32, 4}};
constexpr Field kSoundV1Extra[] = {{36, 4}, {40, 4}, {44, 4}, {48, 4}};
constexpr Field kSoundV2Fields[] = {{0, 4},  {4, 4},  {8, 4},  {12, 2}, {14, 2}, {16, 2}, {18, 2},
                                    {20, 4}, {24, 2}, {26, 2}, {28, 2}, {30, 2}, {32, 4}, {36, 4},
                                    {40, 8}, {48, 4}, {52, 4}, {56, 4}, {60, 4}, {64, 4}, {68, 4}};

uint64_t LoadBE(const uint8_t *p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

void StoreBE(uint8_t *p, int width, uint64_t v) {
  for (int i = width - 1; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

void StoreHost(uint8_t *p, int width, uint64_t v) {
  if (width == 2) {
    uint16_t x = uint16_t(v);
    std::memcpy(p, &x, 2);
  } else if (width == 4) {
    uint32_t x = uint32_t(v);
    std::memcpy(p, &x, 4);
  } else {
    std::memcpy(p, &v, 8);
  }
}

uint64_t LoadHost(const uint8_t *p, int width) {
  if (width == 2) {
    uint16_t x;
    std::memcpy(&x, p, 2);
    return x;
  }
  if (width == 4) {
    uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
  }
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

template <size_t N>
void SwapToHost(uint8_t *p, const Field (&fields)[N]) {
  for (const Field &f : fields) StoreHost(p + f.offset, f.width, LoadBE(p + f.offset, f.width));
}

// Length of the fixed part of a record in either form; `load` reads a field.
template <typename Load>
size_t FixedPartSize(std::span<const uint8_t> d, uint32_t mediaType, Load load) {
  if (mediaType == kVideoMediaType) return d.size() >= kImageDescriptionSize ? kImageDescriptionSize : 0;
  if (mediaType == kSoundMediaType) {
    if (d.size() < kSoundDescriptionV0Size) return 0;
    int16_t version = int16_t(load(d.data() + 16, 2));
    if (version == 1) return d.size() >= kSoundDescriptionV1Size ? kSoundDescriptionV1Size : 0;
    if (version == 2) {
      if (d.size() < kSoundDescriptionV2Size) return 0;
      uint64_t structSize = load(d.data() + 36, 4);
      if (structSize > kSoundDescriptionV2Size && structSize <= d.size()) return size_t(structSize);
      return kSoundDescriptionV2Size;
    }
    return kSoundDescriptionV0Size;
  }
  return d.size() >= kSampleDescriptionHeaderSize ? kSampleDescriptionHeaderSize : 0;
}

}  // namespace

QtErr StoredToHostDescription(std::span<const uint8_t> stored, uint32_t mediaType, std::vector<uint8_t> *out) {
  out->clear();
  size_t fixed = FixedPartSize(stored, mediaType, LoadBE);
  if (fixed == 0 || stored.size() > size_t(INT32_MAX)) return kInvalidSampleDescription;
  out->assign(stored.begin(), stored.end());
  uint8_t *p = out->data();
  if (mediaType == kVideoMediaType) {
    SwapToHost(p, kImageFields);
  } else if (mediaType == kSoundMediaType) {
    int16_t version = int16_t(LoadBE(p + 16, 2));
    if (version == 2) {
      SwapToHost(p, kSoundV2Fields);
    } else {
      SwapToHost(p, kSoundV0Fields);
      if (version == 1) SwapToHost(p, kSoundV1Extra);
    }
  } else {
    SwapToHost(p, kGenericFields);
  }
  // The size field always tells the real length of what is handed out.
  StoreHost(p, 4, uint32_t(out->size()));
  return kNoErr;
}

size_t HostDescriptionExtensionsOffset(std::span<const uint8_t> host, uint32_t mediaType) {
  return FixedPartSize(host, mediaType, LoadHost);
}

std::optional<std::span<const uint8_t>> FindHostExtension(std::span<const uint8_t> host, uint32_t mediaType,
                                                          uint32_t type) {
  size_t offset = HostDescriptionExtensionsOffset(host, mediaType);
  if (offset == 0) return std::nullopt;
  // The record's own size field bounds the atoms when it is smaller than the
  // buffer (a handle may be larger than the description it holds).
  size_t end = host.size();
  uint64_t declared = LoadHost(host.data(), 4);
  if (declared >= offset && declared < end) end = size_t(declared);
  std::span<const uint8_t> atoms = host.subspan(offset, end - offset);
  while (atoms.size() >= 8) {
    uint64_t size = LoadBE(atoms.data(), 4);
    uint32_t atomType = uint32_t(LoadBE(atoms.data() + 4, 4));
    if (size == 0) break;  // terminator
    if (size < 8 || size > atoms.size()) break;
    if (atomType == type) return atoms.subspan(8, size_t(size) - 8);
    atoms = atoms.subspan(size_t(size));
  }
  return std::nullopt;
}

void AppendAtom(std::vector<uint8_t> *out, uint32_t type, std::span<const uint8_t> payload) {
  size_t at = out->size();
  out->resize(at + 8 + payload.size());
  StoreBE(out->data() + at, 4, uint32_t(8 + payload.size()));
  StoreBE(out->data() + at + 4, 4, type);
  if (!payload.empty()) std::memcpy(out->data() + at + 8, payload.data(), payload.size());
}

// Resize and copy rather than insert: GCC 12 at -O3 reports a range insert
// into a freshly sized vector as out of bounds (-Warray-bounds).
namespace {
void AppendBytes(std::vector<uint8_t> &r, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  const size_t at = r.size();
  r.resize(at + bytes.size());
  std::memcpy(r.data() + at, bytes.data(), bytes.size());
}
}  // namespace

std::vector<uint8_t> MakeStoredImageDescription(const NewImageDescription &d, std::span<const uint8_t> extensions) {
  std::vector<uint8_t> r(kImageDescriptionSize, 0);
  uint8_t *p = r.data();
  StoreBE(p + 4, 4, d.codecType);
  StoreBE(p + 14, 2, 1);      // data reference index
  StoreBE(p + 28, 4, 0x200);  // spatial quality: normal
  StoreBE(p + 32, 2, uint16_t(d.width));
  StoreBE(p + 34, 2, uint16_t(d.height));
  StoreBE(p + 36, 4, 72u << 16);  // 72 dpi
  StoreBE(p + 40, 4, 72u << 16);
  StoreBE(p + 48, 2, 1);  // frames per sample
  size_t n = std::min<size_t>(d.name.size(), 31);
  p[50] = uint8_t(n);
  std::memcpy(p + 51, d.name.data(), n);
  StoreBE(p + 82, 2, uint16_t(d.depth));
  StoreBE(p + 84, 2, 0xFFFF);  // no colour table
  AppendBytes(r, extensions);
  StoreBE(r.data(), 4, uint32_t(r.size()));
  return r;
}

std::vector<uint8_t> MakeStoredSoundDescription(const NewSoundDescription &d, std::span<const uint8_t> extensions) {
  bool v2 = d.sampleRate >= 65536.0 || d.channels > 0x7FFF || d.bitsPerSample > 0x7FFF;
  std::vector<uint8_t> r(v2 ? kSoundDescriptionV2Size : kSoundDescriptionV0Size, 0);
  uint8_t *p = r.data();
  StoreBE(p + 4, 4, d.dataFormat);
  StoreBE(p + 14, 2, 1);
  if (v2) {
    StoreBE(p + 16, 2, 2);
    StoreBE(p + 24, 2, 3);
    StoreBE(p + 26, 2, 16);
    StoreBE(p + 28, 2, 0xFFFE);
    StoreBE(p + 32, 4, 65536);
    StoreBE(p + 36, 4, kSoundDescriptionV2Size);
    uint64_t bits;
    double rate = d.sampleRate;
    std::memcpy(&bits, &rate, 8);
    StoreBE(p + 40, 8, bits);
    StoreBE(p + 48, 4, d.channels);
    StoreBE(p + 52, 4, 0x7F000000);
    StoreBE(p + 56, 4, d.bitsPerSample);
  } else {
    StoreBE(p + 24, 2, uint16_t(d.channels));
    StoreBE(p + 26, 2, uint16_t(d.bitsPerSample));
    StoreBE(p + 28, 2, uint16_t(d.compressionID));
    double fixed = std::floor(std::max(0.0, d.sampleRate) * 65536.0 + 0.5);
    StoreBE(p + 32, 4, uint32_t(std::min(fixed, 4294967295.0)));
  }
  AppendBytes(r, extensions);
  StoreBE(r.data(), 4, uint32_t(r.size()));
  return r;
}

}  // namespace tp::qt
