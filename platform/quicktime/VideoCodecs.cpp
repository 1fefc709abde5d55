#include "VideoCodecs.h"

#include <cstring>

#include <QuickTime/ImageCompression.h>

#include "MovieModel.h"
#include "SampleDescriptions.h"

namespace tp::qt {
namespace {

struct CodecEntry {
  uint32_t type;
  AVCodecID id;
};

constexpr CodecEntry kCodecs[] = {
    {FourCC("avc1"), AV_CODEC_ID_H264},       {FourCC("avc3"), AV_CODEC_ID_H264},
    {FourCC("H264"), AV_CODEC_ID_H264},       {FourCC("hvc1"), AV_CODEC_ID_HEVC},
    {FourCC("hev1"), AV_CODEC_ID_HEVC},       {FourCC("mp4v"), AV_CODEC_ID_MPEG4},
    {FourCC("h263"), AV_CODEC_ID_H263},       {FourCC("s263"), AV_CODEC_ID_H263},
    {FourCC("H263"), AV_CODEC_ID_H263},       {FourCC("h261"), AV_CODEC_ID_H261},
    {FourCC("jpeg"), AV_CODEC_ID_MJPEG},      {FourCC("mjpa"), AV_CODEC_ID_MJPEG},
    {FourCC("mjpb"), AV_CODEC_ID_MJPEGB},     {FourCC("dvc "), AV_CODEC_ID_DVVIDEO},
    {FourCC("dvcp"), AV_CODEC_ID_DVVIDEO},    {FourCC("dvpp"), AV_CODEC_ID_DVVIDEO},
    {FourCC("dv5n"), AV_CODEC_ID_DVVIDEO},    {FourCC("dv5p"), AV_CODEC_ID_DVVIDEO},
    {FourCC("dvh1"), AV_CODEC_ID_DVVIDEO},    {FourCC("dvh2"), AV_CODEC_ID_DVVIDEO},
    {FourCC("dvh3"), AV_CODEC_ID_DVVIDEO},    {FourCC("dvh5"), AV_CODEC_ID_DVVIDEO},
    {FourCC("dvh6"), AV_CODEC_ID_DVVIDEO},    {FourCC("dvhp"), AV_CODEC_ID_DVVIDEO},
    {FourCC("dvhq"), AV_CODEC_ID_DVVIDEO},    {FourCC("AVdv"), AV_CODEC_ID_DVVIDEO},
    {FourCC("apcn"), AV_CODEC_ID_PRORES},     {FourCC("apch"), AV_CODEC_ID_PRORES},
    {FourCC("apcs"), AV_CODEC_ID_PRORES},     {FourCC("apco"), AV_CODEC_ID_PRORES},
    {FourCC("ap4h"), AV_CODEC_ID_PRORES},     {FourCC("ap4x"), AV_CODEC_ID_PRORES},
    {FourCC("rle "), AV_CODEC_ID_QTRLE},      {FourCC("cvid"), AV_CODEC_ID_CINEPAK},
    {FourCC("SVQ1"), AV_CODEC_ID_SVQ1},       {FourCC("svq1"), AV_CODEC_ID_SVQ1},
    {FourCC("SVQ3"), AV_CODEC_ID_SVQ3},       {FourCC("flic"), AV_CODEC_ID_FLIC},
    {FourCC("smc "), AV_CODEC_ID_SMC},        {FourCC("rpza"), AV_CODEC_ID_RPZA},
    {FourCC("8BPS"), AV_CODEC_ID_8BPS},       {FourCC("png "), AV_CODEC_ID_PNG},
    {FourCC("mp1v"), AV_CODEC_ID_MPEG1VIDEO}, {FourCC("mp2v"), AV_CODEC_ID_MPEG2VIDEO},
    {FourCC("hdv1"), AV_CODEC_ID_MPEG2VIDEO}, {FourCC("hdv2"), AV_CODEC_ID_MPEG2VIDEO},
    {FourCC("hdv3"), AV_CODEC_ID_MPEG2VIDEO}, {FourCC("v210"), AV_CODEC_ID_V210},
    {FourCC("AVdn"), AV_CODEC_ID_DNXHD},      {FourCC("raw "), AV_CODEC_ID_RAWVIDEO},
};

std::optional<AVCodecID> TableCodec(uint32_t type) {
  for (const CodecEntry &e : kCodecs)
    if (e.type == type) return e.id;
  return std::nullopt;
}

// An MPEG-4 systems descriptor: tag byte, then a length of up to four bytes
// of seven bits each. Returns the payload and advances past it.
std::optional<std::span<const uint8_t>> ReadDescriptor(std::span<const uint8_t> *in, uint8_t wantTag) {
  if (in->size() < 2 || (*in)[0] != wantTag) return std::nullopt;
  size_t pos = 1;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos >= in->size()) return std::nullopt;
    uint8_t b = (*in)[pos++];
    length = (length << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  if (length > in->size() - pos) return std::nullopt;
  std::span<const uint8_t> payload = in->subspan(pos, length);
  *in = in->subspan(pos + length);
  return payload;
}

AVCodecID CodecForObjectType(uint8_t objectType, AVCodecID fallback) {
  switch (objectType) {
    case 0x20:
      return AV_CODEC_ID_MPEG4;
    case 0x21:
      return AV_CODEC_ID_H264;
    case 0x60:
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x64:
    case 0x65:
      return AV_CODEC_ID_MPEG2VIDEO;
    case 0x6A:
      return AV_CODEC_ID_MPEG1VIDEO;
    case 0x6C:
      return AV_CODEC_ID_MJPEG;
    default:
      return fallback;
  }
}

std::vector<uint8_t> ToVector(std::span<const uint8_t> s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace

std::optional<EsdsConfig> ParseEsds(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  std::span<const uint8_t> in = payload.subspan(4);  // version and flags
  std::optional<std::span<const uint8_t>> es = ReadDescriptor(&in, 0x03);
  if (!es || es->size() < 3) return std::nullopt;
  uint8_t flags = (*es)[2];
  size_t skip = 3;
  if (flags & 0x80) skip += 2;  // depends-on stream id
  if (flags & 0x40) {           // URL
    if (skip >= es->size()) return std::nullopt;
    skip += 1 + (*es)[skip];
  }
  if (flags & 0x20) skip += 2;  // OCR stream id
  if (skip > es->size()) return std::nullopt;
  std::span<const uint8_t> rest = es->subspan(skip);
  std::optional<std::span<const uint8_t>> dc = ReadDescriptor(&rest, 0x04);
  if (!dc || dc->size() < 13) return std::nullopt;
  EsdsConfig config;
  config.objectType = (*dc)[0];
  std::span<const uint8_t> inner = dc->subspan(13);
  if (std::optional<std::span<const uint8_t>> dsi = ReadDescriptor(&inner, 0x05))
    config.decoderSpecificInfo = ToVector(*dsi);
  return config;
}

OSErr ReadVideoCodecSetup(std::span<const uint8_t> description, VideoCodecSetup *out) {
  if (!out) return paramErr;
  *out = VideoCodecSetup{};
  if (description.size() < sizeof(ImageDescription)) return badImageDescription;
  ImageDescription id;
  std::memcpy(&id, description.data(), sizeof(id));
  if (id.idSize < SInt32(sizeof(ImageDescription))) return badImageDescription;
  out->codecType = id.cType;
  out->width = id.width;
  out->height = id.height;
  out->depth = id.depth;
  if (out->width <= 0 || out->height <= 0) return badImageDescription;

  auto ext = [&](const char(&type)[5]) { return FindHostExtension(description, kVideoMediaType, FourCC(type)); };
  if (auto lavc = ext("lavc")) out->decoderName.assign(lavc->begin(), lavc->end());

  if ((out->raw = BuiltInRawFormat(id.cType, id.depth))) return noErr;

  std::optional<AVCodecID> id0 = TableCodec(id.cType);
  out->codecId = id0.value_or(AV_CODEC_ID_NONE);
  if (auto avcC = ext("avcC")) {
    out->extradata = ToVector(*avcC);
  } else if (auto hvcC = ext("hvcC")) {
    out->extradata = ToVector(*hvcC);
  } else if (auto esds = ext("esds")) {
    if (std::optional<EsdsConfig> config = ParseEsds(*esds)) {
      out->extradata = std::move(config->decoderSpecificInfo);
      out->codecId = CodecForObjectType(config->objectType, out->codecId);
    }
  } else if (auto smi = ext("SMI ")) {
    out->extradata = ToVector(*smi);  // the decoder finds its "SEQH" block in it
  } else if (auto glbl = ext("glbl")) {
    out->extradata = ToVector(*glbl);
  }
  if (out->codecId == AV_CODEC_ID_NONE && out->decoderName.empty()) return noCodecErr;
  return noErr;
}

}  // namespace tp::qt
