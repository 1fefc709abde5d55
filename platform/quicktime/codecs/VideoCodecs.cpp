#include "codecs/VideoCodecs.h"

#include <cstring>

#include <QuickTime/ImageCompression.h>

#include "container/MovieModel.h"
#include "container/SampleDescriptions.h"

namespace tp::qt {
namespace {

struct CodecEntry {
  uint32_t type;
  const char *codec;
};

// MPEG-1 and MPEG-2 go by many names: plain, HDV, XDCAM (EX, HD, HD422)
// and IMX.
constexpr CodecEntry kCodecs[] = {
    {FourCC("avc1"), "h264"},       {FourCC("avc3"), "h264"},       {FourCC("H264"), "h264"},
    {FourCC("hvc1"), "hevc"},       {FourCC("hev1"), "hevc"},       {FourCC("mp4v"), "mpeg4"},
    {FourCC("h263"), "h263"},       {FourCC("s263"), "h263"},       {FourCC("H263"), "h263"},
    {FourCC("h261"), "h261"},       {FourCC("jpeg"), "mjpeg"},      {FourCC("mjpa"), "mjpeg"},
    {FourCC("mjpb"), "mjpegb"},     {FourCC("dvc "), "dvvideo"},    {FourCC("dvcp"), "dvvideo"},
    {FourCC("dvpp"), "dvvideo"},    {FourCC("dv5n"), "dvvideo"},    {FourCC("dv5p"), "dvvideo"},
    {FourCC("dvh1"), "dvvideo"},    {FourCC("dvh2"), "dvvideo"},    {FourCC("dvh3"), "dvvideo"},
    {FourCC("dvh5"), "dvvideo"},    {FourCC("dvh6"), "dvvideo"},    {FourCC("dvhp"), "dvvideo"},
    {FourCC("dvhq"), "dvvideo"},    {FourCC("AVdv"), "dvvideo"},    {FourCC("apcn"), "prores"},
    {FourCC("apch"), "prores"},     {FourCC("apcs"), "prores"},     {FourCC("apco"), "prores"},
    {FourCC("ap4h"), "prores"},     {FourCC("ap4x"), "prores"},     {FourCC("rle "), "qtrle"},
    {FourCC("cvid"), "cinepak"},    {FourCC("SVQ1"), "svq1"},       {FourCC("svq1"), "svq1"},
    {FourCC("SVQ3"), "svq3"},       {FourCC("flic"), "flic"},       {FourCC("smc "), "smc"},
    {FourCC("rpza"), "rpza"},       {FourCC("8BPS"), "8bps"},       {FourCC("png "), "png"},
    {FourCC("mp1v"), "mpeg1video"}, {FourCC("mp2v"), "mpeg2video"}, {FourCC("hdv1"), "mpeg2video"},
    {FourCC("hdv2"), "mpeg2video"}, {FourCC("hdv3"), "mpeg2video"}, {FourCC("v210"), "v210"},
    {FourCC("AVdn"), "dnxhd"},      {FourCC("raw "), "rawvideo"},   {FourCC("av01"), "av1"},
    {FourCC("m1v "), "mpeg1video"}, {FourCC("m1v1"), "mpeg1video"}, {FourCC("mpeg"), "mpeg1video"},
    {FourCC("m2v1"), "mpeg2video"}, {FourCC("hdv4"), "mpeg2video"}, {FourCC("hdv5"), "mpeg2video"},
    {FourCC("hdv6"), "mpeg2video"}, {FourCC("hdv7"), "mpeg2video"}, {FourCC("hdv8"), "mpeg2video"},
    {FourCC("hdv9"), "mpeg2video"}, {FourCC("hdva"), "mpeg2video"}, {FourCC("hdvd"), "mpeg2video"},
    {FourCC("xdv1"), "mpeg2video"}, {FourCC("xdv2"), "mpeg2video"}, {FourCC("xdv3"), "mpeg2video"},
    {FourCC("xdv4"), "mpeg2video"}, {FourCC("xdv5"), "mpeg2video"}, {FourCC("xdv6"), "mpeg2video"},
    {FourCC("xdv7"), "mpeg2video"}, {FourCC("xdv8"), "mpeg2video"}, {FourCC("xdv9"), "mpeg2video"},
    {FourCC("xdva"), "mpeg2video"}, {FourCC("xdvb"), "mpeg2video"}, {FourCC("xdvc"), "mpeg2video"},
    {FourCC("xdvd"), "mpeg2video"}, {FourCC("xdve"), "mpeg2video"}, {FourCC("xdvf"), "mpeg2video"},
    {FourCC("xd54"), "mpeg2video"}, {FourCC("xd55"), "mpeg2video"}, {FourCC("xd59"), "mpeg2video"},
    {FourCC("xd5a"), "mpeg2video"}, {FourCC("xd5b"), "mpeg2video"}, {FourCC("xd5c"), "mpeg2video"},
    {FourCC("xd5d"), "mpeg2video"}, {FourCC("xd5e"), "mpeg2video"}, {FourCC("xd5f"), "mpeg2video"},
    {FourCC("mx3n"), "mpeg2video"}, {FourCC("mx3p"), "mpeg2video"}, {FourCC("mx4n"), "mpeg2video"},
    {FourCC("mx4p"), "mpeg2video"}, {FourCC("mx5n"), "mpeg2video"}, {FourCC("mx5p"), "mpeg2video"},
};

const char *TableCodec(uint32_t type) {
  for (const CodecEntry &e : kCodecs)
    if (e.type == type) return e.codec;
  return "";
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

// The codec an 'esds' object type names, or null for the description's own.
const char *CodecForObjectType(uint8_t objectType) {
  switch (objectType) {
    case 0x20:
      return "mpeg4";
    case 0x21:
      return "h264";
    case 0x60:
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x64:
    case 0x65:
      return "mpeg2video";
    case 0x6A:
      return "mpeg1video";
    case 0x6C:
      return "mjpeg";
    default:
      return nullptr;
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
  if (id.clutID == 0 && id.depth >= 1 && id.depth <= 8) {
    size_t end = description.size();
    if (size_t(id.idSize) < end) end = size_t(id.idSize);
    out->colorTable.assign(description.begin() + sizeof(ImageDescription), description.begin() + std::ptrdiff_t(end));
  }

  out->codec = TableCodec(id.cType);
  if (auto avcC = ext("avcC")) {
    out->extradata = ToVector(*avcC);
  } else if (auto hvcC = ext("hvcC")) {
    out->extradata = ToVector(*hvcC);
  } else if (auto av1C = ext("av1C")) {
    out->extradata = ToVector(*av1C);  // the decoder reads the configuration record and its OBUs
  } else if (auto esds = ext("esds")) {
    if (std::optional<EsdsConfig> config = ParseEsds(*esds)) {
      out->extradata = std::move(config->decoderSpecificInfo);
      if (const char *named = CodecForObjectType(config->objectType)) out->codec = named;
    }
  } else if (auto smi = ext("SMI ")) {
    out->extradata = ToVector(*smi);  // the decoder finds its "SEQH" block in it
  } else if (auto glbl = ext("glbl")) {
    out->extradata = ToVector(*glbl);
  }
  if (out->codec.empty() && out->decoderName.empty()) return noCodecErr;
  return noErr;
}

}  // namespace tp::qt
