// Fuzz target for our own Animation ('rle '), indexed 'raw ' and 'ima4'
// decoders: the first byte picks the codec and its depth or channel count,
// the next four the picture's size; the rest is a run of samples, each a two-byte big-endian
// length and its bytes. Whatever the bytes, decoding stays inside the
// picture (AddressSanitizer's job), a raw picture that decodes draws whole,
// and 'ima4' hands out whole blocks of sound.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codecs/AnimationDecoder.h"
#include "sound/AudioDecode.h"
#include "codecs/Ima4Decoder.h"
#include "container/MovieModel.h"
#include "codecs/RawIndexedDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tp::qt;
  if (size < 5) return 0;
  static constexpr int kDepths[] = {1, 2, 4, 8, 16, 24, 32, 33, 34, 36, 40};
  const uint8_t pick = data[0];
  const int width = 1 + ((data[1] << 8 | data[2]) % 300);
  const int height = 1 + ((data[3] << 8 | data[4]) % 300);
  std::span<const uint8_t> in(data + 5, size - 5);

  AnimationCanvas canvas;
  std::unique_ptr<AudioDecoder> ima;
  std::unique_ptr<VideoDecoder> raw;
  std::vector<uint8_t> pixels;
  if ((pick & 0xC0) == 0x40) {
    static constexpr int kRawDepths[] = {1, 2, 4, 8, 33, 34, 36, 40};
    VideoCodecSetup setup;
    setup.codecType = FourCC("raw ");
    setup.width = width;
    setup.height = height;
    setup.depth = kRawDepths[pick % 8];
    if (CreateRawIndexedDecoder(setup, &raw) != noErr) __builtin_trap();
    pixels.resize(size_t(4 * width * height));
  } else if (pick & 0x80) {
    AudioCodecSetup setup;
    setup.codec = "adpcm_ima_qt";
    setup.channels = 1 + (pick & 7);
    setup.sampleRate = 44100;
    if (CreateIma4Decoder(setup, &ima) != noErr) __builtin_trap();
  } else if (!canvas.Init(width, height, kDepths[pick % (sizeof kDepths / sizeof kDepths[0])])) {
    __builtin_trap();
  }
  while (in.size() >= 2) {
    const size_t n = std::min<size_t>(size_t(in[0]) << 8 | in[1], in.size() - 2);
    std::span<const uint8_t> sample = in.subspan(2, n);
    in = in.subspan(2 + n);
    if (raw) {
      bool got = false;
      if (raw->Decode(sample.data(), int64_t(sample.size()), &got) != noErr) continue;
      DrawTarget t;
      t.format = PixelLayout::kARGB;
      t.width = width;
      t.height = height;
      t.data[0] = pixels.data();
      t.linesize[0] = 4 * width;
      int w = 0, h = 0;
      if (raw->Draw(t, &w, &h) != noErr || w != width || h != height) __builtin_trap();
      continue;
    }
    if (!ima) {
      canvas.Apply(sample);
      continue;
    }
    ima->DecodePacket(sample, [&](const PcmFrames &f) {
      if (f.frames <= 0 || f.frames % 64 != 0 || !f.format.planar) __builtin_trap();
      return OSErr(noErr);
    });
    if ((n & 3) == 0) ima->Flush();
  }
  return 0;
}
