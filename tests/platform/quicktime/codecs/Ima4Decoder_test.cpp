// The built-in 'ima4' decoder against libavcodec's: the same samples, byte
// for byte, for streams the ffmpeg command line encodes and for blocks of
// any bytes (corrupt headers included), mono and stereo, fed one block set
// at a time or many per packet, and after a flush.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "sound/AudioDecode.h"
#include "codecs/Ima4Decoder.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

using Planes = std::vector<std::vector<int16_t>>;

void Append(Planes *out, const int16_t *const *planes, int channels, int frames) {
  out->resize(size_t(channels));
  for (int c = 0; c < channels; ++c) (*out)[size_t(c)].insert((*out)[size_t(c)].end(), planes[c], planes[c] + frames);
}

// libavcodec's decode of each packet in turn (a flush between two runs when
// `flushAt` names a packet).
Planes ReferenceDecode(const std::vector<std::vector<uint8_t>> &packets, int channels, size_t flushAt = SIZE_MAX) {
  Planes out;
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_ADPCM_IMA_QT);
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->sample_rate = 22050;
  ctx->block_align = 34 * channels;
  EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  for (size_t i = 0; i < packets.size(); ++i) {
    if (i == flushAt) avcodec_flush_buffers(ctx);
    av_new_packet(pkt, int(packets[i].size()));
    std::memcpy(pkt->data, packets[i].data(), packets[i].size());
    avcodec_send_packet(ctx, pkt);
    av_packet_unref(pkt);
    while (avcodec_receive_frame(ctx, frame) == 0) {
      EXPECT_EQ(frame->format, AV_SAMPLE_FMT_S16P);
      Append(&out, reinterpret_cast<const int16_t *const *>(frame->extended_data), channels, frame->nb_samples);
      av_frame_unref(frame);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return out;
}

Planes OwnDecode(const std::vector<std::vector<uint8_t>> &packets, int channels, size_t flushAt = SIZE_MAX) {
  AudioCodecSetup setup;
  setup.codec = "adpcm_ima_qt";
  setup.channels = channels;
  setup.sampleRate = 22050;
  std::unique_ptr<AudioDecoder> d;
  EXPECT_EQ(CreateIma4Decoder(setup, &d), noErr);
  Planes out;
  auto sink = [&](const PcmFrames &f) {
    EXPECT_EQ(f.format.type, SampleType::kS16);
    EXPECT_TRUE(f.format.planar);
    Append(&out, reinterpret_cast<const int16_t *const *>(f.data), f.format.channels, f.frames);
    return OSErr(noErr);
  };
  for (size_t i = 0; i < packets.size(); ++i) {
    if (i == flushAt) d->Flush();
    EXPECT_EQ(d->DecodePacket(packets[i], sink), noErr);
  }
  return out;
}

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = uint8_t(seed >> 24);
  }
  return v;
}

// The 'ima4' blocks of a sine the ffmpeg command line encodes (the sound
// data of an AIFF-C file).
std::vector<uint8_t> EncodedSine(const test::ff::TempDir &dir, int channels) {
  const std::string aifc = dir.File("ima4_" + std::to_string(channels) + ".aif");
  const std::string args = "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=0.5 -ac " +
                           std::to_string(channels) + " -c:a adpcm_ima_qt -f aiff " + test::ff::ShellQuote(aifc);
  if (!test::ff::RunFfmpeg(args)) return {};
  std::ifstream in(aifc, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string bytes(file.begin(), file.end());
  const size_t at = bytes.find("SSND");
  if (at == std::string::npos || at + 16 > file.size()) return {};
  const size_t size =
      size_t(file[at + 4]) << 24 | size_t(file[at + 5]) << 16 | size_t(file[at + 6]) << 8 | file[at + 7];
  if (size < 8 || at + 8 + size > file.size()) return {};
  return std::vector<uint8_t>(file.begin() + std::ptrdiff_t(at + 16), file.begin() + std::ptrdiff_t(at + 8 + size));
}

std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t> &data, size_t packetBytes) {
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = 0; at < data.size(); at += packetBytes)
    out.emplace_back(data.begin() + std::ptrdiff_t(at),
                     data.begin() + std::ptrdiff_t(std::min(data.size(), at + packetBytes)));
  return out;
}

TEST(Ima4Decoder, Decode_EqualsLibavcodec) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::ff::TempDir dir;
  struct Case {
    const char *name;
    int channels;
    std::vector<uint8_t> data;
    size_t packetBlocks;  // block sets per packet
    size_t flushAt = SIZE_MAX;
  };
  std::vector<Case> cases = {
      {"encoded mono, one block per packet", 1, EncodedSine(dir, 1), 1},
      {"encoded stereo, one block set per packet", 2, EncodedSine(dir, 2), 1},
      {"encoded stereo, 7 block sets per packet", 2, EncodedSine(dir, 2), 7},
      {"encoded stereo, flushed halfway", 2, EncodedSine(dir, 2), 1, 100},
      {"any bytes, mono (step indexes past 88 among them)", 1, Noise(34 * 300, 7), 1},
      {"any bytes, stereo, 3 block sets per packet", 2, Noise(68 * 300, 11), 3},
      {"any bytes, stereo, a trailing partial block", 2, Noise(68 * 40 + 50, 5), 41},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.data.empty());
    const auto packets = Split(c.data, 34 * size_t(c.channels) * c.packetBlocks);
    const Planes want = ReferenceDecode(packets, c.channels, c.flushAt);
    const Planes got = OwnDecode(packets, c.channels, c.flushAt);
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(got.size(), want.size());
    for (size_t ch = 0; ch < want.size(); ++ch) {
      ASSERT_EQ(got[ch].size(), want[ch].size()) << "channel " << ch;
      for (size_t i = 0; i < want[ch].size(); ++i)
        ASSERT_EQ(got[ch][i], want[ch][i]) << "channel " << ch << " sample " << i;
    }
  }
}

// libavcodec stops at two channels; the blocks of more channels take turns
// the same way, so each channel decodes as a mono stream of its blocks.
TEST(Ima4Decoder, SixChannels_EachAsMono) {
  const int channels = 6;
  std::vector<uint8_t> data = Noise(34 * channels * 50, 3);
  for (size_t at = 0; at < data.size(); at += 34) data[at + 1] = uint8_t((data[at + 1] & 0x80) | (data[at + 1] % 89));
  const Planes got = OwnDecode(Split(data, 34 * channels * 4), channels);
  ASSERT_EQ(got.size(), size_t(channels));
  for (int c = 0; c < channels; ++c) {
    std::vector<std::vector<uint8_t>> mono;
    for (size_t at = size_t(c) * 34; at < data.size(); at += 34 * channels)
      mono.emplace_back(data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + 34));
    const Planes want = ReferenceDecode(mono, 1);
    ASSERT_EQ(want.size(), 1u);
    EXPECT_EQ(got[size_t(c)], want[0]) << "channel " << c;
  }
}

TEST(Ima4Decoder, Create_RefusesWhatItCannotServe) {
  AudioCodecSetup setup;
  setup.codec = "adpcm_ima_wav";
  setup.channels = 2;
  setup.sampleRate = 44100;
  std::unique_ptr<AudioDecoder> d;
  EXPECT_EQ(CreateIma4Decoder(setup, &d), noCodecErr);
  setup.codec = "adpcm_ima_qt";
  setup.channels = 9;
  EXPECT_EQ(CreateIma4Decoder(setup, &d), paramErr);
  setup.channels = 2;
  setup.sampleRate = 0;
  EXPECT_EQ(CreateIma4Decoder(setup, &d), paramErr);
  EXPECT_EQ(d, nullptr);
}

}  // namespace
}  // namespace tp::qt
