// Set-up conversion for the system's decoders: 'avcC' and 'hvcC' to start
// codes, length-prefixed samples to a byte stream, 'av1C' and AV1 samples
// to an OBU stream, where HEVC, AV1 and MPEG-4 part 2 streams can start,
// AudioSpecificConfig fields and H.264 picture order, ALAC configs and AAC
// speaker layouts, over well-formed and damaged input alike.
#include "codecs/SystemCodecSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "container/DataFile.h"
#include "container/IsoParser.h"
#include "codecs/SystemCodecStreams.h"
#include "codecs/VideoCodecs.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

using Bytes = std::vector<uint8_t>;

struct AvcCCase {
  const char *name;
  Bytes avcC;
  std::optional<int> lengthSize;  // nullopt: refused
  Bytes annexB;
};

TEST(SystemCodecSetup, ParseAvcC_Table) {
  const AvcCCase cases[] = {
      {"one SPS one PPS",
       {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 2, 0x67, 0xAA, 1, 0, 1, 0x68},
       4,
       {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68}},
      {"two-byte lengths, two PPS",
       {1, 0x42, 0, 0x1E, 0xFD, 0xE1, 0, 1, 0x67, 2, 0, 1, 0x68, 0, 1, 0x68},
       2,
       {0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x68}},
      {"no parameter sets", {1, 0x42, 0, 0x1E, 0xFC, 0xE0, 0}, 1, {}},
      {"high-profile trailer ignored", {1, 0x64, 0, 0x1F, 0xFF, 0xE0, 0, 0xFD, 0xF8, 0xF8, 0}, 4, {}},
      {"version 0", {0, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 1, 0x67, 0}, std::nullopt, {}},
      {"three-byte lengths", {1, 0x64, 0, 0x1F, 0xFE, 0xE0, 0}, std::nullopt, {}},
      {"SPS past the end", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 9, 0x67}, std::nullopt, {}},
      {"no PPS count", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 1, 0x67}, std::nullopt, {}},
      {"PPS length cut", {1, 0x64, 0, 0x1F, 0xFF, 0xE0, 1, 0}, std::nullopt, {}},
      {"too short", {1, 0x64, 0}, std::nullopt, {}},
  };
  for (const AvcCCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<AvcParameterSets> sets = ParseAvcC(c.avcC);
    ASSERT_EQ(sets.has_value(), c.lengthSize.has_value());
    if (!sets) continue;
    EXPECT_EQ(sets->nalLengthSize, *c.lengthSize);
    EXPECT_EQ(sets->annexB, c.annexB);
  }
}

struct AnnexBCase {
  const char *name;
  Bytes sample;
  int lengthSize;
  bool ok;
  Bytes annexB;  // appended behind a marker byte that must survive
};

TEST(SystemCodecSetup, AppendAnnexB_Table) {
  const AnnexBCase cases[] = {
      {"two units", {0, 0, 0, 2, 0x65, 1, 0, 0, 0, 1, 0x06}, 4, true, {0, 0, 0, 1, 0x65, 1, 0, 0, 0, 1, 0x06}},
      {"two-byte lengths", {0, 1, 0x41, 0, 2, 0x01, 0x02}, 2, true, {0, 0, 0, 1, 0x41, 0, 0, 0, 1, 1, 2}},
      {"one-byte lengths", {1, 0x41}, 1, true, {0, 0, 0, 1, 0x41}},
      {"empty unit dropped", {0, 0, 0, 0, 0, 0, 0, 1, 0x41}, 4, true, {0, 0, 0, 1, 0x41}},
      {"empty sample", {}, 4, true, {}},
      {"length past the end", {0, 0, 0, 1, 0x41, 0, 0, 0, 9, 0x41}, 4, false, {}},
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 0x41}, 4, false, {}},
      {"cut inside a length", {0, 0, 0, 1, 0x41, 0, 0}, 4, false, {}},
      {"length size 3", {0, 0, 1, 0x41}, 3, false, {}},
  };
  for (const AnnexBCase &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out = {0xEE};
    EXPECT_EQ(AppendAnnexB(c.sample, c.lengthSize, &out), c.ok);
    Bytes expected = {0xEE};
    expected.insert(expected.end(), c.annexB.begin(), c.annexB.end());
    EXPECT_EQ(out, expected);
  }
}

struct AscCase {
  const char *name;
  Bytes asc;
  std::optional<AacConfigInfo> info;
};

TEST(SystemCodecSetup, ParseAudioSpecificConfig_Table) {
  const AscCase cases[] = {
      {"LC 44.1 kHz stereo", {0x12, 0x10}, AacConfigInfo{2, 44100, 2}},
      {"LC 48 kHz mono", {0x11, 0x88}, AacConfigInfo{2, 48000, 1}},
      {"HE 24 kHz stereo", {0x2B, 0x10}, AacConfigInfo{5, 24000, 2}},
      {"configuration 7 is eight channels", {0x11, 0xB8}, AacConfigInfo{2, 48000, 8}},
      {"channels in a program config", {0x11, 0x80}, AacConfigInfo{2, 48000, 0}},
      {"explicit rate", {0x17, 0x80, 0x01, 0xF4, 0x10}, AacConfigInfo{2, 1000, 2}},
      {"escaped object type", {0xF8, 0x24, 0x40}, AacConfigInfo{33, 64000, 2}},
      {"reserved rate index", {0x16, 0x90}, std::nullopt},
      {"explicit rate of zero", {0x17, 0x80, 0, 0, 0x01, 0}, std::nullopt},
      {"cut before the channels", {0x12}, std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const AscCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<AacConfigInfo> info = ParseAudioSpecificConfig(c.asc);
    ASSERT_EQ(info.has_value(), c.info.has_value());
    if (!info) continue;
    EXPECT_EQ(info->objectType, c.info->objectType);
    EXPECT_EQ(info->sampleRate, c.info->sampleRate);
    EXPECT_EQ(info->channels, c.info->channels);
  }
}

struct OrderCase {
  const char *name;
  const char *encoder;  // x264 settings
  bool openGop;         // sync samples after the first are not IDRs
};

// Samples of real encodes, turned into byte streams as the system decoder
// gets them, decoded straight through and with a seek (a jump from the
// first samples to the second sync sample): runs start at IDRs and where
// decoding resumes, and within each run picture order sorts the pictures
// exactly as the container's display times do.
TEST(SystemCodecSetup, AvcPictureOrder_FollowsDisplayTimesOfRealStreams) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  const OrderCase cases[] = {
      {"no B-frames (order type 2)", "-bf 0 -g 10", false},
      {"two B-frames", "-bf 2 -g 12", false},
      {"B-pyramid, three B-frames", "-bf 3 -b_strategy 2 -x264-params b-pyramid=normal -g 15", false},
      {"scaling matrices, 8x8", "-bf 2 -g 12 -profile:v high -x264-params cqm=jvt", false},
      {"interlaced (adaptive frames)", "-bf 2 -g 12 -flags +ildct+ilme -x264-params interlaced=1", false},
      {"open GOPs", "-bf 2 -g 12 -x264-params open-gop=1", true},
  };
  test::ff::TempDir dir;
  for (const OrderCase &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File("order.mp4");
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string("-y -f lavfi -i testsrc=size=128x96:rate=25 -t 2.4 -c:v libx264 ") +
                                    c.encoder + " -pix_fmt yuv420p '" + file + "'"));
    Movie movie;
    const ParseResult r = OpenIsoMovieFile(file, &movie);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    const Media &media = movie.tracks.at(0).media;
    std::optional<std::span<const uint8_t>> avcC =
        FindDescriptionExtension(media.Description(1), kVideoMediaType, FourCC("avcC"));
    ASSERT_TRUE(avcC);
    std::optional<AvcParameterSets> sets = ParseAvcC(*avcC);
    ASSERT_TRUE(sets);
    DataFile data;
    ASSERT_TRUE(data.Open(file));

    std::vector<uint32_t> syncs, all;
    for (uint32_t i = 0; i < media.samples.count(); ++i) {
      SampleRecord rec;
      ASSERT_TRUE(media.samples.Sample(i, &rec));
      if (!(rec.flags & kMediaSampleNotSync)) syncs.push_back(i);
      all.push_back(i);
    }
    ASSERT_GT(syncs.size(), 1u);
    std::vector<uint32_t> seek = {0, 1, 2, 3};
    for (uint32_t i = syncs[1]; i < media.samples.count(); ++i) seek.push_back(i);

    for (const std::vector<uint32_t> *order : {&all, &seek}) {
      AvcPictureOrder pictures;
      pictures.Next(sets->annexB);
      // (display time, picture order) per run.
      std::vector<std::vector<std::pair<int64_t, int64_t>>> runs;
      for (size_t k = 0; k < order->size(); ++k) {
        const uint32_t i = (*order)[k];
        SampleRecord rec;
        ASSERT_TRUE(media.samples.Sample(i, &rec));
        std::vector<uint8_t> bytes(rec.size), annexB;
        ASSERT_EQ(data.ReadAt(rec.position, bytes.data(), bytes.size()), 0);
        ASSERT_TRUE(AppendAnnexB(bytes, sets->nalLengthSize, &annexB));
        AvcPictureOrder::Picture pic = pictures.Next(annexB);
        ASSERT_TRUE(pic.found) << "sample " << i;
        const bool sync = !(rec.flags & kMediaSampleNotSync);
        const bool resumed = order == &seek && i == syncs[1];
        EXPECT_EQ(pic.restart, pic.idr || resumed) << "sample " << i;
        if (!c.openGop || i == 0) {
          EXPECT_EQ(pic.idr, sync) << "sample " << i;
        }
        if (pic.restart || runs.empty()) runs.emplace_back();
        runs.back().emplace_back(rec.decodeTime + rec.displayOffset, pic.order);
      }
      for (auto &run : runs) {
        std::vector<std::pair<int64_t, int64_t>> byOrder = run;
        std::sort(run.begin(), run.end());
        std::sort(byOrder.begin(), byOrder.end(), [](auto &a, auto &b) { return a.second < b.second; });
        EXPECT_EQ(run, byOrder);
      }
    }
  }
}

TEST(SystemCodecSetup, AvcPictureOrder_DamagedInputFallsBackToDecodeOrder) {
  struct Case {
    const char *name;
    Bytes stream;
    bool found;
  };
  const Case cases[] = {
      {"slice without parameter sets", {0, 0, 1, 0x41, 0x9A, 0x00}, true},
      {"SPS cut short", {0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x41, 0x9A}, true},
      {"exp-Golomb running off the end", {0, 0, 1, 0x68, 0, 0, 0, 0, 0, 1, 0x41, 0, 0}, true},
      {"no slice", {0, 0, 1, 0x06, 5, 1, 0}, false},
      {"start code at the very end", {0, 0, 1}, false},
      {"empty", {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    AvcPictureOrder order;
    for (int64_t n = 0; n < 3; ++n) {
      AvcPictureOrder::Picture pic = order.Next(c.stream);
      EXPECT_EQ(pic.found, c.found);
      if (c.found) {
        EXPECT_EQ(pic.order, n);
      }
    }
  }
}

// The 'alac' atom as the runtime keeps it: size, type, version and flags,
// then the 24-byte config (frame length, version, depth, history, initial
// history, limit, channels, max run, max frame bytes, bit rate, rate).
Bytes AlacAtom(uint32_t frameLength, uint8_t depth, uint8_t channels, uint32_t rate) {
  auto be32 = [](Bytes *b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b->push_back(uint8_t(v >> s));
  };
  Bytes b;
  be32(&b, 36);
  b.insert(b.end(), {'a', 'l', 'a', 'c', 0, 0, 0, 0});
  be32(&b, frameLength);
  b.insert(b.end(), {0, depth, 40, 10, 14, channels, 0, 255});
  be32(&b, 0);
  be32(&b, 0);
  be32(&b, rate);
  return b;
}

TEST(SystemCodecSetup, ParseAlacCookie_Table) {
  const Bytes stereo = AlacAtom(4096, 16, 2, 44100);
  Bytes inFrma = {0, 0, 0, 12, 'f', 'r', 'm', 'a', 'a', 'l', 'a', 'c'};
  inFrma.insert(inFrma.end(), stereo.begin(), stereo.end());
  Bytes withLayout = AlacAtom(4096, 24, 6, 96000);
  withLayout[3] = 36 + 24;  // a channel layout atom follows the config inside the atom
  withLayout.insert(withLayout.end(), {0, 0, 0, 24, 'c', 'h', 'a', 'n'});
  withLayout.resize(withLayout.size() + 16, 0);
  Bytes lyingSize = stereo;
  lyingSize[3] = 200;  // past the end: not taken as an atom (and not a config either)
  struct Case {
    const char *name;
    Bytes setup;
    std::optional<std::array<int, 4>> want;  // frame length, depth, channels, rate
  };
  const Case cases[] = {
      {"the atom", stereo, std::array{4096, 16, 2, 44100}},
      {"a bare config", Bytes(stereo.begin() + 12, stereo.end()), std::array{4096, 16, 2, 44100}},
      {"behind 'frma'", inFrma, std::array{4096, 16, 2, 44100}},
      {"with a channel layout after it", withLayout, std::array{4096, 24, 6, 96000}},
      {"the atom's size runs past the bytes", lyingSize, std::nullopt},
      {"20-bit 8 channels", AlacAtom(1024, 20, 8, 48000), std::array{1024, 20, 8, 48000}},
      {"cut inside the config", Bytes(stereo.begin(), stereo.end() - 1), std::nullopt},
      {"the atom alone", Bytes(stereo.begin(), stereo.begin() + 12), std::nullopt},
      {"no channels", AlacAtom(4096, 16, 0, 44100), std::nullopt},
      {"nine channels", AlacAtom(4096, 16, 9, 44100), std::nullopt},
      {"8-bit", AlacAtom(4096, 8, 2, 44100), std::nullopt},
      {"no frames a packet", AlacAtom(0, 16, 2, 44100), std::nullopt},
      {"no rate", AlacAtom(4096, 16, 2, 0), std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<AlacConfig> config = ParseAlacCookie(c.setup);
    ASSERT_EQ(config.has_value(), c.want.has_value());
    if (!config) continue;
    EXPECT_EQ(config->frameLength, (*c.want)[0]);
    EXPECT_EQ(config->bitDepth, (*c.want)[1]);
    EXPECT_EQ(config->channels, (*c.want)[2]);
    EXPECT_EQ(config->sampleRate, (*c.want)[3]);
    ASSERT_EQ(config->cookie.size(), 24u);
  }
}

// What ffmpeg's encoder writes, as the runtime hands it on: the config's
// numbers are the stream's.
TEST(SystemCodecSetup, ParseAlacCookie_ReadsEncodedStreams) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  struct Case {
    const char *args;
    int depth, channels, rate;
  };
  const Case cases[] = {
      {"-ar 44100 -ac 2 -sample_fmt s16p", 16, 2, 44100},
      {"-ar 96000 -ac 1 -sample_fmt s32p", 24, 1, 96000},
      {"-ar 48000 -ac 6 -sample_fmt s16p", 16, 6, 48000},
  };
  test::ff::TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    const std::string file = dir.File("alac.m4a");
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string("-y -f lavfi -i sine=frequency=440:duration=0.2 -c:a alac ") + c.args +
                                    " '" + file + "'"));
    Movie movie;
    const ParseResult r = OpenIsoMovieFile(file, &movie);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    std::optional<std::span<const uint8_t>> payload =
        FindDescriptionExtension(movie.tracks.at(0).media.Description(1), kSoundMediaType, FourCC("alac"));
    ASSERT_TRUE(payload);
    Bytes atom = {0, 0, 0, uint8_t(payload->size() + 8), 'a', 'l', 'a', 'c'};
    atom.insert(atom.end(), payload->begin(), payload->end());
    std::optional<AlacConfig> config = ParseAlacCookie(atom);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->bitDepth, c.depth);
    EXPECT_EQ(config->channels, c.channels);
    EXPECT_EQ(config->sampleRate, c.rate);
  }
}

// The speaker layout given to the system's AAC decoder must be the one
// libavcodec decodes each channel configuration into, or the Windows build
// folds the channels down differently from the Linux build.
TEST(SystemCodecSetup, AacChannelMask_MatchesLibavcodecLayouts) {
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  ASSERT_NE(codec, nullptr);
  for (int config = 1; config <= 7; ++config) {
    SCOPED_TRACE(config);
    // LC, 48 kHz, this channel configuration, plain GASpecificConfig.
    const uint8_t asc[2] = {uint8_t(0x11), uint8_t(0x80 | (config << 3))};
    std::optional<AacConfigInfo> info = ParseAudioSpecificConfig(asc);
    ASSERT_TRUE(info);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ASSERT_NE(ctx, nullptr);
    ctx->extradata = static_cast<uint8_t *>(av_mallocz(sizeof(asc) + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(ctx->extradata, asc, sizeof(asc));
    ctx->extradata_size = sizeof(asc);
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    EXPECT_EQ(ctx->ch_layout.nb_channels, info->channels);
    EXPECT_EQ(ctx->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
    EXPECT_EQ(uint64_t(AacChannelMask(info->channels)), ctx->ch_layout.u.mask);
    avcodec_free_context(&ctx);
  }
  EXPECT_EQ(AacChannelMask(7), 0u);
  EXPECT_EQ(AacChannelMask(9), 0u);
  EXPECT_EQ(AacChannelMask(-1), 0u);
}

// Only a stream that cannot hold B-pictures may go to a decoder whose
// pictures are taken as the sample's own: ffmpeg's encoder with and without
// them, and damaged configurations.
TEST(SystemCodecSetup, Mpeg4PicturesInDecodeOrder_Table) {
  struct Case {
    const char *name;
    Bytes config;
    bool inOrder;
  };
  const Case cases[] = {
      {"Simple L1", {0, 0, 1, 0xB0, 0x01, 0, 0, 1, 0xB5}, true},
      {"Simple L0", {0, 0, 1, 0xB0, 0x08}, true},
      {"Advanced Simple L1", {0, 0, 1, 0xB0, 0xF1, 0, 0, 1, 0xB5}, false},
      {"Core", {0, 0, 1, 0xB0, 0x21}, false},
      {"no sequence header (VOL only)", {0, 0, 1, 0x20, 0x00, 0xC4}, false},
      {"cut after the start code", {0, 0, 1, 0xB0}, false},
      {"empty", {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Mpeg4PicturesInDecodeOrder(c.config), c.inOrder);
  }
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  test::ff::TempDir dir;
  for (int bFrames : {0, 2}) {
    SCOPED_TRACE(bFrames);
    const std::string file = dir.File("mp4v.mp4");
    ASSERT_TRUE(test::ff::RunFfmpeg("-y -f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mpeg4 -bf " +
                                    std::to_string(bFrames) + " '" + file + "'"));
    Movie movie;
    const ParseResult r = OpenIsoMovieFile(file, &movie);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    std::optional<std::span<const uint8_t>> esds =
        FindDescriptionExtension(movie.tracks.at(0).media.Description(1), kVideoMediaType, FourCC("esds"));
    ASSERT_TRUE(esds);
    std::optional<EsdsConfig> config = ParseEsds(*esds);
    ASSERT_TRUE(config);
    EXPECT_EQ(Mpeg4PicturesInDecodeOrder(config->decoderSpecificInfo), bFrames == 0);
  }
}

// An 'hvcC' with one array per unit given (type, bytes).
Bytes HvcC(uint8_t lengthSizeMinusOne, const std::vector<std::pair<uint8_t, Bytes>> &units) {
  Bytes b(23, 0);
  b[0] = 1;
  b[21] = uint8_t(0xFC | lengthSizeMinusOne);
  b[22] = uint8_t(units.size());
  for (const auto &[type, unit] : units) {
    b.insert(b.end(), {uint8_t(0x80 | type), 0, 1, uint8_t(unit.size() >> 8), uint8_t(unit.size())});
    b.insert(b.end(), unit.begin(), unit.end());
  }
  return b;
}

TEST(SystemCodecSetup, ParseHvcC_Table) {
  const Bytes vps = {0x40, 0x01, 0x0C}, sps = {0x42, 0x01, 0x01, 0x60}, pps = {0x44, 0x01, 0xC1};
  Bytes all = {0, 0, 0, 1};
  all.insert(all.end(), vps.begin(), vps.end());
  all.insert(all.end(), {0, 0, 0, 1});
  all.insert(all.end(), sps.begin(), sps.end());
  all.insert(all.end(), {0, 0, 0, 1});
  all.insert(all.end(), pps.begin(), pps.end());
  const Bytes good = HvcC(3, {{32, vps}, {33, sps}, {34, pps}});
  Bytes unitPastEnd = HvcC(3, {{32, vps}});
  unitPastEnd[27] = 9;  // the unit's length
  Bytes moreArrays = good;
  moreArrays[22] = 4;
  const AvcCCase cases[] = {
      {"VPS, SPS, PPS", good, 4, all},
      {"two-byte lengths", HvcC(1, {{32, vps}}), 2, Bytes{0, 0, 0, 1, 0x40, 0x01, 0x0C}},
      {"no arrays", HvcC(0, {}), 1, {}},
      {"three-byte lengths", HvcC(2, {{32, vps}}), std::nullopt, {}},
      {"version 0",
       [&] {
         Bytes b = good;
         b[0] = 0;
         return b;
       }(),
       std::nullopt,
       {}},
      {"a unit past the end", unitPastEnd, std::nullopt, {}},
      {"more arrays than stored", moreArrays, std::nullopt, {}},
      {"cut in the header", Bytes(good.begin(), good.begin() + 22), std::nullopt, {}},
  };
  for (const AvcCCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<AvcParameterSets> sets = ParseHvcC(c.avcC);
    ASSERT_EQ(sets.has_value(), c.lengthSize.has_value());
    if (!sets) continue;
    EXPECT_EQ(sets->nalLengthSize, *c.lengthSize);
    EXPECT_EQ(sets->annexB, c.annexB);
  }
}

// An encoder's stream, turned into a byte stream our way, is what ffmpeg's
// own conversion makes of it, start codes aside.
TEST(SystemCodecSetup, ParseHvcC_ByteStreamMatchesFfmpeg) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  test::ff::TempDir dir;
  const std::string file = dir.File("hevc.mp4"), raw = dir.File("hevc.h265");
  ASSERT_TRUE(
      test::ff::RunFfmpeg("-y -f lavfi -i testsrc=size=64x48:rate=10 -t 0.3 -c:v libx265 -x265-params "
                          "log-level=error -tag:v hvc1 '" +
                          file + "'"));
  ASSERT_TRUE(
      test::ff::RunFfmpeg("-y -i '" + file + "' -c:v copy -bsf:v hevc_mp4toannexb -frames:v 1 -f hevc '" + raw + "'"));
  Movie movie;
  const ParseResult r = OpenIsoMovieFile(file, &movie);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  const Media &media = movie.tracks.at(0).media;
  std::optional<std::span<const uint8_t>> hvcC =
      FindDescriptionExtension(media.Description(1), kVideoMediaType, FourCC("hvcC"));
  ASSERT_TRUE(hvcC);
  std::optional<AvcParameterSets> sets = ParseHvcC(*hvcC);
  ASSERT_TRUE(sets);
  SampleRecord rec;
  ASSERT_TRUE(media.samples.Sample(0, &rec));
  DataFile data;
  ASSERT_TRUE(data.Open(file));
  Bytes sample(rec.size);
  ASSERT_EQ(data.ReadAt(rec.position, sample.data(), rec.size), 0);
  Bytes ours = sets->annexB;
  ASSERT_TRUE(AppendAnnexB(sample, sets->nalLengthSize, &ours));
  // Both as lists of units: ffmpeg uses three-byte start codes inside an
  // access unit.
  auto units = [](const Bytes &b) {
    std::vector<Bytes> out;
    size_t i = 0, start = std::string::npos;
    while (i + 3 <= b.size()) {
      if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
        if (start != std::string::npos) {
          size_t end = i;
          while (end > start && b[end - 1] == 0) --end;
          out.emplace_back(b.begin() + ptrdiff_t(start), b.begin() + ptrdiff_t(end));
        }
        i += 3;
        start = i;
      } else {
        ++i;
      }
    }
    if (start != std::string::npos) out.emplace_back(b.begin() + ptrdiff_t(start), b.end());
    return out;
  };
  const std::vector<Bytes> want = units(test::ff::ReadFileBytes(raw));
  const std::vector<Bytes> got = units(ours);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(got, want);
}

// One OBU: header byte for `type`, with a size field or without.
Bytes Obu(int type, const Bytes &payload, bool sized = true) {
  Bytes b = {uint8_t(type << 3 | (sized ? 0x02 : 0))};
  if (sized) b.push_back(uint8_t(payload.size()));  // payloads here stay under 128 bytes
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(SystemCodecStreams, ParseAv1C_Table) {
  const Bytes head = {0x81, 0x00, 0x0C, 0x00};
  const Bytes seq = {0x00, 0x00, 0x00, 0x6A}, stillSeq = {0x18, 0x00, 0x00};
  const Bytes meta = {0x01, 0x02};
  struct Case {
    const char *name;
    Bytes av1C;
    std::optional<Bytes> obus;  // nullopt: refused
    bool reducedStill = false;
  } cases[] = {
      {"sequence header", Cat({head, Obu(1, seq)}), Obu(1, seq)},
      {"stored without its size field", Cat({head, Obu(1, seq, false)}), Obu(1, seq)},
      {"sequence header and metadata", Cat({head, Obu(1, seq), Obu(5, meta, false)}), Cat({Obu(1, seq), Obu(5, meta)})},
      {"still picture", Cat({head, Obu(1, stillSeq)}), Obu(1, stillSeq), true},
      {"no OBUs", head, Bytes{}},
      {"a delimiter and a frame left out", Cat({head, Obu(2, {}), Obu(1, seq), Obu(6, {0x10, 0x20})}), Obu(1, seq)},
      {"extension byte kept", Cat({head, Bytes{0x2E, 0x28, 0x01, 0x55}}), Bytes{0x2E, 0x28, 0x01, 0x55}},
      {"long size, minimal again", Cat({head, Bytes{0x2A, 0x81, 0x00, 0x7F}}), Bytes{0x2A, 0x01, 0x7F}},
      {"version 0", Cat({Bytes{0x80, 0, 0, 0}, Obu(1, seq)}), std::nullopt},
      {"cut in the fixed fields", Bytes{0x81, 0x00, 0x0C}, std::nullopt},
      {"size past the end", Cat({head, Bytes{0x0A, 0x05, 0x00}}), std::nullopt},
      {"size never ends", Cat({head, Bytes{0x0A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}}), std::nullopt},
      {"forbidden bit", Cat({head, Bytes{0x8A, 0x00}}), std::nullopt},
      {"extension byte missing", Cat({head, Bytes{0x0C}}), std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Av1Config> config = ParseAv1C(c.av1C);
    ASSERT_EQ(config.has_value(), c.obus.has_value());
    if (!config) continue;
    EXPECT_EQ(config->obus, *c.obus);
    EXPECT_EQ(config->reducedStillPictureHeader, c.reducedStill);
  }
}

TEST(SystemCodecStreams, AppendAv1TemporalUnit_Table) {
  const Bytes td = {0x12, 0x00};
  const Bytes config = Obu(1, {0x00, 0x00, 0x00, 0x6A});
  const Bytes ownSeq = Obu(1, {0x00, 0x00, 0x00, 0x7B});
  const Bytes frame = Obu(6, {0x10, 0x20, 0x30}), frameUnsized = Obu(6, {0x10, 0x20, 0x30}, false);
  struct Case {
    const char *name;
    Bytes sample;
    Bytes config;
    std::optional<Bytes> stream;  // nullopt: refused
  } cases[] = {
      {"run's first sample gets the configuration", frame, config, Cat({td, config, frame})},
      {"later samples do not", frame, {}, Cat({td, frame})},
      {"a sample with its own sequence header keeps it alone", Cat({ownSeq, frame}), config, Cat({td, ownSeq, frame})},
      {"its delimiter is not doubled", Cat({td, frame}), {}, Cat({td, frame})},
      {"the last OBU gets its size field", Cat({Obu(5, {0x01}), frameUnsized}), {}, Cat({td, Obu(5, {0x01}), frame})},
      {"a size past the end", Bytes{0x32, 0x09, 0x10}, config, std::nullopt},
      {"forbidden bit", Cat({frame, Bytes{0xB2, 0x00}}), config, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out = {0xEE};
    const bool ok = AppendAv1TemporalUnit(c.sample, c.config, &out);
    ASSERT_EQ(ok, c.stream.has_value());
    EXPECT_EQ(out, ok ? Cat({Bytes{0xEE}, *c.stream}) : Bytes{0xEE});
  }
}

// The sample descriptions' set-up bytes and samples of real streams, as
// the Windows back end turns them into what a system decoder takes: where
// each can start agrees with the sync samples ffmpeg wrote (key frames,
// IRAP pictures, I-VOPs), and AV1 comes out as ffmpeg's own OBU stream.
struct EncodedStream {
  Movie movie;
  DataFile data;
  Bytes Sample(uint32_t i, SampleRecord *rec) {
    EXPECT_TRUE(movie.tracks.at(0).media.samples.Sample(i, rec));
    Bytes b(rec->size);
    EXPECT_EQ(data.ReadAt(rec->position, b.data(), rec->size), 0);
    return b;
  }
  std::span<const uint8_t> Extension(uint32_t type) {
    std::optional<std::span<const uint8_t>> ext =
        FindDescriptionExtension(movie.tracks.at(0).media.Description(1), kVideoMediaType, type);
    return ext ? *ext : std::span<const uint8_t>();
  }
};

TEST(SystemCodecStreams, RandomAccess_MatchesSyncSamplesOfEncodedStreams) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  test::ff::TempDir dir;
  const std::string src = "-y -f lavfi -i testsrc=size=64x48:rate=10 -t 2.4 ";
  const struct {
    const char *name, *args;
  } streams[] = {
      {"hevc_bframes.mp4", "-c:v libx265 -x265-params log-level=error:keyint=7:min-keyint=7:bframes=3 -tag:v hvc1"},
      {"hevc_open_gop.mov", "-c:v libx265 -x265-params log-level=error:keyint=5:open-gop=1:bframes=2 -tag:v hev1"},
      {"hevc_10bit.mp4", "-c:v libx265 -x265-params log-level=error:keyint=6 -pix_fmt yuv420p10le -tag:v hvc1"},
      {"av1.mp4", "-c:v libaom-av1 -cpu-used 8 -g 5"},
      {"av1_10bit.mp4", "-c:v libaom-av1 -cpu-used 8 -g 7 -pix_fmt yuv420p10le"},
      {"mpeg4_bframes.mp4", "-c:v mpeg4 -bf 2 -g 6 -q:v 5"},
  };
  for (const auto &s : streams) {
    SCOPED_TRACE(s.name);
    const std::string file = dir.File(s.name);
    ASSERT_TRUE(test::ff::RunFfmpeg(src + s.args + " '" + file + "'"));
    EncodedStream e;
    const ParseResult r = OpenIsoMovieFile(file, &e.movie);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    ASSERT_TRUE(e.data.Open(file));
    const std::string name = s.name;
    std::optional<AvcParameterSets> hevc;
    std::optional<Av1Config> av1;
    if (name.starts_with("hevc")) {
      ASSERT_TRUE(hevc = ParseHvcC(e.Extension(FourCC("hvcC"))));
    } else if (name.starts_with("av1")) {
      ASSERT_TRUE(av1 = ParseAv1C(e.Extension(FourCC("av1C"))));
    }
    const SampleTable &table = e.movie.tracks.at(0).media.samples;
    ASSERT_GT(table.count(), 12u);
    int syncs = 0;
    for (uint32_t i = 0; i < table.count(); ++i) {
      SCOPED_TRACE(i);
      SampleRecord rec;
      const Bytes sample = e.Sample(i, &rec);
      const bool sync = !(rec.flags & kMediaSampleNotSync);
      syncs += sync;
      Bytes stream;
      if (hevc) {
        ASSERT_TRUE(AppendAnnexB(sample, hevc->nalLengthSize, &stream));
        EXPECT_EQ(HevcRandomAccess(stream), sync);
      } else if (av1) {
        ASSERT_TRUE(AppendAv1TemporalUnit(
            sample, i == 0 ? std::span<const uint8_t>(av1->obus) : std::span<const uint8_t>(), &stream));
        EXPECT_EQ(Av1KeyFrame(stream, av1->reducedStillPictureHeader), sync);
      } else {
        EXPECT_EQ(Mpeg4IntraVop(sample), sync);
      }
    }
    EXPECT_GT(syncs, 1);
  }
}

// Our OBU stream of every sample, the configuration in front of the first,
// is ffmpeg's (its OBU muxer puts a temporal delimiter in front of each).
TEST(SystemCodecStreams, AppendAv1TemporalUnit_MatchesFfmpegObuStream) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  test::ff::TempDir dir;
  const std::string file = dir.File("av1.mp4"), obu = dir.File("av1.obu");
  ASSERT_TRUE(test::ff::RunFfmpeg(
      "-y -f lavfi -i testsrc=size=80x60:rate=10 -t 1.5 -c:v libaom-av1 -cpu-used 8 -g 6 '" + file + "'"));
  ASSERT_TRUE(test::ff::RunFfmpeg("-y -i '" + file + "' -c:v copy -f obu '" + obu + "'"));
  EncodedStream e;
  const ParseResult r = OpenIsoMovieFile(file, &e.movie);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  ASSERT_TRUE(e.data.Open(file));
  std::optional<Av1Config> config = ParseAv1C(e.Extension(FourCC("av1C")));
  ASSERT_TRUE(config);
  ASSERT_FALSE(config->obus.empty());
  Bytes ours;
  for (uint32_t i = 0; i < e.movie.tracks.at(0).media.samples.count(); ++i) {
    SampleRecord rec;
    ASSERT_TRUE(AppendAv1TemporalUnit(
        e.Sample(i, &rec), i == 0 ? std::span<const uint8_t>(config->obus) : std::span<const uint8_t>(), &ours));
  }
  EXPECT_EQ(ours, test::ff::ReadFileBytes(obu));
}

// MPEG audio frame headers: lengths and sample counts of real streams of
// every version and of layers II and III, and headers that are no header.
TEST(SystemCodecSetup, ParseMpegAudioHeader_Table) {
  struct Case {
    Bytes header;
    std::optional<MpegAudioFrame> frame;
  };
  const Case cases[] = {
      {{0xFF, 0xFB, 0x90, 0x64}, MpegAudioFrame{417, 1152, 44100}},  // MPEG-1 III 128k
      {{0xFF, 0xFB, 0x92, 0x64}, MpegAudioFrame{418, 1152, 44100}},  // padded
      {{0xFF, 0xF3, 0x80, 0xC4}, MpegAudioFrame{208, 576, 22050}},   // MPEG-2 III 64k
      {{0xFF, 0xE3, 0x18, 0xC4}, MpegAudioFrame{72, 576, 8000}},     // MPEG-2.5 III 8k
      {{0xFF, 0xFD, 0x94, 0x04}, MpegAudioFrame{480, 1152, 48000}},  // MPEG-1 II 160k
      {{0xFF, 0xFF, 0x48, 0x04}, MpegAudioFrame{192, 384, 32000}},   // MPEG-1 I 128k
      {{0xFF, 0xEB, 0x90, 0x64}, std::nullopt},                      // reserved version
      {{0xFF, 0xF9, 0x90, 0x64}, std::nullopt},                      // reserved layer
      {{0xFF, 0xFB, 0xF0, 0x64}, std::nullopt},                      // bit-rate index 15
      {{0xFF, 0xFB, 0x00, 0x64}, std::nullopt},                      // free format
      {{0xFF, 0xFB, 0x9C, 0x64}, std::nullopt},                      // rate index 3
      {{0xFE, 0xFB, 0x90, 0x64}, std::nullopt},                      // no sync
      {{0xFF, 0xFB, 0x90}, std::nullopt},                            // short
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.header));
    std::optional<MpegAudioFrame> frame = ParseMpegAudioHeader(c.header);
    ASSERT_EQ(frame.has_value(), c.frame.has_value());
    if (!frame) continue;
    EXPECT_EQ(frame->bytes, c.frame->bytes);
    EXPECT_EQ(frame->samples, c.frame->samples);
    EXPECT_EQ(frame->sampleRate, c.frame->sampleRate);
  }
  // Junk is handed over whole; a frame not yet complete is held back.
  const Bytes junk = {1, 2, 3, 4, 5};
  EXPECT_EQ(MpegAudioWholeUnits(junk, 1152), junk.size());
  Bytes partial = {0xFF, 0xF3, 0x80, 0xC4};
  partial.resize(100);
  EXPECT_EQ(MpegAudioWholeUnits(partial, 1152), 0u);
  Bytes layer1 = {0xFF, 0xFF, 0x48, 0x04};
  layer1.resize(192);
  EXPECT_FALSE(PadMpegAudioToUnits(&layer1, 1152));
  EXPECT_EQ(layer1.size(), 192u);
}

// Streams the ffmpeg command line encodes: every frame's length is found
// (they add up to the file), a decoder giving out 1152 samples at a time
// gets whole units only (pairs of frames below 32 kHz), and a stream padded
// to whole units decodes to the same samples, then one frame more.
TEST(SystemCodecSetup, MpegAudioFrames_OfEncodedStreams) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  struct Case {
    const char *args;
    int samples, rate;
  };
  const Case cases[] = {
      {"-f mp3 -c:a libmp3lame -ar 44100 -ac 2", 1152, 44100},
      {"-f mp3 -c:a libmp3lame -ar 22050 -ac 2", 576, 22050},
      {"-f mp3 -c:a libmp3lame -ar 8000 -ac 1", 576, 8000},
      {"-f mp3 -c:a libmp3lame -ar 11025 -ac 1 -b:a 24k", 576, 11025},
      {"-f mp2 -c:a mp2 -ar 48000 -ac 2", 1152, 48000},
  };
  test::ff::TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    const std::string file = dir.File("a.mp3"), padded = dir.File("p.mp3");
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string("-y -f lavfi -i sine=frequency=440:duration=0.5 -write_xing 0 ") +
                                    "-id3v2_version 0 " + c.args + " '" + file + "'"));
    Bytes stream = test::ff::ReadFileBytes(file);
    std::string plain, out;
    const std::string decode = "ffmpeg -nostdin -v error -i '";
    ASSERT_EQ(test::ff::RunCommand(decode + file + "' -f s16le -ac 1 -", &plain), 0);
    size_t pos = 0;
    int frames = 0;
    while (pos < stream.size()) {
      std::optional<MpegAudioFrame> frame = ParseMpegAudioHeader(std::span<const uint8_t>(stream).subspan(pos));
      ASSERT_TRUE(frame) << "at byte " << pos;
      EXPECT_EQ(frame->samples, c.samples);
      EXPECT_EQ(frame->sampleRate, c.rate);
      pos += size_t(frame->bytes);
      ++frames;
    }
    EXPECT_EQ(pos, stream.size());
    const size_t ready = MpegAudioWholeUnits(stream, 1152);
    EXPECT_EQ(ready == stream.size(), frames * c.samples % 1152 == 0);
    EXPECT_GT(ready, 0u);
    const int paddedFrames = frames * c.samples % 1152 == 0 ? frames : frames + 1;
    ASSERT_TRUE(PadMpegAudioToUnits(&stream, 1152));
    ASSERT_TRUE(test::ff::WriteFileBytes(padded, stream));
    ASSERT_EQ(test::ff::RunCommand(decode + padded + "' -f s16le -ac 1 -", &out), 0);
    EXPECT_EQ(out.size() / 2, size_t(paddedFrames * c.samples));
    EXPECT_EQ(out.substr(0, plain.size()), plain);
  }
}

}  // namespace
}  // namespace tp::qt
