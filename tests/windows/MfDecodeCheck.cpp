// tp_mf_decode MOVIE OUTDIR [--deferred-only]: decodes the first H.264 video track and the
// first AAC or MP3 sound track of MOVIE through the system's decoders
// (MfVideoDecoder, MfAudioDecoder), reading the movie with the runtime's own
// parser. Writes into OUTDIR:
//   frames.yuv  every sample's picture as 4:2:0 planes, in decode order
//               (a sample without a picture of its own repeats the last);
//   frames.txt  "width height", then per sample its display time in media
//               units and its time scale;
//   deferred.yuv, deferred.txt  the same, decoded the deferred way (one
//               forward pass, pictures received in display order);
//   runtime.yuv, runtime.txt  the same through the runtime's decompressor
//               (frame times, completions, its drawing thread);
//   audio.f32   the PCM as interleaved 32-bit float;
//   audio.txt   "rate channels".
// tests/windows/mf_compare.py compares them with ffmpeg's decode.
// --deferred-only writes deferred.* alone (for runs too long for the
// synchronous way, which replays from each IDR). Then
// checks that what the system cannot decode is refused as the runtime's
// seam expects, and that damaged samples neither stop nor crash the video
// decoder. The deferred way must also decode each sample once, hold no
// more than it says, and give the same pictures after a flush (a seek). Exit status 0 when all of it behaved, 1
// otherwise.
#include <cstdio>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <type_traits>
#include <string>
#include <vector>

#include "sound/AudioDecode.h"
#include "container/DataFile.h"
#include "codecs/Decompressor.h"
#include "pixels/GWorld.h"
#include "container/MovieImporter.h"
#include "container/MovieModel.h"
#include "pixels/PixelConvert.h"
#include "container/SampleDescriptions.h"
#include "codecs/VideoCodecs.h"
#include "windows/MfAudioDecoder.h"
#include "windows/MfVideoDecoder.h"
#include "windows/SystemCodecs.h"

using namespace tp::qt;

namespace {

bool ReadSample(const DataFile &file, const SampleRecord &rec, std::vector<uint8_t> *out) {
  out->resize(rec.size);
  return file.ReadAt(rec.position, out->data(), rec.size) == 0;
}

// `picture` drawn into tight 4:2:0 planes of width x height.
template <typename P>
bool DrawI420(P &picture, int width, int height, std::vector<uint8_t> *planes) {
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  planes->assign(size_t(width) * size_t(height) + 2 * size_t(cw) * size_t(ch), 0);
  DrawTarget t;
  t.format = PixelLayout::kYUV420P;
  t.width = width;
  t.height = height;
  t.data[0] = planes->data();
  t.data[1] = t.data[0] + size_t(width) * size_t(height);
  t.data[2] = t.data[1] + size_t(cw) * size_t(ch);
  t.linesize[0] = width;
  t.linesize[1] = t.linesize[2] = cw;
  int w = 0, h = 0;
  if constexpr (std::is_same_v<std::remove_const_t<P>, MfPicture>) {
    return DrawMfPicture(picture, t, &w, &h) == noErr;
  } else {
    return picture.Draw(t, &w, &h) == noErr;
  }
}

// Writes `pic` as tight 4:2:0 planes.
void WriteI420(const MfPicture &pic, std::FILE *f) {
  if (pic.layout == MfPictureLayout::kNV12) {
    std::vector<uint8_t> planes;
    DrawI420<const MfPicture>(pic, pic.width, pic.height, &planes);
    std::fwrite(planes.data(), 1, planes.size(), f);
    return;
  }
  const int cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
  std::vector<uint8_t> y(size_t(pic.width) * size_t(pic.height)), u(size_t(cw) * size_t(ch)), v(u.size());
  for (int r = 0; r < pic.height; ++r) {
    if (pic.layout == MfPictureLayout::kYUY2) {
      const uint8_t *s = pic.plane(0) + size_t(r) * size_t(pic.strides[0]);
      for (int x = 0; x < pic.width; ++x) y[size_t(r * pic.width + x)] = s[2 * x];
      if (r % 2 == 0)
        for (int x = 0; x < cw; ++x) {
          u[size_t(r / 2 * cw + x)] = s[4 * x + 1];
          v[size_t(r / 2 * cw + x)] = s[4 * x + 3];
        }
    } else {
      std::memcpy(&y[size_t(r * pic.width)], pic.plane(0) + size_t(r) * size_t(pic.strides[0]), size_t(pic.width));
    }
  }
  if (pic.layout == MfPictureLayout::kI420) {
    for (int r = 0; r < ch; ++r) {
      std::memcpy(&u[size_t(r * cw)], pic.plane(1) + size_t(r) * size_t(pic.strides[1]), size_t(cw));
      std::memcpy(&v[size_t(r * cw)], pic.plane(2) + size_t(r) * size_t(pic.strides[2]), size_t(cw));
    }
  }
  std::fwrite(y.data(), 1, y.size(), f);
  std::fwrite(u.data(), 1, u.size(), f);
  std::fwrite(v.data(), 1, v.size(), f);
}

bool DecodeVideo(const Track &track, const std::string &dir) {
  const Media &media = track.media;
  std::span<const uint8_t> desc = media.Description(1);
  ImageDescriptionInfo info;
  if (!ReadImageDescription(desc, &info)) return false;
  MfVideoSetup setup;
  setup.width = info.width;
  setup.height = info.height;
  if (auto avcC = FindDescriptionExtension(desc, kVideoMediaType, FourCC("avcC")))
    setup.config.assign(avcC->begin(), avcC->end());
  std::unique_ptr<MfVideoDecoder> decoder;
  OSErr err = MfVideoDecoder::Create(setup, &decoder);
  std::printf("video: %s %dx%d, decoder %d\n", FourCCString(info.codecType).c_str(), info.width, info.height, err);
  if (err != noErr) return false;
  DataFile file;
  if (!file.Open(media.data.path)) return false;
  std::FILE *yuv = std::fopen((dir + "/frames.yuv").c_str(), "wb");
  std::FILE *txt = std::fopen((dir + "/frames.txt").c_str(), "w");
  if (!yuv || !txt) return false;
  std::fprintf(txt, "%d %d\n", info.width, info.height);
  std::vector<uint8_t> bytes;
  int missing = 0;
  std::vector<std::vector<uint8_t>> firstPass(media.samples.count());
  for (uint32_t i = 0; i < media.samples.count(); ++i) {
    SampleRecord rec;
    if (!media.samples.Sample(i, &rec) || !ReadSample(file, rec, &bytes)) return false;
    const int64_t display = rec.decodeTime + rec.displayOffset;
    const MfPicture *pic = nullptr;
    err = decoder->Decode(bytes);
    bool own = false;
    if (err == noErr) err = decoder->LastPicture(&pic, &own);
    if (err != noErr) {
      std::printf("video: sample %u failed %d\n", i, err);
      return false;
    }
    if (!own) ++missing;
    if (!pic) continue;
    WriteI420(*pic, yuv);
    firstPass[i] = pic->bytes;
    std::fprintf(txt, "%lld %u\n", static_cast<long long>(display), media.timeScale);
  }
  std::fclose(yuv);
  std::fclose(txt);

  // A seek: decoding resumes at the second sync sample (an IDR, or an
  // intra picture of an open GOP) with the same decoder; every picture that
  // displays from there on must equal the first pass's.
  uint32_t resume = 0, equal = 0, compared = 0;
  for (uint32_t i = 1; i < media.samples.count() && resume == 0; ++i) {
    SampleRecord rec;
    if (media.samples.Sample(i, &rec) && !(rec.flags & kMediaSampleNotSync)) resume = i;
  }
  if (resume > 0) {
    SampleRecord start;
    media.samples.Sample(resume, &start);
    for (uint32_t i = resume; i < media.samples.count() && i < resume + 20; ++i) {
      SampleRecord rec;
      const MfPicture *pic = nullptr;
      bool own = false;
      if (!media.samples.Sample(i, &rec) || !ReadSample(file, rec, &bytes) || decoder->Decode(bytes) != noErr ||
          decoder->LastPicture(&pic, &own) != noErr)
        return false;
      if (rec.decodeTime + rec.displayOffset < start.decodeTime + start.displayOffset) continue;  // leading
      ++compared;
      if (pic && own && pic->bytes == firstPass[i]) ++equal;
    }
    std::printf("video seek to sample %u: %u of %u pictures equal\n", resume, equal, compared);
    if (equal != compared) return false;
  }

  // Damage: a length that runs past the sample is refused; garbage with
  // sound lengths is taken without harm; the first sample again (an IDR)
  // still gives its own picture.
  const uint8_t overrun[] = {0, 0, 0, 9, 0x41, 0x9A};
  const uint8_t garbage[] = {0, 0, 0, 6, 0x41, 0x9A, 0x12, 0xFF, 0x00, 0x37};
  const MfPicture *pic = nullptr;
  bool own = false;
  OSErr overrunErr = decoder->Decode(overrun);
  OSErr garbageErr = decoder->Decode(garbage);
  if (garbageErr == noErr) garbageErr = decoder->LastPicture(&pic, &own);
  SampleRecord first;
  bool again = media.samples.Sample(0, &first) && ReadSample(file, first, &bytes) && decoder->Decode(bytes) == noErr &&
               decoder->LastPicture(&pic, &own) == noErr && pic && own;
  std::printf("video damage: overrun %d, garbage %d, IDR again %s\n", overrunErr, garbageErr, again ? "ok" : "FAILED");
  if (overrunErr != codecBadDataErr || (garbageErr != noErr && garbageErr != codecBadDataErr) || !again) return false;

  const MfVideoDecoder::Stats &s = decoder->stats();
  std::printf(
      "video: %u samples, %d without a picture; fed %lld, pictures out %lld, replays %lld (%lld samples, %lld "
      "copies)\n",
      media.samples.count(), missing, static_cast<long long>(s.fed), static_cast<long long>(s.pictures),
      static_cast<long long>(s.replays), static_cast<long long>(s.replayed), static_cast<long long>(s.fillers));
  return true;
}

// One deferred run over samples [first, end) of `media`: every sample sent
// in decode order, pictures received as they come (in display order), a
// drain at the end. Fills `pictures` (by sample) and `order` (the samples
// in the order received); false when a sample did not come out exactly
// once with its picture, or the decoder held more than it said.
struct DeferredRun {
  std::map<uint32_t, std::vector<uint8_t>> pictures;
  std::vector<uint32_t> order;
};
bool RunDeferred(MfVideoDecoder &decoder, const Media &media, const DataFile &file, int width, int height,
                 uint32_t first, uint32_t end, DeferredRun *run) {
  std::vector<uint8_t> bytes;
  std::map<uint64_t, int64_t> sent;  // tag -> display time
  const uint64_t tagBase = uint64_t(first) << 32;
  bool ok = true;
  auto collect = [&] {
    VideoDecoder::Output out;
    while (decoder.Receive(&out)) {
      const uint32_t sample = uint32_t(out.tag - tagBase);
      if (!sent.erase(out.tag) || out.result != noErr || !out.picture) {
        std::printf("deferred: sample %u came out with %d%s\n", sample, out.result, out.picture ? "" : ", no picture");
        ok = false;
        continue;
      }
      if (!DrawI420(*out.picture, width, height, &run->pictures[sample])) ok = false;
      run->order.push_back(sample);
    }
  };
  for (uint32_t i = first; i < end; ++i) {
    SampleRecord rec;
    if (!media.samples.Sample(i, &rec) || !ReadSample(file, rec, &bytes)) return false;
    if (OSErr err = decoder.Send(bytes, tagBase + i, rec.decodeTime + rec.displayOffset); err != noErr) {
      std::printf("deferred: sample %u refused %d\n", i, err);
      return false;
    }
    sent[tagBase + i] = rec.decodeTime + rec.displayOffset;
    collect();
    if (int(sent.size()) > decoder.MaxDelay()) {
      std::printf("deferred: %zu samples held, more than %d\n", sent.size(), decoder.MaxDelay());
      ok = false;
    }
  }
  if (decoder.Drain() != noErr) return false;
  collect();
  if (!sent.empty()) {
    std::printf("deferred: %zu samples never came out\n", sent.size());
    ok = false;
  }
  return ok;
}

bool DecodeVideoDeferred(const Track &track, const std::string &dir) {
  const Media &media = track.media;
  std::span<const uint8_t> desc = media.Description(1);
  ImageDescriptionInfo info;
  if (!ReadImageDescription(desc, &info)) return false;
  MfVideoSetup setup;
  setup.width = info.width;
  setup.height = info.height;
  if (auto avcC = FindDescriptionExtension(desc, kVideoMediaType, FourCC("avcC")))
    setup.config.assign(avcC->begin(), avcC->end());
  std::unique_ptr<MfVideoDecoder> decoder;
  if (MfVideoDecoder::Create(setup, &decoder) != noErr) return false;
  DataFile file;
  if (!file.Open(media.data.path)) return false;
  const uint32_t count = media.samples.count();

  const auto start = std::chrono::steady_clock::now();
  DeferredRun all;
  bool ok = RunDeferred(*decoder, media, file, info.width, info.height, 0, count, &all);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const MfVideoDecoder::Stats s = decoder->stats();
  // One forward pass: each sample fed once, plus the copies a drain feeds.
  std::printf("deferred: %u samples in %.2f s; fed %lld (%lld copies), %lld pictures out, %lld instances\n", count,
              seconds, static_cast<long long>(s.fed), static_cast<long long>(s.fillers),
              static_cast<long long>(s.pictures), static_cast<long long>(s.instances));
  if (s.fed != int64_t(count) + s.fillers || s.replays != 0) {
    std::printf("deferred: samples were decoded more than once\n");
    ok = false;
  }
  std::FILE *yuv = std::fopen((dir + "/deferred.yuv").c_str(), "wb");
  std::FILE *txt = std::fopen((dir + "/deferred.txt").c_str(), "w");
  if (!yuv || !txt) return false;
  std::fprintf(txt, "%d %d\n", info.width, info.height);
  int64_t lastDisplay = INT64_MIN;
  for (uint32_t i : all.order) {
    SampleRecord rec;
    media.samples.Sample(i, &rec);
    const int64_t display = rec.decodeTime + rec.displayOffset;
    if (display < lastDisplay) {
      std::printf("deferred: sample %u came out of display order\n", i);
      ok = false;
    }
    lastDisplay = display;
    const std::vector<uint8_t> &pic = all.pictures[i];
    std::fwrite(pic.data(), 1, pic.size(), yuv);
    std::fprintf(txt, "%lld %u\n", static_cast<long long>(display), media.timeScale);
  }
  std::fclose(yuv);
  std::fclose(txt);

  // Seeks: a run cut short by a flush mid-GOP, then each sync sample after
  // the first: a run of 30 samples from there must give the pictures of the
  // whole pass for every sample that displays at or after the sync sample.
  int seeks = 0;
  for (uint32_t i = 1; i < count && seeks < 3; ++i) {
    SampleRecord sync;
    if (!media.samples.Sample(i, &sync) || (sync.flags & kMediaSampleNotSync)) continue;
    ++seeks;
    DeferredRun cut;
    for (uint32_t j = 0; j < 5 && j < count; ++j) {
      SampleRecord rec;
      std::vector<uint8_t> bytes;
      if (!media.samples.Sample(j, &rec) || !ReadSample(file, rec, &bytes) ||
          decoder->Send(bytes, (uint64_t(7) << 40) + j, rec.decodeTime + rec.displayOffset) != noErr)
        return false;
    }
    decoder->Flush();
    VideoDecoder::Output stale;
    if (decoder->Receive(&stale)) {
      std::printf("deferred: a picture came out after a flush\n");
      ok = false;
    }
    DeferredRun run;
    const uint32_t end = std::min(count, i + 30);
    if (!RunDeferred(*decoder, media, file, info.width, info.height, i, end, &run)) ok = false;
    uint32_t equal = 0, compared = 0;
    for (uint32_t j = i; j < end; ++j) {
      SampleRecord rec;
      media.samples.Sample(j, &rec);
      if (rec.decodeTime + rec.displayOffset < sync.decodeTime + sync.displayOffset) continue;  // leading
      ++compared;
      if (run.pictures.count(j) && run.pictures[j] == all.pictures[j]) ++equal;
    }
    std::printf("deferred seek to sample %u: %u of %u pictures equal\n", i, equal, compared);
    if (equal != compared) ok = false;
  }
  return ok;
}

// Completions of the runtime's deferred run: each sample's picture as the
// world showed it when its completion came (on the drawing thread).
struct RuntimeCompletions {
  std::mutex lock;
  std::shared_ptr<GWorld> world;
  std::map<long, std::vector<OSErr>> results;
  std::map<long, std::vector<uint8_t>> pictures;
  std::vector<long> order;
};
RuntimeCompletions gRuntime;

void OnRuntimeDone(OSErr result, short, long refcon) {
  std::lock_guard<std::mutex> hold(gRuntime.lock);
  gRuntime.results[refcon].push_back(result);
  gRuntime.order.push_back(refcon);
  const DrawTarget t = gRuntime.world->Target();
  std::vector<uint8_t> &pic = gRuntime.pictures[refcon];
  pic.clear();
  for (int i = 0; i < 3; ++i) {
    const int w = i ? (t.width + 1) / 2 : t.width, h = i ? (t.height + 1) / 2 : t.height;
    for (int y = 0; y < h; ++y) pic.insert(pic.end(), t.data[i] + y * t.linesize[i], t.data[i] + y * t.linesize[i] + w);
  }
}

// The whole runtime path of a deferred run (the Decompressor with a frame
// time and a completion per sample, pictures drawn on its drawing thread
// into a 'y420' world), as the engine drives it: every completion must come
// once, in display order, with its picture; written as runtime.* for
// mf_compare.py.
bool DecodeThroughRuntime(const Track &track, const std::string &dir) {
  const Media &media = track.media;
  std::vector<uint8_t> host;
  if (StoredToHostDescription(media.Description(1), kVideoMediaType, &host) != kNoErr) return false;
  ImageDescriptionInfo info;
  if (!ReadImageDescription(media.Description(1), &info)) return false;
  const Rect bounds{0, 0, SInt16((info.height + 1) / 2 * 2), SInt16((info.width + 1) / 2 * 2)};
  if (GWorld::Create(FourCC("y420"), &bounds, &gRuntime.world) != noErr) return false;
  std::unique_ptr<Decompressor> decompressor;
  if (OSErr err = Decompressor::Create(host, gRuntime.world, &decompressor); err != noErr) {
    std::printf("runtime: decompressor %d\n", err);
    return false;
  }
  DataFile file;
  if (!file.Open(media.data.path)) return false;
  const uint32_t count = media.samples.count();
  std::vector<uint8_t> bytes;
  for (uint32_t i = 0; i < count; ++i) {
    SampleRecord rec;
    if (!media.samples.Sample(i, &rec) || !ReadSample(file, rec, &bytes)) return false;
    ICMCompletionProcRecord done{OnRuntimeDone, long(i)};
    ICMFrameTimeRecord time{};
    const int64_t display = rec.decodeTime + rec.displayOffset;
    time.value.hi = SInt32(display >> 32);
    time.value.lo = UInt32(display & 0xFFFFFFFF);
    time.scale = SInt32(media.timeScale);
    time.recordSize = sizeof(time);
    if (OSErr err = decompressor->DecodeFrame(bytes.data(), int64_t(bytes.size()), true, &done, &time); err != noErr) {
      std::printf("runtime: sample %u failed %d\n", i, err);
      return false;
    }
  }
  decompressor->Drain();
  decompressor->WaitForDraw();
  const int limit = decompressor->PendingLimit();
  decompressor.reset();
  bool ok = true;
  std::lock_guard<std::mutex> hold(gRuntime.lock);
  std::FILE *yuv = std::fopen((dir + "/runtime.yuv").c_str(), "wb");
  std::FILE *txt = std::fopen((dir + "/runtime.txt").c_str(), "w");
  if (!yuv || !txt) return false;
  std::fprintf(txt, "%d %d\n", int(bounds.right), int(bounds.bottom));
  int64_t last = INT64_MIN;
  for (long i : gRuntime.order) {
    SampleRecord rec;
    media.samples.Sample(uint32_t(i), &rec);
    const int64_t display = rec.decodeTime + rec.displayOffset;
    if (gRuntime.results[i] != std::vector<OSErr>{noErr} || display < last) ok = false;
    last = display;
    std::fwrite(gRuntime.pictures[i].data(), 1, gRuntime.pictures[i].size(), yuv);
    std::fprintf(txt, "%lld %u\n", static_cast<long long>(display), media.timeScale);
  }
  std::fclose(yuv);
  std::fclose(txt);
  std::printf("runtime: %zu of %u completions, each once with its picture, in display order: %s (pending limit %d)\n",
              gRuntime.order.size(), count, ok && gRuntime.order.size() == count ? "yes" : "NO", limit);
  return ok && gRuntime.order.size() == count;
}

// Appends `pcm` (in `format`) as float.
void AppendFloat(const std::vector<uint8_t> &pcm, const MfPcmFormat &format, std::vector<float> *out) {
  if (format.isFloat) {
    size_t n = pcm.size() / 4;
    size_t at = out->size();
    out->resize(at + n);
    std::memcpy(out->data() + at, pcm.data(), n * 4);
  } else {
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
      int16_t s;
      std::memcpy(&s, &pcm[i], 2);
      out->push_back(float(s) / 32768.0f);
    }
  }
}

bool DecodeAudio(const Track &track, const std::string &dir) {
  const Media &media = track.media;
  std::span<const uint8_t> desc = media.Description(1);
  SoundDescriptionInfo info;
  if (!ReadSoundDescription(desc, &info)) return false;
  MfAudioSetup setup;
  setup.sampleRate = int(info.sampleRateHz);
  setup.channels = int(info.numChannels);
  if (info.dataFormat == FourCC(".mp3")) {
    setup.codec = MfAudioCodec::kMp3;
  } else if (auto esds = FindDescriptionExtension(desc, kSoundMediaType, FourCC("esds"))) {
    std::optional<EsdsConfig> config = ParseEsds(*esds);
    if (!config) return false;
    if (config->objectType == 0x6B || config->objectType == 0x69) {
      setup.codec = MfAudioCodec::kMp3;
    } else {
      setup.audioSpecificConfig = config->decoderSpecificInfo;
    }
  }
  std::unique_ptr<MfAudioDecoder> decoder;
  OSErr err = MfAudioDecoder::Create(setup, &decoder);
  std::printf("audio: %s %d Hz %d channels, decoder %d\n", FourCCString(info.dataFormat).c_str(), setup.sampleRate,
              setup.channels, err);
  if (err != noErr) return false;
  DataFile file;
  if (!file.Open(media.data.path)) return false;
  std::vector<uint8_t> bytes, pcm;
  std::vector<float> all;
  MfPcmFormat format = decoder->format();
  for (uint32_t i = 0; i < media.samples.count(); ++i) {
    SampleRecord rec;
    if (!media.samples.Sample(i, &rec) || !ReadSample(file, rec, &bytes)) return false;
    pcm.clear();
    if (decoder->Decode(bytes, &pcm) != noErr) return false;
    AppendFloat(pcm, decoder->format(), &all);
  }
  pcm.clear();
  if (decoder->Drain(&pcm) != noErr) return false;
  AppendFloat(pcm, decoder->format(), &all);
  format = decoder->format();
  std::FILE *raw = std::fopen((dir + "/audio.f32").c_str(), "wb");
  std::FILE *txt = std::fopen((dir + "/audio.txt").c_str(), "w");
  if (!raw || !txt) return false;
  std::fwrite(all.data(), 4, all.size(), raw);
  std::fprintf(txt, "%d %d\n", format.sampleRate, format.channels);
  std::fclose(raw);
  std::fclose(txt);
  std::printf("audio: %u packets -> %zu frames, %s out\n", media.samples.count(), all.size() / size_t(format.channels),
              format.isFloat ? "float" : "16-bit");
  return true;
}

// What the seam must refuse, and how.
bool CheckRefusals() {
  struct Case {
    const char *name;
    bool video;
    const char *codec;
    std::vector<uint8_t> extradata;
    OSErr expected;
  };
  const Case cases[] = {
      {"HEVC, which no system decoder here takes", true, "hevc", {}, noCodecErr},
      {"AC-3, likewise", false, "ac3", {}, noCodecErr},
      {"H.264 with a damaged avcC", true, "h264", {1, 0x64, 0}, codecErr},
      {"AAC without its config", false, "aac", {}, codecErr},
      {"AAC with a reserved rate", false, "aac", {0x16, 0x90}, codecErr},
  };
  bool ok = true;
  for (const Case &c : cases) {
    OSErr err;
    if (c.video) {
      VideoCodecSetup setup;
      setup.codec = c.codec;
      setup.width = 64;
      setup.height = 48;
      setup.extradata = c.extradata;
      std::unique_ptr<VideoDecoder> d;
      err = CreateSystemVideoDecoder(setup, &d);
    } else {
      AudioCodecSetup setup;
      setup.codec = c.codec;
      setup.channels = 2;
      setup.sampleRate = 44100;
      setup.extradata = c.extradata;
      std::unique_ptr<AudioDecoder> d;
      err = CreateSystemAudioDecoder(setup, &d);
    }
    std::printf("refuse %s: %d (%s)\n", c.name, err, err == c.expected ? "ok" : "FAILED");
    ok = ok && err == c.expected;
  }
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  const bool deferredOnly = argc == 4 && std::string(argv[3]) == "--deferred-only";
  if (argc != 3 && !deferredOnly) {
    std::fprintf(stderr, "usage: tp_mf_decode MOVIE OUTDIR [--deferred-only]\n");
    return 2;
  }
  Movie movie;
  ImportResult imported = ImportMovieFile(argv[1], &movie);
  if (imported.error != kNoErr) {
    std::printf("import failed %d: %s\n", imported.error, imported.message.c_str());
    return 1;
  }
  const Track *video = movie.FirstTrackOfType(kVideoMediaType);
  const Track *sound = movie.FirstTrackOfType(kSoundMediaType);
  bool ok = video && DecodeVideoDeferred(*video, argv[2]);
  ok = video && DecodeThroughRuntime(*video, argv[2]) && ok;
  if (!deferredOnly) {
    ok = DecodeVideo(*video, argv[2]) && ok;
    ok = sound && DecodeAudio(*sound, argv[2]) && ok;
    ok = CheckRefusals() && ok;
  }
  std::printf("%s\n", ok ? "decoded" : "FAILED");
  std::fflush(stdout);
  return ok ? 0 : 1;
}
