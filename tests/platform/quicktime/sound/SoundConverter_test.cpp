// The Sound Converter through the dispatcher, fed the way the engine feeds
// it: a fill procedure that hands out the sound media's raw samples from
// GetMediaSample, variable-bit-rate records with the common frame size, the
// description's 'wave' extension. The output is compared with the ffmpeg
// command line's decode of the same file.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <QuickTime/MacMemory.h>
#include <QuickTime/Movies.h>
#include <QuickTime/Sound.h>

#include "RuntimeCalls.h"
#include "sound/SoundConverter.h"
#include "SoundMoviesTest.h"
#include "support/AmrWriter.h"
#include "support/AudioTestMovies.h"
#include "support/FfmpegTools.h"

namespace tp {
namespace {

using namespace test::qtcall;

OSErr Open(const SoundComponentData &in, const SoundComponentData &out, SoundConverter *sc) {
  return Err(DispatchCall(kQTSelSoundConverterOpen, &in, &out, sc));
}
OSErr Close(SoundConverter sc) { return Err(DispatchCall(kQTSelSoundConverterClose, sc)); }
OSErr Begin(SoundConverter sc) { return Err(DispatchCall(kQTSelSoundConverterBeginConversion, sc)); }
OSErr SetInfo(SoundConverter sc, OSType sel, void *p) {
  return Err(DispatchCall(kQTSelSoundConverterSetInfo, sc, sel, p));
}
OSErr GetInfo(SoundConverter sc, OSType sel, void *p) {
  return Err(DispatchCall(kQTSelSoundConverterGetInfo, sc, sel, p));
}
OSErr FillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP proc, void *ref, std::vector<uint8_t> *out,
                 UInt32 *bytes, UInt32 *flags) {
  UInt32 frames = 0;
  return Err(DispatchCall(kQTSelSoundConverterFillBuffer, sc, proc, ref, out->data(), UInt32(out->size()), bytes,
                          &frames, flags));
}

// What the engine keeps for its fill procedure.
struct Source {
  ExtendedSoundComponentData ext{};
  Handle input = nullptr;
  Media media = nullptr;
  SInt32 time = 0;
  SInt32 end = 0;
  SInt32 inputSize = 0;
  bool more = true;
  bool vbr = false;
  int calls = 0;
};

Boolean FeedFromMedia(SoundComponentDataPtr *data, void *refCon) {
  auto *s = static_cast<Source *>(refCon);
  ++s->calls;
  if (s->time >= s->end) return false;
  if (s->more) {
    SInt32 size = 0, count = 0;
    TimeValue sampleTime = 0, perSample = 0;
    OSErr e = Err(DispatchCall(kQTSelGetMediaSample, s->media, s->input, s->inputSize, &size, s->time, &sampleTime,
                               &perSample, nullptr, nullptr, 0, &count, nullptr));
    if (e != noErr || size <= 0) {
      s->more = false;
      s->ext.desc.buffer = nullptr;
      s->ext.desc.sampleCount = 0;
      s->ext.bufferSize = 0;
      s->ext.commonFrameSize = 0;
    } else {
      s->ext.desc.buffer = reinterpret_cast<Byte *>(*s->input);
      s->ext.desc.sampleCount = perSample * count;
      s->time = sampleTime + perSample * count;
      s->ext.bufferSize = size;
      if (s->vbr) s->ext.commonFrameSize = size / count;
    }
  }
  *data = &s->ext.desc;
  return s->more;
}

struct Decoded {
  OSErr err = noErr;
  SoundDescription desc{};
  std::vector<uint8_t> pcm;
  int fills = 0;
};

// Opens the converter for the media's first description with 'NONE' output
// of `outBits`, then fills `outSize`-byte buffers until a call reports no
// left-over data.
Decoded DecodeMedia(Media media, int outBits, UInt32 outSize = 65536) {
  Decoded d;
  Handle descH = QNewHandle(0);
  DispatchCall(kQTSelGetMediaSampleDescription, media, 1, descH);
  std::memcpy(&d.desc, *descH, sizeof(d.desc));
  Handle wave = nullptr;
  Ptr waveCopy = nullptr;
  if (Err(DispatchCall(kQTSelGetSoundDescriptionExtension, descH, &wave, OSType(siDecompressionParamsAtom))) == noErr) {
    const Size n = QGetHandleSize(wave);
    waveCopy = reinterpret_cast<Ptr>(DispatchCall(kQTSelNewPtr, n));
    std::memcpy(waveCopy, *wave, size_t(n));
    QDisposeHandle(wave);
  }
  QDisposeHandle(descH);
  SoundComponentData in{}, out{};
  in.format = d.desc.dataFormat;
  in.numChannels = d.desc.numChannels;
  in.sampleSize = d.desc.sampleSize;
  in.sampleRate = d.desc.sampleRate;
  out = in;
  out.flags = kNoRealtimeProcessing;
  out.format = kSoundNotCompressed;
  out.sampleSize = SInt16(outBits);
  SoundConverter sc = nullptr;
  d.err = Open(in, out, &sc);
  if (d.err == noErr) {
    EXPECT_EQ(SetInfo(sc, siClientAcceptsVBR, reinterpret_cast<void *>(1)), noErr);
    if (waveCopy) {
      EXPECT_EQ(SetInfo(sc, siDecompressionParams, waveCopy), noErr);
    }
    d.err = Begin(sc);
  }
  Source src;
  src.media = media;
  src.end = QGetMediaDuration(media);
  src.inputSize = std::max<SInt32>(65536, (SInt32(in.sampleRate >> 16) + 1000) * in.numChannels * 4);
  src.input = QNewHandle(src.inputSize);
  src.vbr = d.desc.compressionID == variableCompression;
  src.ext.desc = in;
  src.ext.desc.flags = kExtendedSoundData;
  src.ext.recordSize = 68;
  src.ext.extendedFlags = kExtendedSoundBufferSizeValid | (src.vbr ? kExtendedSoundCommonFrameSizeValid : 0);
  std::vector<uint8_t> buf(outSize);
  while (d.err == noErr && d.fills < 100000) {
    UInt32 bytes = 0, flags = 0;
    d.err = FillBuffer(sc, FeedFromMedia, &src, &buf, &bytes, &flags);
    ++d.fills;
    d.pcm.insert(d.pcm.end(), buf.begin(), buf.begin() + bytes);
    if (!(flags & kSoundConverterHasLeftOverData)) {
      EXPECT_EQ(bytes, 0u);
      break;
    }
  }
  if (sc) {
    DispatchCall(kQTSelSoundConverterEndConversion, sc, buf.data(), nullptr, nullptr);
    EXPECT_EQ(Close(sc), noErr);
  }
  QDisposeHandle(src.input);
  if (waveCopy) DispatchCall(kQTSelDisposePtr, waveCopy);
  return d;
}

std::vector<uint8_t> FfmpegRaw(const std::string &file, const std::string &format, const std::string &in = "") {
  std::string out;
  if (test::ff::RunCommand("ffmpeg -nostdin -v error " + in + " -i \"" + file + "\" -f " + format + " - 2>/dev/null",
                           &out) != 0)
    return {};
  return std::vector<uint8_t>(out.begin(), out.end());
}

class SoundConverterTest : public test::SoundMoviesTest {
 protected:
  Media OpenSound(const std::string &path) {
    Movie m = OpenMovie(path);
    return m ? QFindMedia(m, SoundMediaType) : nullptr;
  }
};

struct ConverterCase {
  test::AudioMovieSpec spec;
  int outBits;
  const char *ffmpegFormat;
  const char *ffmpegInput;  // "-ignore_editlist 1": the converter sees every media sample
};

// Test names show the movie's file name, not the case's raw bytes.
[[maybe_unused]] void PrintTo(const ConverterCase &c, std::ostream *os) { *os << c.spec.name; }

class ConverterMatchesFfmpeg : public SoundConverterTest, public ::testing::WithParamInterface<ConverterCase> {};

TEST_P(ConverterMatchesFfmpeg, OutputEqualsTheCommandLineDecode) {
  const ConverterCase &c = GetParam();
  const std::string path = test::MakeAudioMovie(dir_.path(), c.spec);
  ASSERT_FALSE(path.empty());
  Media media = OpenSound(path);
  ASSERT_NE(media, nullptr);
  Decoded got = DecodeMedia(media, c.outBits);
  ASSERT_EQ(got.err, noErr);
  EXPECT_EQ(got.desc.numChannels, c.spec.channels);
  const std::vector<uint8_t> ref = FfmpegRaw(path, c.ffmpegFormat, c.ffmpegInput);
  ASSERT_FALSE(ref.empty());
  EXPECT_EQ(got.pcm.size(), ref.size());
  const size_t n = std::min(got.pcm.size(), ref.size());
  size_t first = n;
  for (size_t i = 0; i < n && first == n; ++i)
    if (got.pcm[i] != ref[i]) first = i;
  EXPECT_EQ(first, n) << c.spec.name << ": first difference at byte " << first;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, ConverterMatchesFfmpeg,
    ::testing::Values(ConverterCase{{"ulaw8m.mov", "-c:a pcm_mulaw", 8000, 1}, 16, "s16le", ""},
                      ConverterCase{{"ima4_44s.mov", "-c:a adpcm_ima_qt", 44100, 2}, 16, "s16le", ""},
                      ConverterCase{{"ima4_22m.mov", "-c:a adpcm_ima_qt", 22050, 1}, 16, "s16le", ""},
                      ConverterCase{{"s16be48s.mov", "-c:a pcm_s16be", 48000, 2}, 16, "s16le", ""},
                      ConverterCase{{"s16le22_51.mov", "-c:a pcm_s16le", 22050, 6}, 16, "s16le", ""},
                      ConverterCase{{"s24be48s.mov", "-c:a pcm_s24be", 48000, 2}, 24, "s24le", ""},
                      ConverterCase{{"s24le44m.mov", "-c:a pcm_s24le", 44100, 1}, 24, "s24le", ""},
                      ConverterCase{{"aac44s.mov", "-c:a aac", 44100, 2}, 16, "s16le", "-ignore_editlist 1"},
                      ConverterCase{{"aac48_51.mov", "-c:a aac", 48000, 6}, 16, "s16le", "-ignore_editlist 1"},
                      ConverterCase{{"mp3_44s.mov", "-c:a libmp3lame", 44100, 2}, 16, "s16le", "-ignore_editlist 1"}),
    [](const ::testing::TestParamInfo<ConverterCase> &info) {
      std::string n = info.param.spec.name;
      for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(SoundConverterTest, AmrNb_DecodesFromVariableBitRateBuffersOfManyFrames) {
  // Frame types of every size, so that buffers mix frame lengths.
  std::vector<int> types;
  for (int i = 0; i < 300; ++i) types.push_back(i % 9 == 8 ? 7 : i % 8);
  const std::string path = dir_.File("speech.amr");
  ASSERT_TRUE(test::ff::WriteFileBytes(path, test::MakeAmrNb(types)));
  Media media = OpenSound(path);
  ASSERT_NE(media, nullptr);
  Decoded got = DecodeMedia(media, 16, 8000);
  ASSERT_EQ(got.err, noErr);
  const std::vector<uint8_t> ref = FfmpegRaw(path, "s16le");
  ASSERT_EQ(ref.size(), 300u * 160 * 2);
  EXPECT_EQ(got.pcm, ref);
  EXPECT_GT(got.fills, 2);  // several calls, each a full buffer but the last
}

TEST_F(SoundConverterTest, LastPartialBuffer_IsDeliveredBeforeTheEmptyCall) {
  const std::string path = test::MakeAudioMovie(dir_.path(), {"p.mov", "-c:a pcm_s16le", 8000, 1, 0.3});
  Media media = OpenSound(path);
  ASSERT_NE(media, nullptr);
  Decoded got = DecodeMedia(media, 16, 1000);  // 2,400 frames = 4,800 bytes: four full buffers and 800 bytes
  ASSERT_EQ(got.err, noErr);
  EXPECT_EQ(got.pcm.size(), 4800u);
  EXPECT_EQ(got.fills, 6);
}

TEST_F(SoundConverterTest, SizesAndInfo_FollowTheInputFormat) {
  SoundComponentData in{}, out{};
  in.format = QT_FOUR_CHAR_CODE('i', 'm', 'a', '4');
  in.numChannels = 2;
  in.sampleSize = 16;
  in.sampleRate = 44100u << 16;
  out = in;
  out.format = kSoundNotCompressed;
  SoundConverter sc = nullptr;
  ASSERT_EQ(Open(in, out, &sc), noErr);
  UInt32 frames = 0, inBytes = 0, outBytes = 0;
  ASSERT_EQ(Err(DispatchCall(kQTSelSoundConverterGetBufferSizes, sc, 65536u, &frames, &inBytes, &outBytes)), noErr);
  EXPECT_EQ(inBytes, 65536u / 68 * 68);
  EXPECT_EQ(frames, 65536u / 68 * 64);
  EXPECT_EQ(outBytes, frames * 4);
  CompressionInfo ci{};
  ci.recordSize = sizeof(ci);
  ASSERT_EQ(GetInfo(sc, siCompressionFactor, &ci), noErr);
  EXPECT_EQ(ci.samplesPerPacket, 64);
  EXPECT_EQ(ci.bytesPerPacket, 34);
  EXPECT_EQ(ci.bytesPerFrame, 68);
  UInt32 maxPacket = 0;
  ASSERT_EQ(GetInfo(sc, siCompressionMaxPacketSize, &maxPacket), noErr);
  EXPECT_EQ(maxPacket, 68u);
  EXPECT_EQ(GetInfo(sc, QT_FOUR_CHAR_CODE('w', 'h', 'a', 't'), &maxPacket), qt::kSiUnknownInfoTypeErr);
  EXPECT_EQ(SetInfo(sc, QT_FOUR_CHAR_CODE('w', 'h', 'a', 't'), &maxPacket), qt::kSiUnknownInfoTypeErr);
  EXPECT_EQ(GetInfo(sc, siCompressionMaxPacketSize, nullptr), paramErr);
  EXPECT_EQ(Close(sc), noErr);
}

Boolean FeedOnce(SoundComponentDataPtr *data, void *refCon) {
  auto *ext = static_cast<ExtendedSoundComponentData *>(refCon);
  if (ext->frameCount++ > 0) return false;
  *data = &ext->desc;
  return true;
}

TEST_F(SoundConverterTest, HostileCalls_AreRefused) {
  SoundComponentData in{}, out{};
  in.format = k16BitBigEndianFormat;
  in.numChannels = 2;
  in.sampleSize = 16;
  in.sampleRate = 8000u << 16;
  out = in;
  out.format = kSoundNotCompressed;
  SoundConverter sc = nullptr;
  SoundComponentData bad = out;
  bad.format = kMPEG4AudioFormat;  // an encoder is not offered
  EXPECT_EQ(Open(in, bad, &sc), qt::kBadFormatErr);
  bad = in;
  bad.format = QT_FOUR_CHAR_CODE('?', '?', '?', '?');
  EXPECT_EQ(Open(bad, out, &sc), qt::kBadFormatErr);
  bad.format = k16BitBigEndianFormat;
  bad.numChannels = 0;
  EXPECT_EQ(Open(bad, out, &sc), paramErr);
  EXPECT_EQ(Open(in, out, nullptr), paramErr);
  EXPECT_EQ(sc, nullptr);

  ASSERT_EQ(Open(in, out, &sc), noErr);
  const size_t live = qt::ScConverterCount();
  std::vector<uint8_t> buf(4096);
  UInt32 bytes = 0, flags = 0;
  ExtendedSoundComponentData ext{};
  EXPECT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), paramErr);  // not begun
  // A 'wave' block whose size the runtime cannot know is not read.
  uint8_t stack[64] = {};
  EXPECT_EQ(SetInfo(sc, siDecompressionParams, stack), paramErr);
  ASSERT_EQ(Begin(sc), noErr);
  // A record claiming an absurd buffer.
  std::vector<uint8_t> data(64, 0);
  ext.desc = in;
  ext.desc.flags = kExtendedSoundData;
  ext.desc.buffer = data.data();
  ext.extendedFlags = kExtendedSoundBufferSizeValid;
  ext.bufferSize = -5;
  EXPECT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), paramErr);
  ext.frameCount = 0;
  ext.bufferSize = 64;
  ext.desc.buffer = nullptr;
  EXPECT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), paramErr);
  // A sane one: 16 frames of silence, then the end.
  ext.frameCount = 0;
  ext.desc.buffer = data.data();
  ASSERT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), noErr);
  EXPECT_EQ(bytes, 64u);
  EXPECT_EQ(flags, UInt32(kSoundConverterDidntFillBuffer | kSoundConverterHasLeftOverData));
  ASSERT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), noErr);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(flags, UInt32(kSoundConverterDidntFillBuffer));
  EXPECT_EQ(FillBuffer(sc, nullptr, &ext, &buf, &bytes, &flags), paramErr);
  EXPECT_EQ(Close(sc), noErr);
  EXPECT_EQ(qt::ScConverterCount(), live - 1);
  EXPECT_EQ(Close(sc), paramErr);
  EXPECT_EQ(Begin(sc), paramErr);
  EXPECT_EQ(FillBuffer(sc, FeedOnce, &ext, &buf, &bytes, &flags), paramErr);
}

}  // namespace
}  // namespace tp
