// MovieWriter: boxes are written big-endian into one growing buffer; sizes are
// patched when a box ends.
#include "MovieWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tp::test {
namespace {

class Buf {
 public:
  std::vector<uint8_t> b;
  std::vector<uint64_t> starts;

  void U8(uint32_t v) { b.push_back(uint8_t(v)); }
  void U16(uint32_t v) {
    U8(v >> 8);
    U8(v);
  }
  void U24(uint32_t v) {
    U8(v >> 16);
    U16(v);
  }
  void U32(uint32_t v) {
    U16(v >> 16);
    U16(v);
  }
  void U64(uint64_t v) {
    U32(uint32_t(v >> 32));
    U32(uint32_t(v));
  }
  void Zeros(size_t n) { b.insert(b.end(), n, 0); }
  void Bytes(const std::vector<uint8_t> &v) { b.insert(b.end(), v.begin(), v.end()); }
  void Begin(uint32_t type) {
    stack_.push_back(b.size());
    starts.push_back(b.size());
    U32(0);
    U32(type);
  }
  void BeginFull(uint32_t type, uint8_t version, uint32_t flags) {
    Begin(type);
    U8(version);
    U24(flags);
  }
  void End() {
    const size_t at = stack_.back();
    stack_.pop_back();
    const uint32_t size = uint32_t(b.size() - at);
    b[at] = uint8_t(size >> 24);
    b[at + 1] = uint8_t(size >> 16);
    b[at + 2] = uint8_t(size >> 8);
    b[at + 3] = uint8_t(size);
  }

 private:
  std::vector<size_t> stack_;
};

void Matrix(Buf &o) {
  const uint32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
  for (uint32_t v : m) o.U32(v);
}

std::vector<uint8_t> Description(const WriterTrack &t) {
  Buf o;
  o.Begin(t.format);
  o.Zeros(6);
  o.U16(1);
  if (t.handler == Fcc("vide")) {
    o.U16(0);
    o.U16(0);
    o.U32(0);
    o.U32(0);
    o.U32(0);
    o.U16(t.width);
    o.U16(t.height);
    o.U32(0x00480000);
    o.U32(0x00480000);
    o.U32(0);
    o.U16(1);
    o.U8(4);
    const char name[] = "test";
    o.b.insert(o.b.end(), name, name + 4);
    o.Zeros(27);
    o.U16(24);
    o.U16(0xFFFF);
  } else if (t.handler == Fcc("soun")) {
    o.U16(t.soundVersion);
    o.U16(0);
    o.U32(0);
    if (t.soundVersion == 2) {
      o.U16(3);
      o.U16(16);
      o.U16(0xFFFE);
      o.U16(0);
      o.U32(0x10000);
      o.U32(72);
      double rate = t.sampleRate;
      uint64_t bits = 0;
      std::memcpy(&bits, &rate, sizeof bits);
      o.U64(bits);
      o.U32(t.channels);
      o.U32(0x7F000000);
      o.U32(t.sampleSize);
      o.U32(0);
      o.U32(0);
      o.U32(1);
    } else {
      o.U16(t.channels);
      o.U16(t.sampleSize);
      o.U16(uint16_t(t.compressionId));
      o.U16(0);
      o.U32(t.sampleRate << 16);
      if (t.soundVersion == 1) {
        o.U32(1);
        o.U32(t.sampleSize / 8);
        o.U32(t.sampleSize / 8 * t.channels);
        o.U32(t.sampleSize / 8);
      }
    }
  }
  o.Bytes(t.extensions);
  o.End();
  return o.b;
}

int64_t MediaDuration(const WriterTrack &t) {
  if (t.mediaDuration >= 0) return t.mediaDuration;
  int64_t d = 0;
  for (uint32_t v : t.durations) d += v;
  return d;
}

int64_t TrackDuration(const WriterTrack &t, uint32_t movieScale) {
  if (!t.edits.empty()) {
    int64_t d = 0;
    for (const auto &e : t.edits) d += e.movieDuration;
    return d;
  }
  return t.timeScale ? MediaDuration(t) * movieScale / t.timeScale : 0;
}

void SampleTableBoxes(Buf &o, const WriterTrack &t, const std::vector<uint64_t> &chunkOffsets) {
  const uint32_t n = uint32_t(t.sizes.size());
  o.Begin(Fcc("stbl"));
  o.BeginFull(Fcc("stsd"), 0, 0);
  o.U32(uint32_t(1 + t.extraDescriptions.size()));
  o.Bytes(Description(t));
  for (const auto &d : t.extraDescriptions) o.Bytes(d);
  o.End();

  o.BeginFull(Fcc("stts"), 0, 0);
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  for (uint32_t d : t.durations) {
    if (t.compactDurations && !runs.empty() && runs.back().second == d) {
      ++runs.back().first;
    } else {
      runs.push_back({1, d});
    }
  }
  o.U32(uint32_t(runs.size()));
  for (auto [c, d] : runs) {
    o.U32(c);
    o.U32(d);
  }
  o.End();

  if (!t.compositionOffsets.empty()) {
    o.BeginFull(Fcc("ctts"), uint8_t(t.cttsVersion), 0);
    std::vector<std::pair<uint32_t, int32_t>> offs;
    for (int32_t v : t.compositionOffsets) {
      if (!offs.empty() && offs.back().second == v) {
        ++offs.back().first;
      } else {
        offs.push_back({1, v});
      }
    }
    o.U32(uint32_t(offs.size()));
    for (auto [c, v] : offs) {
      o.U32(c);
      o.U32(uint32_t(v));
    }
    o.End();
  }
  if (t.writeStss) {
    o.BeginFull(Fcc("stss"), 0, 0);
    o.U32(uint32_t(t.syncSamples.size()));
    for (uint32_t s : t.syncSamples) o.U32(s);
    o.End();
  }
  if (!t.partialSyncSamples.empty()) {
    o.BeginFull(Fcc("stps"), 0, 0);
    o.U32(uint32_t(t.partialSyncSamples.size()));
    for (uint32_t s : t.partialSyncSamples) o.U32(s);
    o.End();
  }
  if (!t.sdtp.empty()) {
    o.BeginFull(Fcc("sdtp"), 0, 0);
    o.Bytes(t.sdtp);
    o.End();
  }

  const bool constant =
      n > 0 && std::all_of(t.sizes.begin(), t.sizes.end(), [&](uint32_t s) { return s == t.sizes[0]; });
  if (t.stz2FieldSize != 0) {
    o.BeginFull(Fcc("stz2"), 0, 0);
    o.U24(0);
    o.U8(uint32_t(t.stz2FieldSize));
    o.U32(n);
    if (t.stz2FieldSize == 4) {
      for (uint32_t i = 0; i < n; i += 2) o.U8((t.sizes[i] << 4) | (i + 1 < n ? t.sizes[i + 1] & 0xF : 0));
    } else {
      for (uint32_t s : t.sizes) t.stz2FieldSize == 8 ? o.U8(s) : o.U16(s);
    }
    o.End();
  } else {
    o.BeginFull(Fcc("stsz"), 0, 0);
    o.U32(constant ? t.sizes[0] : 0);
    o.U32(n);
    if (!constant) {
      for (uint32_t s : t.sizes) o.U32(s);
    }
    o.End();
  }

  o.BeginFull(Fcc("stsc"), 0, 0);
  const uint32_t chunks = uint32_t(chunkOffsets.size());
  const uint32_t lastCount = n - (chunks ? (chunks - 1) * t.samplesPerChunk : 0);
  if (chunks == 0) {
    o.U32(0);
  } else if (lastCount == t.samplesPerChunk || chunks == 1) {
    o.U32(1);
    o.U32(1);
    o.U32(chunks == 1 ? lastCount : t.samplesPerChunk);
    o.U32(1);
  } else {
    o.U32(2);
    o.U32(1);
    o.U32(t.samplesPerChunk);
    o.U32(1);
    o.U32(chunks);
    o.U32(lastCount);
    o.U32(1);
  }
  o.End();

  o.BeginFull(t.co64 ? Fcc("co64") : Fcc("stco"), 0, 0);
  o.U32(chunks);
  for (uint64_t c : chunkOffsets) t.co64 ? o.U64(c) : o.U32(uint32_t(c));
  o.End();
  o.End();  // stbl
}

void TrackBoxes(Buf &o, const WriterTrack &t, size_t index, uint32_t movieScale,
                const std::vector<uint64_t> &chunkOffsets) {
  o.Begin(Fcc("trak"));
  o.BeginFull(Fcc("tkhd"), 0, t.enabled ? 3 : 2);
  o.U32(0);
  o.U32(0);
  o.U32(t.trackId ? t.trackId : uint32_t(index + 1));
  o.U32(0);
  o.U32(uint32_t(TrackDuration(t, movieScale)));
  o.Zeros(8);
  o.U16(0);
  o.U16(0);
  o.U16(t.handler == Fcc("soun") ? 0x100 : 0);
  o.U16(0);
  Matrix(o);
  o.U32(t.handler == Fcc("vide") ? uint32_t(t.width) << 16 : 0);
  o.U32(t.handler == Fcc("vide") ? uint32_t(t.height) << 16 : 0);
  o.End();
  if (!t.edits.empty()) {
    o.Begin(Fcc("edts"));
    o.BeginFull(Fcc("elst"), uint8_t(t.elstVersion), 0);
    o.U32(uint32_t(t.edits.size()));
    for (const auto &e : t.edits) {
      if (t.elstVersion == 1) {
        o.U64(uint64_t(e.movieDuration));
        o.U64(uint64_t(e.mediaTime));
      } else {
        o.U32(uint32_t(e.movieDuration));
        o.U32(uint32_t(int32_t(e.mediaTime)));
      }
      o.U32(uint32_t(e.rate));
    }
    o.End();
    o.End();
  }
  o.Begin(Fcc("mdia"));
  o.BeginFull(Fcc("mdhd"), 0, 0);
  o.U32(0);
  o.U32(0);
  o.U32(t.timeScale);
  o.U32(uint32_t(MediaDuration(t)));
  o.U16(0x55C4);  // "und"
  o.U16(0);
  o.End();
  o.BeginFull(Fcc("hdlr"), 0, 0);
  o.U32(0);
  o.U32(t.handler);
  o.Zeros(12);
  const char name[] = "Tidepool test handler";
  o.b.insert(o.b.end(), name, name + sizeof name);
  o.End();
  o.Begin(Fcc("minf"));
  if (t.handler == Fcc("vide")) {
    o.BeginFull(Fcc("vmhd"), 0, 1);
    o.Zeros(8);
    o.End();
  } else if (t.handler == Fcc("soun")) {
    o.BeginFull(Fcc("smhd"), 0, 0);
    o.Zeros(4);
    o.End();
  } else {
    o.BeginFull(Fcc("nmhd"), 0, 0);
    o.End();
  }
  o.Begin(Fcc("dinf"));
  o.BeginFull(Fcc("dref"), 0, 0);
  o.U32(1);
  o.BeginFull(Fcc("url "), 0, 1);
  o.End();
  o.End();
  o.End();
  SampleTableBoxes(o, t, chunkOffsets);
  o.End();  // minf
  o.End();  // mdia
  o.End();  // trak
}

Buf MovieBox(const WriterOptions &opt, const std::vector<WriterTrack> &tracks,
             const std::vector<std::vector<uint64_t>> &chunkOffsets) {
  Buf o;
  o.Begin(Fcc("moov"));
  o.BeginFull(Fcc("mvhd"), 0, 0);
  o.U32(0);
  o.U32(0);
  o.U32(opt.movieTimeScale);
  int64_t duration = 0;
  for (const auto &t : tracks) duration = std::max(duration, TrackDuration(t, opt.movieTimeScale));
  o.U32(uint32_t(duration));
  o.U32(0x10000);
  o.U16(0x100);
  o.Zeros(10);
  Matrix(o);
  o.Zeros(24);
  o.U32(uint32_t(tracks.size() + 1));
  o.End();
  for (size_t i = 0; i < tracks.size(); ++i) TrackBoxes(o, tracks[i], i, opt.movieTimeScale, chunkOffsets[i]);
  o.End();
  if (opt.largeMoovHeader) {
    // Size 1, then the 64-bit size after the type; everything inside moves
    // down by 8 bytes.
    const uint64_t size = o.b.size() + 8;
    std::vector<uint8_t> head = {0, 0, 0, 1, 'm', 'o', 'o', 'v'};
    for (int i = 7; i >= 0; --i) head.push_back(uint8_t(size >> (8 * i)));
    o.b.erase(o.b.begin(), o.b.begin() + 8);
    o.b.insert(o.b.begin(), head.begin(), head.end());
    for (size_t i = 1; i < o.starts.size(); ++i) o.starts[i] += 8;
  }
  return o;
}

}  // namespace

uint8_t SampleByte(size_t track, uint32_t index, uint64_t k) {
  return uint8_t(index * 7 + track * 31 + k * 13 + (index >> 8));
}

WrittenMovie BuildMovie(const WriterOptions &opt, const std::vector<WriterTrack> &tracks) {
  WrittenMovie out;
  Buf ftyp;
  if (opt.writeFtyp) {
    ftyp.Begin(Fcc("ftyp"));
    ftyp.U32(opt.majorBrand);
    ftyp.U32(0x200);
    ftyp.U32(opt.majorBrand);
    ftyp.U32(Fcc("isom"));
    ftyp.End();
  }
  uint64_t dataBytes = 0;
  for (const auto &t : tracks) {
    for (uint32_t s : t.sizes) dataBytes += s;
  }
  const uint64_t mdatHeader = opt.largeMdatHeader ? 16 : 8;

  // Chunk offsets relative to the start of the mdat payload.
  std::vector<std::vector<uint64_t>> relative(tracks.size());
  out.samplePositions.resize(tracks.size());
  uint64_t at = 0;
  for (size_t ti = 0; ti < tracks.size(); ++ti) {
    const auto &t = tracks[ti];
    const uint32_t spc = std::max<uint32_t>(1, t.samplesPerChunk);
    for (uint32_t i = 0; i < t.sizes.size(); ++i) {
      if (i % spc == 0) relative[ti].push_back(at);
      out.samplePositions[ti].push_back(at);
      at += t.sizes[i];
    }
  }
  auto shifted = [&](uint64_t base) {
    std::vector<std::vector<uint64_t>> abs = relative;
    for (auto &v : abs) {
      for (auto &c : v) c += base;
    }
    return abs;
  };

  uint64_t dataStart = 0;
  Buf moov;
  if (opt.mdatFirst) {
    dataStart = ftyp.b.size() + mdatHeader;
    moov = MovieBox(opt, tracks, shifted(dataStart));
  } else {
    const Buf probe = MovieBox(opt, tracks, shifted(0));
    dataStart = ftyp.b.size() + probe.b.size() + mdatHeader;
    moov = MovieBox(opt, tracks, shifted(dataStart));
  }
  for (auto &v : out.samplePositions) {
    for (auto &p : v) p += dataStart;
  }

  Buf mdat;
  const uint64_t mdatSize = mdatHeader + dataBytes;
  if (opt.largeMdatHeader) {
    mdat.U32(1);
    mdat.U32(Fcc("mdat"));
    mdat.U64(mdatSize);
  } else {
    mdat.U32(opt.mdatSizeZero && !opt.mdatFirst ? 0 : uint32_t(mdatSize));
    mdat.U32(Fcc("mdat"));
  }
  for (size_t ti = 0; ti < tracks.size(); ++ti) {
    for (uint32_t i = 0; i < tracks[ti].sizes.size(); ++i) {
      for (uint64_t k = 0; k < tracks[ti].sizes[i]; ++k) mdat.b.push_back(SampleByte(ti, i, k));
    }
  }

  auto append = [&](const Buf &part, bool isMdat) {
    const uint64_t base = out.bytes.size();
    if (isMdat) {
      out.boxOffsets.push_back(base);
    } else {
      for (uint64_t s : part.starts) out.boxOffsets.push_back(base + s);
    }
    out.bytes.insert(out.bytes.end(), part.b.begin(), part.b.end());
  };
  append(ftyp, false);
  if (opt.mdatFirst) {
    out.mdatOffset = out.bytes.size();
    append(mdat, true);
    out.moovOffset = out.bytes.size();
    append(moov, false);
  } else {
    out.moovOffset = out.bytes.size();
    append(moov, false);
    out.mdatOffset = out.bytes.size();
    append(mdat, true);
  }
  out.moovSize = moov.b.size();
  out.mdatSize = mdat.b.size();
  return out;
}

bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

WriterTrack SimpleVideoTrack(uint32_t n, uint32_t size, uint32_t d, uint32_t gop) {
  WriterTrack t;
  t.durations.assign(n, d);
  t.sizes.assign(n, size);
  if (gop > 1) {
    t.writeStss = true;
    for (uint32_t i = 0; i < n; i += gop) t.syncSamples.push_back(i + 1);
  }
  return t;
}

}  // namespace tp::test
