// MakeAudioCodecSetup on the set-up atoms of Opus ('dOps') and FLAC
// ('dfLa'), well-formed and damaged, at the description level and inside a
// QuickTime 'wave'. Decoding itself is compared with ffmpeg end to end
// (tests/tools/ExtractAudio_test.cpp); here: what reaches the decoder, and
// that hostile atoms are refused rather than read past.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sound/AudioDecode.h"
#include "container/MovieModel.h"
#include "container/SampleDescriptions.h"

namespace tp::qt {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Atom(const char (&type)[5], const Bytes &payload) {
  Bytes out;
  AppendAtom(&out, FourCC(type), payload);
  return out;
}

Bytes Join(const Bytes &a, const Bytes &b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// dOps: version 0, 2 channels, pre-skip 312, 48 kHz input, gain -256, family 0.
const Bytes kDopsStereo = {0, 2, 0x01, 0x38, 0x00, 0x00, 0xBB, 0x80, 0xFF, 0x00, 0};
// OpusHead for it: the same numbers little-endian behind the magic, version 1.
const Bytes kHeadStereo = {'O',  'p',  'u',  's',  'H',  'e',  'a',  'd',  1, 2,
                           0x38, 0x01, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xFF, 0};
// Six channels, family 1: 4 streams, 2 coupled, the 5.1 mapping.
const Bytes kDops51 = {0, 6, 0x01, 0x38, 0x00, 0x00, 0xBB, 0x80, 0, 0, 1, 4, 2, 0, 4, 1, 2, 3, 5};
const Bytes kHead51 = {'O',  'p',  'u', 's', 'H', 'e', 'a', 'd', 1, 6, 0x38, 0x01, 0x80, 0xBB,
                       0x00, 0x00, 0,   0,   1,   4,   2,   0,   4, 1, 2,    3,    5};

// STREAMINFO: blocks of 4096, then rate (20 bits), channels - 1 (3), bits
// - 1 (5), the sample count and an MD5 (left 0x5A here).
Bytes StreamInfo(uint8_t b10, uint8_t b11, uint8_t b12, uint8_t b13) {
  Bytes info(34, 0x5A);
  const Bytes head = {0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, b10, b11, b12, b13, 0, 0, 0x56, 0x22};
  std::copy(head.begin(), head.end(), info.begin());
  return info;
}

// dfLa: version and flags, then the STREAMINFO block (last-block flag set).
Bytes Dfla(uint8_t blockHeader, uint32_t length, const Bytes &block) {
  Bytes d = {0, 0, 0, 0, blockHeader, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
  d.insert(d.end(), block.begin(), block.end());
  return d;
}

TEST(AudioCodecSetup, OpusAndFlacSetUpAtoms_WellFormedOrRefused) {
  const Bytes info = StreamInfo(0x0A, 0xC4, 0x42, 0xF0);    // 44,100 Hz, 2 channels, 16 bits
  const Bytes info96 = StreamInfo(0x17, 0x70, 0x01, 0x70);  // 96,000 Hz, 1 channel, 24 bits
  const Bytes flac = Dfla(0x80, 34, info);
  Bytes wave = Atom("frma", {'f', 'L', 'a', 'C'});
  wave = Join(wave, Atom("dfLa", Dfla(0x80, 34, info)));
  struct Case {
    const char *name;
    const char *format;
    int channels;
    Bytes atoms;
    OSErr result;
    const char *codec;
    Bytes extradata;
    int outChannels, outRate;
  } cases[] = {
      {"opus stereo", "Opus", 2, Atom("dOps", kDopsStereo), noErr, "opus", kHeadStereo, 2, 48000},
      // The channel count of 'dOps' wins over the description's.
      {"opus 5.1", "Opus", 2, Atom("dOps", kDops51), noErr, "opus", kHead51, 6, 48000},
      {"opus without set-up", "Opus", 2, {}, noErr, "opus", {}, 2, 48000},
      {"opus truncated",
       "Opus",
       2,
       Atom("dOps", Bytes(kDopsStereo.begin(), kDopsStereo.end() - 1)),
       paramErr,
       "",
       {},
       0,
       0},
      {"opus version 1",
       "Opus",
       2,
       Atom("dOps", Join({1}, Bytes(kDopsStereo.begin() + 1, kDopsStereo.end()))),
       paramErr,
       "",
       {},
       0,
       0},
      {"opus mapping cut short",
       "Opus",
       2,
       Atom("dOps", Bytes(kDops51.begin(), kDops51.end() - 2)),
       paramErr,
       "",
       {},
       0,
       0},
      {"opus no channels", "Opus", 2, Atom("dOps", {0, 0, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 0}), paramErr, "", {}, 0, 0},
      {"opus 3 channels, family 0",
       "Opus",
       2,
       Atom("dOps", {0, 3, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 0}),
       paramErr,
       "",
       {},
       0,
       0},
      {"opus 9 channels",
       "Opus",
       2,
       Atom("dOps", {0, 9, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 1, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}),
       paramErr,
       "",
       {},
       0,
       0},
      {"flac", "fLaC", 2, Atom("dfLa", Dfla(0x80, 34, info)), noErr, "flac", info, 2, 44100},
      // The description cannot hold 96 kHz (the rate field says 0).
      {"flac 96 kHz mono", "fLaC", 2, Atom("dfLa", Dfla(0x80, 34, info96)), noErr, "flac", info96, 1, 96000},
      {"flac, more blocks after", "fLaC", 2, Atom("dfLa", Join(Dfla(0x00, 34, info), {0x84, 0, 0, 0})), noErr, "flac",
       info, 2, 44100},
      {"flac inside 'wave'", "mp4a", 2, Atom("wave", wave), noErr, "flac", info, 2, 44100},
      {"flac first block not STREAMINFO", "fLaC", 2, Atom("dfLa", Dfla(0x84, 34, info)), paramErr, "", {}, 0, 0},
      {"flac STREAMINFO of the wrong length", "fLaC", 2, Atom("dfLa", Dfla(0x80, 33, info)), paramErr, "", {}, 0, 0},
      {"flac block cut short",
       "fLaC",
       2,
       Atom("dfLa", Dfla(0x80, 34, Bytes(info.begin(), info.end() - 1))),
       paramErr,
       "",
       {},
       0,
       0},
      {"flac version 1",
       "fLaC",
       2,
       Atom("dfLa", Join({1}, Bytes(flac.begin() + 1, flac.end()))),
       paramErr,
       "",
       {},
       0,
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    AudioCodecSetup setup;
    const double rate = std::string(c.name) == "flac 96 kHz mono" ? 0 : std::string(c.codec) == "flac" ? 44100 : 48000;
    const uint32_t format = FourCC(c.format[0], c.format[1], c.format[2], c.format[3]);
    EXPECT_EQ(MakeAudioCodecSetup(format, c.channels, 16, rate, c.atoms, {}, &setup), c.result);
    if (c.result != noErr) continue;
    EXPECT_EQ(setup.codec, c.codec);
    EXPECT_EQ(setup.extradata, c.extradata);
    EXPECT_EQ(setup.channels, c.outChannels);
    EXPECT_EQ(setup.sampleRate, c.outRate);
  }
}

}  // namespace
}  // namespace tp::qt
