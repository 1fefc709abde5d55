// Fuzz target for the set-up conversion the system's decoders get: the
// input is a run of records (two-byte big-endian length, then the bytes).
// The first record is taken as 'avcC' (and as 'hvcC', 'av1C' and an MPEG-4
// part 2 decoder configuration), the second as an AudioSpecificConfig and
// as an 'alac' config, and every later one as a length-prefixed sample,
// converted to a byte stream and handed to
// the picture-order reader in turn, so its state across pictures is
// exercised as a decoder drives it; and as an HEVC, AV1 and MPEG-4 part 2
// sample, converted as the Windows back end does and asked whether decoding
// can start there.
// Every byte stream also goes through the SPS colour rewrite, which must
// give SPS that read back with the new colour and change nothing on a
// second pass, and every sample through the MPEG audio frame scanner.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/AvcSpsColour.h"
#include "codecs/SystemCodecSetup.h"
#include "codecs/SystemCodecStreams.h"

namespace {

void CheckColourRewrite(std::span<const uint8_t> annexB) {
  using namespace tp::qt;
  constexpr AvcColour kColour{6, 6, 6};
  std::vector<uint8_t> once(annexB.begin(), annexB.end());
  const int changed = SetAvcColourInAnnexB(&once, kColour);
  if (changed == 0 && !std::equal(once.begin(), once.end(), annexB.begin(), annexB.end())) __builtin_trap();
  std::vector<uint8_t> twice = once;
  if (SetAvcColourInAnnexB(&twice, kColour) != 0 || twice != once) __builtin_trap();
  // A single unit, read back.
  if (std::optional<std::vector<uint8_t>> nal = SetAvcSpsColour(annexB, kColour)) {
    const std::optional<AvcSpsLayout> sps = ReadAvcSpsLayout(AvcUnescape(std::span(*nal).subspan(1)));
    if (!sps || !sps->hasColour || !(sps->colour == kColour)) __builtin_trap();
  }
}

// As a run of MPEG audio frames handed to a decoder that gives out whole
// units: what is handed now is a prefix, and a completed run is all whole
// units, or is left as it was.
void CheckMpegAudioUnits(std::span<const uint8_t> bytes) {
  using namespace tp::qt;
  for (const int unit : {1152, 2304}) {
    if (MpegAudioWholeUnits(bytes, unit) > bytes.size()) __builtin_trap();
    std::vector<uint8_t> padded(bytes.begin(), bytes.end());
    if (!PadMpegAudioToUnits(&padded, unit)) {
      if (!std::equal(padded.begin(), padded.end(), bytes.begin(), bytes.end())) __builtin_trap();
    } else if (padded.size() < bytes.size() || MpegAudioWholeUnits(padded, unit) != padded.size()) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tp::qt;
  std::span<const uint8_t> in(data, size);
  AvcPictureOrder order;
  int lengthSize = 4, hevcLengthSize = 4;
  std::optional<Av1Config> av1;
  for (int record = 0; in.size() >= 2; ++record) {
    const size_t n = size_t(in[0]) << 8 | in[1];
    if (n > in.size() - 2) break;
    std::span<const uint8_t> bytes = in.subspan(2, n);
    in = in.subspan(2 + n);
    if (record == 0) {
      if (std::optional<AvcParameterSets> sets = ParseAvcC(bytes)) {
        lengthSize = sets->nalLengthSize;
        order.Next(sets->annexB);
        CheckColourRewrite(sets->annexB);
      }
      if (std::optional<AvcParameterSets> hevc = ParseHvcC(bytes)) {
        if (hevc->annexB.size() > bytes.size() * 2 + 4) __builtin_trap();  // a start code per unit of 2+ bytes
        hevcLengthSize = hevc->nalLengthSize;
      }
      av1 = ParseAv1C(bytes);
      (void)Mpeg4PicturesInDecodeOrder(bytes);
      // Each OBU gains at most a size field of five bytes.
      if (av1 && av1->obus.size() > bytes.size() * 6) __builtin_trap();
    } else if (record == 1) {
      if (std::optional<AacConfigInfo> info = ParseAudioSpecificConfig(bytes)) {
        if (info->sampleRate <= 0 || info->channels < 0 || info->channels > 8) __builtin_trap();
      }
      (void)AacUserData(bytes);
      if (std::optional<AlacConfig> alac = ParseAlacCookie(bytes)) {
        if (alac->cookie.size() != 24 || alac->channels < 1 || alac->channels > 8) __builtin_trap();
      }
    } else {
      std::vector<uint8_t> annexB;
      if (AppendAnnexB(bytes, lengthSize, &annexB)) {
        (void)order.Next(annexB);
        CheckColourRewrite(annexB);
      } else if (!annexB.empty()) {
        __builtin_trap();  // a refused sample leaves the output as it was
      }
      (void)order.Next(bytes);  // the raw bytes as a byte stream too
      CheckColourRewrite(bytes);

      std::vector<uint8_t> hevc;
      if (AppendAnnexB(bytes, hevcLengthSize, &hevc)) (void)HevcRandomAccess(hevc);
      std::vector<uint8_t> obus, again;
      const std::span<const uint8_t> config =
          av1 && record == 2 ? std::span<const uint8_t>(av1->obus) : std::span<const uint8_t>();
      if (AppendAv1TemporalUnit(bytes, config, &obus)) {
        // What comes out is an OBU stream that converts to itself.
        if (!AppendAv1TemporalUnit(obus, {}, &again) || again != obus) __builtin_trap();
        (void)Av1KeyFrame(obus, av1 && av1->reducedStillPictureHeader);
      } else if (!obus.empty()) {
        __builtin_trap();
      }
      (void)Mpeg4IntraVop(bytes);
      CheckMpegAudioUnits(bytes);
    }
  }
  return 0;
}
