#include "MfVideoFormat.h"

#include <mfapi.h>

#include <optional>

#include "codecs/SystemCodecSetup.h"
#include "codecs/SystemCodecStreams.h"

namespace tp::qt {

OSErr MakeMfVideoFormat(MfVideoCodec codec, std::span<const uint8_t> config, MfVideoFormat *out) {
  MfVideoFormat f;
  f.codec = codec;
  switch (codec) {
    case MfVideoCodec::kH264:
    case MfVideoCodec::kHevc: {
      f.subtype = codec == MfVideoCodec::kH264 ? MFVideoFormat_H264 : MFVideoFormat_HEVC;
      if (config.empty()) break;
      std::optional<AvcParameterSets> sets = codec == MfVideoCodec::kH264 ? ParseAvcC(config) : ParseHvcC(config);
      if (!sets) return badImageDescription;
      f.header = std::move(sets->annexB);
      f.nalLengthSize = sets->nalLengthSize;
      break;
    }
    case MfVideoCodec::kAv1: {
      f.subtype = MFVideoFormat_AV1;
      if (config.empty()) break;
      std::optional<Av1Config> av1 = ParseAv1C(config);
      if (!av1) return badImageDescription;
      f.header = std::move(av1->obus);
      f.reducedStillPictureHeader = av1->reducedStillPictureHeader;
      break;
    }
    case MfVideoCodec::kMpeg4:
      f.subtype = MFVideoFormat_MP4V;
      f.header.assign(config.begin(), config.end());
      f.userData = f.header;
      break;
  }
  *out = std::move(f);
  return noErr;
}

OSErr MakeMfSample(const MfVideoFormat &format, std::span<const uint8_t> sample, bool runStart,
                   std::vector<uint8_t> *out, bool *randomAccess) {
  out->clear();
  *randomAccess = false;
  switch (format.codec) {
    case MfVideoCodec::kH264:
      return paramErr;  // MfVideoDecoder's own
    case MfVideoCodec::kHevc:
      if (format.nalLengthSize == 0) {
        out->assign(sample.begin(), sample.end());
      } else if (!AppendAnnexB(sample, format.nalLengthSize, out)) {
        return codecBadDataErr;
      }
      *randomAccess = HevcRandomAccess(*out);
      // As for H.264: the parameter sets wherever decoding may start.
      if (runStart || *randomAccess) out->insert(out->begin(), format.header.begin(), format.header.end());
      return noErr;
    case MfVideoCodec::kAv1:
      if (!AppendAv1TemporalUnit(sample,
                                 runStart ? std::span<const uint8_t>(format.header) : std::span<const uint8_t>(), out))
        return codecBadDataErr;
      *randomAccess = Av1KeyFrame(*out, format.reducedStillPictureHeader);
      return noErr;
    case MfVideoCodec::kMpeg4:
      if (runStart) out->assign(format.header.begin(), format.header.end());
      out->insert(out->end(), sample.begin(), sample.end());
      *randomAccess = Mpeg4IntraVop(sample);
      return noErr;
  }
  return paramErr;
}

}  // namespace tp::qt
