// Our reader of raw H.264 byte streams (.264; OwnImporters.h).
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

#include "container/DataFile.h"
#include "container/OwnImporters.h"
#include "codecs/RbspBits.h"
#include "container/SampleDescriptions.h"
#include "codecs/SystemCodecSetup.h"

namespace tp::qt {
namespace {

AvImportResult Fail(QtErr e, std::string m) { return {e, std::move(m)}; }

// The RBSP of one NAL unit's payload, and the reads over it.
struct UnescapedNal {
  explicit UnescapedNal(std::span<const uint8_t> payload) : rbsp(UnescapeRbsp(payload)) {}
  std::vector<uint8_t> rbsp;
};
class Bits : private UnescapedNal, public RbspBits {
 public:
  explicit Bits(std::span<const uint8_t> payload) : UnescapedNal(payload), RbspBits(rbsp) {}
};

struct SpsInfo {
  int width = 0, height = 0;
  uint32_t unitsInTick = 0, timeScale = 0;  // 0: no timing information
};

void SkipScalingList(Bits &b, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && b.ok(); ++j) {
    if (next != 0) next = (last + b.Se(-128, 127) + 256) % 256;
    last = next == 0 ? last : next;
  }
}

std::optional<SpsInfo> ParseSpsInfo(std::span<const uint8_t> nal) {
  Bits b(nal.subspan(1));
  const uint32_t profile = b.U(8);
  b.U(16);  // constraint flags, level
  b.Ue();   // id
  uint32_t chromaFormat = 1;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    chromaFormat = b.Ue();
    if (chromaFormat == 3) b.U(1);
    b.Ue();
    b.Ue();
    b.U(1);
    if (b.U(1)) {
      for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i)
        if (b.U(1)) SkipScalingList(b, i < 6 ? 16 : 64);
    }
  }
  b.Ue();  // log2 max frame number - 4
  const uint32_t pocType = b.Ue();
  if (pocType == 0) {
    b.Ue();
  } else if (pocType == 1) {
    b.U(1);
    b.Se();
    b.Se();
    const uint32_t cycle = b.Ue();
    if (cycle > 255) return std::nullopt;
    for (uint32_t i = 0; i < cycle; ++i) b.Se();
  }
  b.Ue();  // reference frames
  b.U(1);
  const uint32_t widthMbs = b.Ue() + 1;
  const uint32_t heightUnits = b.Ue() + 1;
  const uint32_t frameMbsOnly = b.U(1);
  if (!frameMbsOnly) b.U(1);
  b.U(1);
  uint32_t crop[4] = {};
  if (b.U(1))
    for (uint32_t &c : crop) c = b.Ue();
  if (!b.ok() || widthMbs > 1024 || heightUnits > 1024 || chromaFormat > 3) return std::nullopt;
  SpsInfo info;
  const uint32_t cropX = chromaFormat == 1 || chromaFormat == 2 ? 2 : 1;
  const uint32_t cropY = (chromaFormat == 1 ? 2 : 1) * (2 - frameMbsOnly);
  const int64_t w = int64_t(widthMbs) * 16 - int64_t(crop[0] + crop[1]) * cropX;
  const int64_t h = int64_t(heightUnits) * 16 * (2 - frameMbsOnly) - int64_t(crop[2] + crop[3]) * cropY;
  info.width = w > 0 ? int(w) : int(widthMbs * 16);
  info.height = h > 0 ? int(h) : int(heightUnits * 16 * (2 - frameMbsOnly));
  if (b.U(1)) {                            // VUI
    if (b.U(1) && b.U(8) == 255) b.U(32);  // aspect ratio
    if (b.U(1)) b.U(1);                    // overscan
    if (b.U(1)) {                          // video signal type
      b.U(4);
      if (b.U(1)) b.U(24);
    }
    if (b.U(1)) {  // chroma location
      b.Ue();
      b.Ue();
    }
    if (b.U(1)) {
      info.unitsInTick = b.U(32);
      info.timeScale = b.U(32);
    }
    if (!b.ok()) info.unitsInTick = info.timeScale = 0;
  }
  return info;
}

// A recovery point among the SEI messages of one NAL unit.
bool HasRecoveryPoint(std::span<const uint8_t> nal) {
  Bits b(nal.subspan(1));
  for (int guard = 0; guard < 64; ++guard) {
    uint32_t type = 0, size = 0, byte;
    do type += (byte = b.U(8));
    while (byte == 255 && b.ok());
    do size += (byte = b.U(8));
    while (byte == 255 && b.ok());
    if (!b.ok()) return false;
    if (type == 6) return true;
    if (size > nal.size()) return false;
    for (uint32_t i = 0; i < size; ++i) b.U(8);
    if (!b.ok()) return false;
  }
  return false;
}

constexpr uint32_t kAnnexBTimeScale = 1200000;
constexpr size_t kKeepBytes = 4096;  // of a parameter set or SEI; slices need their header only
constexpr size_t kMaxUnitHeaders = 256 * 1024;

// One access unit while the stream is cut.
struct AccessUnit {
  uint64_t pos = 0;
  bool sawSlice = false;
  bool key = false;
  std::vector<uint8_t> headers;  // its NAL units behind start codes, slices cut to their headers
};

}  // namespace

AvImportResult ImportAnnexB(const std::string &path, Movie *movie, const AvImportLimits &limits) {
  *movie = Movie();
  DataFile file;
  if (!file.Open(path)) return Fail(kFnfErr, "cannot open " + path);
  const int64_t fileSize = file.Size();
  if (fileSize <= 0) return Fail(kInvalidMovie, "empty file");

  std::optional<SpsInfo> sps;
  std::vector<uint8_t> setup;  // the first parameter sets, as the stream's set-up bytes
  AvcPictureOrder order;
  std::vector<int64_t> orders;
  std::vector<bool> keys;
  std::vector<uint64_t> positions;
  AccessUnit unit;
  uint32_t lastFirstMb = 0;

  auto closeUnit = [&](uint64_t) {
    AvcPictureOrder::Picture pic = order.Next(unit.headers);
    orders.push_back(pic.found ? pic.order : INT64_MIN);
    keys.push_back(unit.key);
    positions.push_back(unit.pos);
  };
  // One NAL unit: `start` is where its start code begins (with a zero byte
  // in front when there is one), `nal` its first bytes.
  auto onNal = [&](uint64_t start, std::span<const uint8_t> nal, bool zeroAfter) {
    if (nal.empty()) return;
    const int type = nal[0] & 0x1F;
    bool startsUnit = false;
    if (type == 6 || type == 7 || type == 8 || type == 9) {
      startsUnit = unit.sawSlice;
    } else if (type == 1 || type == 2 || type == 5) {
      Bits b(nal.subspan(1, std::min<size_t>(nal.size() - 1, 8)));
      const uint32_t firstMb = b.Ue();
      startsUnit = unit.sawSlice && firstMb <= lastFirstMb;
      lastFirstMb = firstMb;
    }
    if (startsUnit) {
      closeUnit(start);
      unit = AccessUnit();
      unit.pos = start;
    }
    if (type == 7 && !sps) sps = ParseSpsInfo(nal);
    if ((type == 7 || type == 8) && !unit.sawSlice && orders.empty()) {
      // The parameter sets of the first access unit, each behind a 3-byte
      // start code with the zero bytes that follow it in the stream.
      static constexpr uint8_t kCode[3] = {0, 0, 1};
      setup.insert(setup.end(), kCode, kCode + 3);
      setup.insert(setup.end(), nal.begin(), nal.end());
      if (zeroAfter) setup.push_back(0);
    }
    if (type == 5) unit.key = true;
    if (type == 6 && HasRecoveryPoint(nal)) unit.key = true;
    if (type == 1 || type == 2 || type == 5) unit.sawSlice = true;
    // The picture order reader needs the parameter sets and the first
    // slice; an access unit of very many slices keeps only its start.
    if (unit.headers.size() > kMaxUnitHeaders) return;
    static constexpr uint8_t kCode3[3] = {0, 0, 1};
    unit.headers.insert(unit.headers.end(), kCode3, kCode3 + 3);
    unit.headers.insert(
        unit.headers.end(), nal.begin(),
        nal.begin() + std::ptrdiff_t(std::min<size_t>(nal.size(), type == 7 || type == 8 ? kKeepBytes : 64)));
  };

  // Cut the file into NAL units, a chunk at a time.
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> buf;
  uint64_t bufPos = 0;  // file position of buf[0]
  uint64_t readPos = 0;
  int64_t nalStart = -1;  // file position of the current NAL's start code (with its zero byte)
  uint64_t nalBody = 0;
  std::vector<uint8_t> nalHead;
  uint64_t nalCount = 0;
  size_t scan = 0;
  for (;;) {
    if (scan + 3 > buf.size() && readPos < uint64_t(fileSize)) {
      const size_t drop = scan > 0 ? scan - 1 : 0;  // keep the byte before the scan position
      buf.erase(buf.begin(), buf.begin() + std::ptrdiff_t(drop));
      bufPos += drop;
      scan -= drop;
      const size_t n = size_t(std::min<uint64_t>(kChunk, uint64_t(fileSize) - readPos));
      const size_t at = buf.size();
      buf.resize(at + n);
      if (file.ReadAt(readPos, buf.data() + at, n) != noErr) return Fail(kIoErr, "cannot read " + path);
      readPos += n;
      continue;
    }
    if (scan + 3 > buf.size()) break;
    const uint64_t here = bufPos + scan;
    if (buf[scan] == 0 && buf[scan + 1] == 0 && buf[scan + 2] == 1) {
      const bool zeroByte = scan > 0 && buf[scan - 1] == 0;
      if (nalStart >= 0) {
        // The zero byte in front of a start code is not the NAL unit's.
        const bool whole = !nalHead.empty() && nalHead.size() == here - nalBody;
        if (zeroByte && whole) nalHead.pop_back();
        onNal(uint64_t(nalStart), nalHead, zeroByte && whole);
      }
      if (++nalCount > limits.maxPackets) return Fail(kMemFullErr, "too many NAL units");
      nalStart = int64_t(zeroByte ? here - 1 : here);
      nalBody = here + 3;
      nalHead.clear();
      scan += 3;
      continue;
    }
    if (nalStart >= 0 && here >= nalBody && nalHead.size() < kKeepBytes) nalHead.push_back(buf[scan]);
    ++scan;
  }
  for (; scan < buf.size(); ++scan)
    if (nalStart >= 0 && nalHead.size() < kKeepBytes) nalHead.push_back(buf[scan]);
  if (nalStart >= 0) onNal(uint64_t(nalStart), nalHead, false);
  if (orders.empty() && !unit.sawSlice) return Fail(kInvalidMovie, "no H.264 picture in the stream");
  closeUnit(uint64_t(fileSize));
  if (!sps) return Fail(kInvalidMovie, "no H.264 sequence parameter set");

  // A frame of the stream's own rate, else 25 per second.
  int64_t frame = kAnnexBTimeScale / 25;
  if (sps->unitsInTick && sps->timeScale) {
    const __int128 num = __int128(kAnnexBTimeScale) * 2 * sps->unitsInTick;
    const int64_t f = int64_t((num + sps->timeScale / 2) / sps->timeScale);
    if (f > 0 && f <= INT32_MAX) frame = f;
  }
  const size_t n = positions.size();
  std::vector<int64_t> dts(n);
  for (size_t i = 0; i < n; ++i) dts[i] = int64_t(i) * frame;
  std::vector<int64_t> offsets(n, 0);
  OffsetsFromPictureOrder(orders, dts, &offsets);

  Track track;
  track.headerFlags = 3;
  Media &media = track.media;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t end = i + 1 < n ? positions[i + 1] : uint64_t(fileSize);
    if (end - positions[i] > UINT32_MAX) return Fail(kInvalidSampleTable, "access unit too large");
    if (!media.samples.AppendSample(frame, offsets[i], uint32_t(end - positions[i]), positions[i], keys[i]))
      return Fail(kInvalidSampleTable, "sample cannot be represented");
  }
  std::string why;
  if (QtErr e = media.samples.Finalize(&why); e != kNoErr) return Fail(e, why);
  NewImageDescription d;
  d.codecType = FourCC("H264");
  d.width = int16_t(std::clamp(sps->width, 0, 0x7FFF));
  d.height = int16_t(std::clamp(sps->height, 0, 0x7FFF));
  d.name = "h264";
  media.sampleDescriptions.push_back(MakeStoredImageDescription(d, IndexlessExtensions("h264", setup)));
  media.handlerName = "Video Media Handler";
  media.handlerType = kVideoMediaType;
  media.timeScale = kAnnexBTimeScale;
  media.duration = media.samples.totalDuration();
  media.data.path = path;
  track.width = int32_t(d.width) << 16;
  track.height = int32_t(d.height) << 16;
  std::vector<Track> tracks;
  tracks.push_back(std::move(track));
  FinishIndexlessMovie(path, std::move(tracks), movie);
  return {};
}

}  // namespace tp::qt
