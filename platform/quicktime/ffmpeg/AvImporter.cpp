#include "container/AvImporter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#ifdef _WIN32
#include <windows.h>
#endif

#include "BackEnds.h"
#include "container/DataFile.h"
#include "container/OwnImporters.h"
#include "container/SampleDescriptions.h"

namespace tp::qt {
namespace {

struct FormatContextDeleter {
  void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct DictDeleter {
  void operator()(AVDictionary *d) const { av_dict_free(&d); }
};
struct ParserDeleter {
  void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};

// What we learn about one packet while reading the file.
struct PacketInfo {
  int64_t dts;  // AV_NOPTS_VALUE when unknown
  int64_t pts;
  int64_t duration;
  uint32_t size;
  int64_t pos;
  bool key;
  // The picture's order count where the stream carries no times of its own
  // (raw H.264), INT64_MIN when unknown.
  int64_t pictureOrder = INT64_MIN;
};

// One audio or video stream being imported.
struct StreamImport {
  int streamIndex = -1;
  uint32_t handlerType = 0;
  std::vector<PacketInfo> packets;
  // Packet bytes live verbatim in the file until one does not; from then on
  // every packet's bytes are kept in `stored`.
  bool inFile = true;
  std::vector<uint8_t> stored;
  std::vector<uint64_t> storedOffsets;
  // Reads each H.264 packet's picture order count when the stream has no
  // presentation times (null otherwise).
  std::unique_ptr<AVCodecParserContext, ParserDeleter> orderParser;
  std::unique_ptr<AVCodecContext, CodecContextDeleter> orderContext;
};

// The picture order count of one complete H.264 access unit, INT64_MIN when
// the parser finds no picture in it.
int64_t PictureOrder(StreamImport &s, const AVPacket &pkt) {
  uint8_t *out = nullptr;
  int outSize = 0;
  s.orderParser->output_picture_number = INT32_MIN;
  av_parser_parse2(s.orderParser.get(), s.orderContext.get(), &out, &outSize, pkt.data, pkt.size, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  const int order = s.orderParser->output_picture_number;
  return outSize > 0 && order != INT32_MIN ? int64_t(order) : INT64_MIN;
}

struct Deadline {
  std::chrono::steady_clock::time_point end;
};

// libavformat opens a path as UTF-8 on Windows; the runtime's paths are in
// the ANSI code page there (UTF-8 elsewhere). Empty when it cannot convert.
std::string LibavPath(const std::string &path) {
#ifdef _WIN32
  if (path.empty()) return path;
  const int wide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
  if (wide <= 0) return {};
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), w.data(), wide);
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string utf8(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, utf8.data(), n, nullptr, nullptr);
  return utf8;
#else
  return path;
#endif
}

int InterruptCallback(void *opaque) {
  auto *d = static_cast<Deadline *>(opaque);
  return std::chrono::steady_clock::now() > d->end ? 1 : 0;
}

void QuietLibav() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// libavformat's codec tags hold the first character in the low byte; our
// four-character codes hold it in the high byte.
uint32_t FromLavcTag(uint32_t tag) {
  return (tag >> 24) | ((tag >> 8) & 0xFF00) | ((tag << 8) & 0xFF0000) | (tag << 24);
}

uint32_t VideoCodecType(const AVCodecParameters *par) {
  switch (par->codec_id) {
    case AV_CODEC_ID_H264:
      return FourCC("H264");  // Annex B samples, as the raw stream holds them
    case AV_CODEC_ID_H261:
      return FourCC("h261");
    case AV_CODEC_ID_H263:
      return FourCC("h263");
    case AV_CODEC_ID_DVVIDEO:
      return par->height > 480 ? FourCC("dvcp") : FourCC("dvc ");
    case AV_CODEC_ID_FLIC:
      return FourCC("flic");
    case AV_CODEC_ID_RAWVIDEO:
      return FourCC("y420");
    default:
      return par->codec_tag ? FromLavcTag(par->codec_tag) : FourCC("????");
  }
}

struct SoundFormat {
  uint32_t dataFormat;
  uint32_t bits;
  int16_t compressionID;
};

SoundFormat AudioFormat(const AVCodecParameters *par) {
  switch (par->codec_id) {
    case AV_CODEC_ID_PCM_S16BE:
      return {FourCC("twos"), 16, 0};
    case AV_CODEC_ID_PCM_S16LE:
      return {FourCC("sowt"), 16, 0};
    case AV_CODEC_ID_PCM_S8:
      return {FourCC("twos"), 8, 0};
    case AV_CODEC_ID_PCM_U8:
      return {FourCC("raw "), 8, 0};
    case AV_CODEC_ID_PCM_S24BE:
      return {FourCC("in24"), 24, 0};
    case AV_CODEC_ID_PCM_S32BE:
      return {FourCC("in32"), 32, 0};
    case AV_CODEC_ID_PCM_F32BE:
      return {FourCC("fl32"), 32, 0};
    case AV_CODEC_ID_PCM_F64BE:
      return {FourCC("fl64"), 64, 0};
    case AV_CODEC_ID_PCM_ALAW:
      return {FourCC("alaw"), 16, -2};
    case AV_CODEC_ID_PCM_MULAW:
      return {FourCC("ulaw"), 16, -2};
    case AV_CODEC_ID_AMR_NB:
      return {FourCC("samr"), 16, -2};
    case AV_CODEC_ID_AMR_WB:
      return {FourCC("sawb"), 16, -2};
    default:
      return {par->codec_tag ? FromLavcTag(par->codec_tag) : FourCC("????"), 16, -2};
  }
}

// Extension atoms every description of this importer carries: the decoder's
// name ('lavc') and any codec set-up bytes ('glbl').
std::vector<uint8_t> Extensions(const AVCodecParameters *par) {
  std::vector<uint8_t> ext;
  const char *name = avcodec_get_name(par->codec_id);
  AppendAtom(&ext, FourCC("lavc"), std::span(reinterpret_cast<const uint8_t *>(name), std::strlen(name)));
  if (par->extradata && par->extradata_size > 0)
    AppendAtom(&ext, FourCC("glbl"), std::span(par->extradata, size_t(par->extradata_size)));
  return ext;
}

int16_t Clamp16(int v) { return int16_t(std::clamp(v, 0, 0x7FFF)); }

// Time scale of a media and the factor that turns stream time-base units into
// it. Sound gets its sample rate when the stream's unit is a whole number of
// samples; otherwise the stream's own unit is kept.
bool MediaTimeScale(const AVStream *st, uint32_t *scale, int64_t *factor) {
  AVRational tb = st->time_base;
  if (tb.num <= 0 || tb.den <= 0) return false;
  int rate = st->codecpar->sample_rate;
  if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && rate > 0 && (int64_t(rate) * tb.num) % tb.den == 0) {
    *scale = uint32_t(rate);
    *factor = int64_t(rate) * tb.num / tb.den;
    return *factor > 0;
  }
  *scale = uint32_t(tb.den);
  *factor = tb.num;
  return true;
}

AvImportResult Fail(QtErr e, std::string m) { return {e, std::move(m)}; }

// Turns the packets of one stream into a media: decode times from the dts
// (or, where the stream has none, from the packet durations), display
// offsets from pts - dts.
AvImportResult BuildMedia(const AVStream *st, StreamImport &s, const std::string &path, Media *media) {
  uint32_t scale;
  int64_t factor;
  if (!MediaTimeScale(st, &scale, &factor) || scale > uint32_t(INT32_MAX))
    return Fail(kInvalidMedia, "stream time base cannot be a time scale");
  size_t n = s.packets.size();
  std::vector<int64_t> dts(n);
  bool haveDts =
      std::all_of(s.packets.begin(), s.packets.end(), [](const PacketInfo &p) { return p.dts != AV_NOPTS_VALUE; });
  // Times come from the file: every difference and sum is checked.
  int64_t t = 0;
  for (size_t i = 0; i < n; ++i) {
    const PacketInfo &p = s.packets[i];
    if (haveDts) {
      if (__builtin_sub_overflow(p.dts, s.packets[0].dts, &dts[i])) return Fail(kInvalidSampleTable, "dts overflow");
    } else {
      dts[i] = t;
      if (__builtin_add_overflow(t, std::max<int64_t>(p.duration, 0), &t))
        return Fail(kInvalidSampleTable, "duration overflow");
    }
    if (i > 0 && dts[i] < dts[i - 1]) dts[i] = dts[i - 1];  // decode times never go back
  }
  std::vector<int64_t> orderOffsets;
  std::vector<int64_t> orders(n);
  for (size_t i = 0; i < n; ++i) orders[i] = s.packets[i].pictureOrder;
  const bool haveOrder = !haveDts && OffsetsFromPictureOrder(orders, dts, &orderOffsets);
  for (size_t i = 0; i < n; ++i) {
    const PacketInfo &p = s.packets[i];
    int64_t duration = 0;
    bool overflow = false;
    if (i + 1 < n)
      overflow = __builtin_sub_overflow(dts[i + 1], dts[i], &duration);
    else if (p.duration > 0)
      duration = p.duration;
    else if (i > 0)
      overflow = __builtin_sub_overflow(dts[i], dts[i - 1], &duration);
    int64_t offset = 0;
    if (haveDts && p.pts != AV_NOPTS_VALUE) overflow |= __builtin_sub_overflow(p.pts, p.dts, &offset);
    if (haveOrder) offset = orderOffsets[i];
    if (overflow) return Fail(kInvalidSampleTable, "sample time out of range");
    if (duration > INT64_MAX / factor || offset > INT64_MAX / factor || offset < INT64_MIN / factor)
      return Fail(kInvalidSampleTable, "sample time out of range");
    uint64_t position = s.inFile ? uint64_t(p.pos) : s.storedOffsets[i];
    if (!media->samples.AppendSample(duration * factor, offset * factor, p.size, position, p.key))
      return Fail(kInvalidSampleTable, "sample cannot be represented");
  }
  std::string why;
  if (QtErr e = media->samples.Finalize(&why); e != kNoErr) return Fail(e, why);

  const AVCodecParameters *par = st->codecpar;
  std::vector<uint8_t> ext = Extensions(par);
  if (s.handlerType == kVideoMediaType) {
    NewImageDescription d;
    d.codecType = VideoCodecType(par);
    d.width = Clamp16(par->width);
    d.height = Clamp16(par->height);
    d.name = avcodec_get_name(par->codec_id);
    media->sampleDescriptions.push_back(MakeStoredImageDescription(d, ext));
    media->handlerName = "Video Media Handler";
  } else {
    SoundFormat f = AudioFormat(par);
    NewSoundDescription d;
    d.dataFormat = f.dataFormat;
    d.channels = uint32_t(std::max(par->ch_layout.nb_channels, 0));
    d.bitsPerSample = f.bits;
    d.compressionID = f.compressionID;
    d.sampleRate = par->sample_rate;
    media->sampleDescriptions.push_back(MakeStoredSoundDescription(d, ext));
    media->handlerName = "Sound Media Handler";
  }
  media->handlerType = s.handlerType;
  media->timeScale = scale;
  media->duration = media->samples.totalDuration();
  if (s.inFile) {
    media->data.path = path;
  } else {
    media->data.blob = std::make_shared<const std::vector<uint8_t>>(std::move(s.stored));
  }
  return {};
}

// Switches a stream from file positions to the in-memory store: the packets
// seen so far are verified to lie in the file, so their bytes come from there.
bool MoveToStore(StreamImport &s, const DataFile &file, uint64_t *storedTotal, const AvImportLimits &limits) {
  s.inFile = false;
  s.storedOffsets.clear();
  for (const PacketInfo &p : s.packets) {
    if (*storedTotal + p.size > limits.maxStoredBytes) return false;
    size_t at = s.stored.size();
    s.stored.resize(at + p.size);
    if (p.size && file.ReadAt(uint64_t(p.pos), s.stored.data() + at, p.size) != kNoErr) return false;
    s.storedOffsets.push_back(at);
    *storedTotal += p.size;
  }
  return true;
}

}  // namespace

bool FfmpegSniffAvFormat(const uint8_t *head, size_t n, AvFormat *format) {
  if (!head || n == 0) return false;
  QuietLibav();
  n = std::min<size_t>(n, 1 << 20);
  std::vector<uint8_t> buf(n + AVPROBE_PADDING_SIZE, 0);
  std::memcpy(buf.data(), head, n);
  AVProbeData pd{};
  pd.filename = "";  // content only: the extension is our second choice
  pd.buf = buf.data();
  pd.buf_size = int(n);
  int score = 0;
  const AVInputFormat *f = av_probe_input_format3(&pd, 1, &score);
  if (!f || score < AVPROBE_SCORE_EXTENSION / 2) return false;
  static constexpr AvFormat kSniffable[] = {AvFormat::kH264, AvFormat::kH261, AvFormat::kH263, AvFormat::kAmr,
                                            AvFormat::kAiff, AvFormat::kDv,   AvFormat::kFlic};
  for (AvFormat candidate : kSniffable) {
    if (std::strcmp(f->name, AvFormatName(candidate)) == 0) {
      *format = candidate;
      return true;
    }
  }
  return false;
}

AvImportResult FfmpegImportIndexless(const std::string &path, AvFormat format, Movie *movie,
                                     const AvImportLimits &limits) {
  *movie = Movie();
  QuietLibav();
  DataFile file;
  if (!file.Open(path)) return Fail(kFnfErr, "cannot open " + path);
  const std::string libavPath = LibavPath(path);
  if (libavPath.empty()) return Fail(kFnfErr, "cannot name " + path + " to libavformat");

  const AVInputFormat *input = av_find_input_format(AvFormatName(format));
  if (!input) return Fail(kCantFindHandler, std::string("no demuxer ") + AvFormatName(format));

  AVDictionary *rawOpts = nullptr;
  av_dict_set(&rawOpts, "protocol_whitelist", "file", 0);
  if (format == AvFormat::kCifYuv) {
    av_dict_set(&rawOpts, "video_size", "352x288", 0);
    av_dict_set(&rawOpts, "pixel_format", "yuv420p", 0);
    av_dict_set(&rawOpts, "framerate", "25", 0);
  }
  std::unique_ptr<AVDictionary, DictDeleter> opts(rawOpts);

  Deadline deadline{std::chrono::steady_clock::now() + std::chrono::seconds(limits.maxSeconds)};
  AVFormatContext *raw = avformat_alloc_context();
  if (!raw) return Fail(kMemFullErr, "out of memory");
  raw->interrupt_callback.callback = &InterruptCallback;
  raw->interrupt_callback.opaque = &deadline;
  AVDictionary *o = opts.release();
  int r = avformat_open_input(&raw, libavPath.c_str(), input, &o);  // frees `raw` on failure
  opts.reset(o);
  if (r < 0) return Fail(kInvalidMovie, "the demuxer refused the file");
  std::unique_ptr<AVFormatContext, FormatContextDeleter> ctx(raw);
  if (avformat_find_stream_info(ctx.get(), nullptr) < 0) return Fail(kInvalidMovie, "no stream information");

  std::vector<StreamImport> streams;
  std::vector<int> streamSlot(ctx->nb_streams, -1);
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVMediaType type = ctx->streams[i]->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    StreamImport s;
    s.streamIndex = int(i);
    s.handlerType = type == AVMEDIA_TYPE_VIDEO ? kVideoMediaType : kSoundMediaType;
    if (format == AvFormat::kH264 && ctx->streams[i]->codecpar->codec_id == AV_CODEC_ID_H264) {
      s.orderParser.reset(av_parser_init(AV_CODEC_ID_H264));
      s.orderContext.reset(avcodec_alloc_context3(nullptr));
      if (!s.orderParser || !s.orderContext) return Fail(kMemFullErr, "out of memory");
      // The demuxer has already cut the stream into access units.
      s.orderParser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }
    streamSlot[i] = int(streams.size());
    streams.push_back(std::move(s));
  }
  if (streams.empty()) return Fail(kInvalidMovie, "no audio or video stream");

  const int64_t fileSize = file.Size();
  std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
  if (!pkt) return Fail(kMemFullErr, "out of memory");
  std::vector<uint8_t> check;
  uint64_t packetCount = 0;
  uint64_t storedTotal = 0;
  for (;;) {
    r = av_read_frame(ctx.get(), pkt.get());
    if (r == AVERROR_EOF) break;
    if (r == AVERROR_EXIT) return Fail(kInvalidMovie, "import took too long");
    if (r < 0) break;  // a damaged tail ends the movie where the demuxer stopped
    std::unique_ptr<AVPacket, decltype(&av_packet_unref)> unref(pkt.get(), &av_packet_unref);
    if (pkt->stream_index < 0 || unsigned(pkt->stream_index) >= streamSlot.size()) continue;
    int slot = streamSlot[size_t(pkt->stream_index)];
    if (slot < 0 || pkt->size <= 0) continue;
    if (++packetCount > limits.maxPackets) return Fail(kMemFullErr, "too many packets");
    StreamImport &s = streams[size_t(slot)];
    PacketInfo info{
        pkt->dts, pkt->pts, pkt->duration, uint32_t(pkt->size), pkt->pos, (pkt->flags & AV_PKT_FLAG_KEY) != 0};
    if (s.orderParser && pkt->pts == AV_NOPTS_VALUE) info.pictureOrder = PictureOrder(s, *pkt);
    if (s.inFile) {
      bool verbatim = pkt->pos >= 0 && fileSize >= 0 && uint64_t(pkt->pos) + uint64_t(pkt->size) <= uint64_t(fileSize);
      if (verbatim) {
        check.resize(size_t(pkt->size));
        verbatim = file.ReadAt(uint64_t(pkt->pos), check.data(), check.size()) == kNoErr &&
                   std::memcmp(check.data(), pkt->data, check.size()) == 0;
      }
      if (!verbatim && !MoveToStore(s, file, &storedTotal, limits))
        return Fail(kMemFullErr, "packet data too large to keep");
    }
    if (!s.inFile) {
      if (storedTotal + uint64_t(pkt->size) > limits.maxStoredBytes)
        return Fail(kMemFullErr, "packet data too large to keep");
      s.storedOffsets.push_back(s.stored.size());
      s.stored.insert(s.stored.end(), pkt->data, pkt->data + pkt->size);
      storedTotal += uint64_t(pkt->size);
    }
    s.packets.push_back(info);
  }

  Movie result;
  result.path = path;
  for (StreamImport &s : streams) {
    if (s.packets.empty()) continue;
    Track track;
    track.id = uint32_t(result.tracks.size() + 1);
    track.headerFlags = 3;
    const AVStream *st = ctx->streams[s.streamIndex];
    if (AvImportResult m = BuildMedia(st, s, path, &track.media); m.error != kNoErr) return m;
    if (s.handlerType == kVideoMediaType) {
      track.width = int32_t(Clamp16(st->codecpar->width)) << 16;
      track.height = int32_t(Clamp16(st->codecpar->height)) << 16;
    }
    result.tracks.push_back(std::move(track));
  }
  if (result.tracks.empty()) return Fail(kInvalidMovie, "no samples");

  // The movie runs on the first video track's clock (else the first track's),
  // so that movie times of video samples need no rounding.
  const Track *clock = nullptr;
  for (const Track &t : result.tracks)
    if (!clock && t.media.handlerType == kVideoMediaType) clock = &t;
  if (!clock) clock = &result.tracks.front();
  result.timeScale = clock->media.timeScale;
  result.nextTrackId = uint32_t(result.tracks.size() + 1);
  for (Track &t : result.tracks) {
    // Media duration in movie units, rounded up so that the edit covers the
    // whole media.
    int64_t d = av_rescale_rnd(t.media.duration, result.timeScale, t.media.timeScale, AV_ROUND_UP);
    t.duration = d;
    t.hasEditList = false;
    t.edits = {EditSegment{d, 0, kFixed1}};
    result.duration = std::max(result.duration, d);
  }
  *movie = std::move(result);
  return {};
}

}  // namespace tp::qt
