// Our reader of AIFF and AIFF-C files (OwnImporters.h).
#include <algorithm>
#include <cstring>
#include <optional>

#include "container/DataFile.h"
#include "container/OwnImporters.h"
#include "container/SampleDescriptions.h"

namespace tp::qt {
namespace {

AvImportResult Fail(QtErr e, std::string m) { return {e, std::move(m)}; }

constexpr int kMaxChunks = 100000;

uint32_t Be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t Be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

struct AiffCodec {
  uint32_t dataFormat;
  uint32_t descriptionBits;
  int16_t compressionID;
  const char *decoder;
  uint32_t bytesPerSample;  // 0: 'ima4' blocks
};

// The sample rate of an 80-bit extended number, whole hertz (0 when it is
// not a positive rate below 2^31).
int ExtendedRate(const uint8_t *p) {
  const int exponent = int(Be16(p) & 0x7FFF) - 16383;
  uint64_t mantissa = 0;
  for (int i = 0; i < 8; ++i) mantissa = mantissa << 8 | p[2 + i];
  if ((p[0] & 0x80) || exponent < 0 || exponent > 30 || mantissa == 0) return 0;
  return int(mantissa >> (63 - exponent));
}

std::optional<AiffCodec> AiffCodecFor(bool aifc, uint32_t compression, int bits) {
  auto byDepth = [&](bool littleEndian) -> std::optional<AiffCodec> {
    if (bits < 1 || bits > 32) return std::nullopt;
    if (littleEndian) return AiffCodec{FourCC("sowt"), 16, 0, "pcm_s16le", 2};
    if (bits <= 8) return AiffCodec{FourCC("twos"), 8, 0, "pcm_s8", 1};
    if (bits <= 16) return AiffCodec{FourCC("twos"), 16, 0, "pcm_s16be", 2};
    if (bits <= 24) return AiffCodec{FourCC("in24"), 24, 0, "pcm_s24be", 3};
    return AiffCodec{FourCC("in32"), 32, 0, "pcm_s32be", 4};
  };
  if (!aifc || compression == FourCC("NONE") || compression == FourCC("twos")) return byDepth(false);
  if (compression == FourCC("sowt")) return byDepth(true);
  if (compression == FourCC("in24")) return AiffCodec{FourCC("in24"), 24, 0, "pcm_s24be", 3};
  if (compression == FourCC("in32")) return AiffCodec{FourCC("in32"), 32, 0, "pcm_s32be", 4};
  if (compression == FourCC("raw ")) return AiffCodec{FourCC("raw "), 8, 0, "pcm_u8", 1};
  if (compression == FourCC("fl32") || compression == FourCC("FL32"))
    return AiffCodec{FourCC("fl32"), 32, 0, "pcm_f32be", 4};
  if (compression == FourCC("fl64") || compression == FourCC("FL64"))
    return AiffCodec{FourCC("fl64"), 64, 0, "pcm_f64be", 8};
  if (compression == FourCC("ulaw") || compression == FourCC("ULAW"))
    return AiffCodec{FourCC("ulaw"), 16, -2, "pcm_mulaw", 1};
  if (compression == FourCC("alaw") || compression == FourCC("ALAW"))
    return AiffCodec{FourCC("alaw"), 16, -2, "pcm_alaw", 1};
  if (compression == FourCC("ima4")) return AiffCodec{FourCC("ima4"), 16, -2, "adpcm_ima_qt", 0};
  return std::nullopt;
}

}  // namespace

bool LooksLikeAiff(const uint8_t *head, size_t n) {
  return head && n >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
         (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0);
}

AvImportResult ImportAiff(const std::string &path, Movie *movie) {
  *movie = Movie();
  DataFile file;
  if (!file.Open(path)) return Fail(kFnfErr, "cannot open " + path);
  const int64_t fileSize = file.Size();
  uint8_t head[12];
  if (fileSize < 12 || file.ReadAt(0, head, 12) != noErr || !LooksLikeAiff(head, 12))
    return Fail(kInvalidMovie, "not an AIFF file");
  const bool aifc = std::memcmp(head + 8, "AIFC", 4) == 0;
  const uint64_t formEnd = std::min<uint64_t>(uint64_t(fileSize), uint64_t(Be32(head + 4)) + 8);

  int channels = 0, bits = 0, rate = 0;
  uint32_t compression = FourCC("NONE");
  bool haveComm = false;
  uint64_t dataStart = 0, dataEnd = 0;
  int chunks = 0;
  for (uint64_t at = 12; at + 8 <= formEnd;) {
    if (++chunks > kMaxChunks) return Fail(kInvalidMovie, "AIFF: too many chunks before the sound");
    uint8_t chunk[8];
    if (file.ReadAt(at, chunk, 8) != noErr) return Fail(kIoErr, "cannot read " + path);
    const uint64_t size = Be32(chunk + 4);
    const uint64_t body = at + 8;
    if (std::memcmp(chunk, "COMM", 4) == 0) {
      uint8_t c[22];
      if (size < 18 || body + 18 > uint64_t(fileSize)) return Fail(kInvalidMovie, "AIFF: short COMM chunk");
      const size_t n = size >= 22 && aifc ? 22 : 18;
      if (file.ReadAt(body, c, n) != noErr) return Fail(kIoErr, "cannot read " + path);
      channels = int(Be16(c));
      bits = int(Be16(c + 6));
      rate = ExtendedRate(c + 8);
      if (aifc) {
        if (n < 22) return Fail(kInvalidMovie, "AIFF-C: COMM chunk without a compression type");
        compression = Be32(c + 18);
      }
      haveComm = true;
    } else if (std::memcmp(chunk, "SSND", 4) == 0) {
      uint8_t s[8];
      if (size < 8 || file.ReadAt(body, s, 8) != noErr) return Fail(kInvalidMovie, "AIFF: short SSND chunk");
      dataStart = body + 8 + Be32(s);
      dataEnd = std::min<uint64_t>(body + size, uint64_t(fileSize));
      break;  // the sound runs to the chunk's end; nothing after it is read
    }
    at = body + size + (size & 1);
  }
  if (!haveComm) return Fail(kInvalidMovie, "AIFF: no COMM chunk");
  if (dataEnd <= dataStart) return Fail(kInvalidMovie, "AIFF: no sound data");
  if (channels < 1 || channels > 64 || rate <= 0) return Fail(kInvalidMovie, "AIFF: bad channel count or rate");
  const std::optional<AiffCodec> codec = AiffCodecFor(aifc, compression, bits);
  if (!codec)
    return Fail(kCantFindHandler, "AIFF-C: no decoder for compression type '" + FourCCString(compression) + "'");

  const uint64_t blockAlign =
      codec->bytesPerSample ? uint64_t(codec->bytesPerSample) * uint64_t(channels) : 34 * uint64_t(channels);
  const uint64_t blockFrames = codec->bytesPerSample ? 1 : 64;
  const uint64_t packetBytes =
      codec->bytesPerSample ? std::max<uint64_t>(4096 / blockAlign, 1) * blockAlign : blockAlign;
  Track track;
  track.headerFlags = 3;
  Media &media = track.media;
  for (uint64_t at = dataStart; at < dataEnd; at += packetBytes) {
    const uint64_t size = std::min(packetBytes, dataEnd - at);
    if (!media.samples.AppendSample(int64_t(size / blockAlign * blockFrames), 0, uint32_t(size), at, true))
      return Fail(kInvalidSampleTable, "sample cannot be represented");
  }
  std::string why;
  if (QtErr e = media.samples.Finalize(&why); e != kNoErr) return Fail(e, why);
  NewSoundDescription d;
  d.dataFormat = codec->dataFormat;
  d.channels = uint32_t(channels);
  d.bitsPerSample = codec->descriptionBits;
  d.compressionID = codec->compressionID;
  d.sampleRate = rate;
  media.sampleDescriptions.push_back(MakeStoredSoundDescription(d, IndexlessExtensions(codec->decoder)));
  media.handlerName = "Sound Media Handler";
  media.handlerType = kSoundMediaType;
  media.timeScale = uint32_t(rate);
  media.duration = media.samples.totalDuration();
  media.data.path = path;
  std::vector<Track> tracks;
  tracks.push_back(std::move(track));
  FinishIndexlessMovie(path, std::move(tracks), movie);
  return {};
}

}  // namespace tp::qt
