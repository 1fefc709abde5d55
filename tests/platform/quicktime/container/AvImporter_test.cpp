// The libavformat importer, seen through the dispatcher: every non-ISO file
// type is made at test time and its sample table compared with what ffprobe
// reports for the same file.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "support/AmrWriter.h"
#include "container/AvImporter.h"
#include "Md5Hex.h"
#include "support/FfmpegTools.h"
#include "support/FlicWriter.h"
#include "RuntimeCalls.h"

namespace tp::test {
namespace {

using namespace qtcall;
using namespace ff;

struct CorpusEntry {
  const char *file;
  std::function<bool(const std::string &path)> make;
  const char *probeArgs;  // how ffprobe must be told the format, where the extension misleads it
  uint32_t videoCodec;    // 0: no video track expected
  uint32_t soundFormat;   // 0: no sound track expected
  int width, height;
};

bool Ff(const std::string &args, const std::string &path) { return RunFfmpeg(args + " " + ShellQuote(path)); }

const CorpusEntry kCorpus[] = {
    {"clip.264",
     [](const std::string &p) {
       return Ff("-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v libx264 -bf 2 -g 10 -f h264", p);
     },
     "", qt::FourCC("H264"), 0, 176, 144},
    {"h261.cif",
     [](const std::string &p) { return Ff("-f lavfi -i testsrc=size=352x288:rate=25 -t 1 -c:v h261 -f h261", p); },
     "-f h261", qt::FourCC("h261"), 0, 352, 288},
    {"frames.cif",
     [](const std::string &p) {
       return Ff("-f lavfi -i testsrc=size=352x288:rate=25 -t 0.2 -pix_fmt yuv420p -f rawvideo", p);
     },
     "-f rawvideo -video_size 352x288 -pixel_format yuv420p -framerate 25", qt::FourCC("y420"), 0, 352, 288},
    {"speech.amr",
     [](const std::string &p) {
       std::vector<int> types;
       for (int i = 0; i < 60; ++i) types.push_back(i % 10 == 9 ? 8 : i % 8);
       return WriteFileBytes(p, MakeAmrNb(types));
     },
     "", 0, qt::FourCC("samr"), 0, 0},
    {"mono.aiff",
     [](const std::string &p) { return Ff("-f lavfi -i sine=frequency=440:sample_rate=22050 -t 1 -c:a pcm_s16be", p); },
     "", 0, qt::FourCC("twos"), 0, 0},
    {"stereo.aif",
     [](const std::string &p) {
       return Ff("-f lavfi -i sine=frequency=1000:sample_rate=44100 -t 0.5 -ac 2 -c:a pcm_s16be -f aiff", p);
     },
     "", 0, qt::FourCC("twos"), 0, 0},
    {"pal.dv",
     [](const std::string &p) {
       return Ff(
           "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 0.4 "
           "-pix_fmt yuv420p -c:v dvvideo -c:a pcm_s16le -ac 2 -f dv",
           p);
     },
     "", qt::FourCC("dvcp"), qt::FourCC("sowt"), 720, 576},
    {"video.dif",
     [](const std::string &p) {
       return Ff("-f lavfi -i testsrc=size=720x576:rate=25 -t 0.3 -pix_fmt yuv420p -c:v dvvideo -f dv", p);
     },
     "-f dv", qt::FourCC("dvcp"), 0, 720, 576},
    {"anim.flc", [](const std::string &p) { return WriteFileBytes(p, MakeFlc(64, 48, 12, 40)); }, "",
     qt::FourCC("flic"), 0, 64, 48},
};

// ISO-family files go to the ISO parser; the same walk checks that the
// toolbox serves its tables and descriptions the same way.
const CorpusEntry kIsoCorpus[] = {
    {"clip.mov",
     [](const std::string &p) {
       return Ff(
           "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 1 -c:v libx264 "
           "-bf 2 -g 12 -c:a aac -f mov",
           p);
     },
     "", qt::FourCC("avc1"), qt::FourCC("mp4a"), 160, 120},
    {"clip.mp4",
     [](const std::string &p) {
       return Ff("-f lavfi -i testsrc=size=128x96:rate=30 -t 0.5 -c:v libx264 -bf 0 -g 5 -f mp4", p);
     },
     "", qt::FourCC("avc1"), 0, 128, 96},
};

class AvImporterCorpus : public ::testing::TestWithParam<CorpusEntry> {
 protected:
  TempDir dir_;
};

// Walks a media sample by sample through GetMediaSample2 and checks each
// against the ffprobe packet of the same number.
void CompareWithProbe(Media media, const ProbeStream &probe) {
  ASSERT_FALSE(probe.packets.empty());
  int64_t scale = QGetMediaTimeScale(media);
  ASSERT_GT(scale, 0);
  int64_t num = probe.timeBaseNum, den = probe.timeBaseDen;
  ASSERT_GT(num, 0);
  ASSERT_GT(den, 0);
  // Media units and stream units compare exactly as rationals.
  auto same = [&](int64_t media, int64_t stream) { return media * den == stream * num * scale; };
  std::vector<uint8_t> buffer(4 << 20);
  int64_t dts0 = probe.packets[0].dts;
  int64_t probeTime = 0;  // running sum of durations, for streams without dts
  TimeValue64 t = 0;
  int64_t total = 0;
  for (size_t i = 0; i < probe.packets.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    const ProbePacket &p = probe.packets[i];
    ByteCount size = 0;
    TimeValue64 decodeTime = -1, duration = -1, offset = -1;
    ItemCount count = 0, descIndex = 0;
    MediaSampleFlags flags = 0xFFFFFFFF;
    ASSERT_EQ(QGetMediaSample2(media, buffer.data(), ByteCount(buffer.size()), &size, t, &decodeTime, &duration,
                               &offset, nullptr, &descIndex, 1, &count, &flags),
              noErr);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(descIndex, 1u);
    EXPECT_EQ(decodeTime, t);
    EXPECT_EQ(size, p.size);
    EXPECT_EQ((flags & mediaSampleNotSync) == 0, p.key);
    if (!p.md5.empty()) {  // empty where side data took its place
      EXPECT_EQ(Md5Hex(buffer.data(), size), p.md5);
    }
    if (p.dts != INT64_MIN) {
      EXPECT_TRUE(same(decodeTime, p.dts - dts0)) << decodeTime << " vs dts " << p.dts;
      if (p.pts != INT64_MIN) {
        EXPECT_TRUE(same(decodeTime + offset, p.pts - dts0)) << "pts " << p.pts;
      }
    } else {
      EXPECT_TRUE(same(decodeTime, probeTime));
      EXPECT_EQ(offset, 0);
    }
    if (p.duration != INT64_MIN && p.duration > 0) {
      EXPECT_TRUE(same(duration, p.duration)) << duration;
    }
    probeTime += p.duration == INT64_MIN ? 0 : p.duration;
    ASSERT_GT(duration, 0);
    t = decodeTime + duration;
    total += duration;
  }
  EXPECT_EQ(QGetMediaDuration(media), total);
  // Past the last sample there is nothing more.
  ByteCount size = 0;
  EXPECT_NE(QGetMediaSample2(media, buffer.data(), ByteCount(buffer.size()), &size, t, nullptr, nullptr, nullptr,
                             nullptr, nullptr, 1, nullptr, nullptr),
            noErr);
}

TEST_P(AvImporterCorpus, SampleTablesMatchFfprobe) {
  const CorpusEntry &e = GetParam();
  std::string path = dir_.File(e.file);
  ASSERT_TRUE(e.make(path)) << "could not make " << e.file;
  std::vector<ProbeStream> probe = ProbeFile(path, e.probeArgs);
  ASSERT_FALSE(probe.empty());

  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(path, &movie), noErr);
  ASSERT_NE(movie, nullptr);
  EXPECT_GT(QGetMovieTimeScale(movie), 0);
  EXPECT_GT(QGetMovieDuration(movie), 0);

  Media video = QFindMedia(movie, VideoMediaType);
  Media sound = QFindMedia(movie, SoundMediaType);
  EXPECT_EQ(video != nullptr, e.videoCodec != 0);
  EXPECT_EQ(sound != nullptr, e.soundFormat != 0);
  for (const ProbeStream &s : probe) {
    if (s.codecType == "video" && video) {
      SCOPED_TRACE("video");
      CompareWithProbe(video, s);
    } else if (s.codecType == "audio" && sound) {
      SCOPED_TRACE("sound");
      CompareWithProbe(sound, s);
      EXPECT_EQ(QGetMediaTimeScale(sound), s.sampleRate) << "sound media run on their sample rate";
    }
  }
  if (video) {
    Handle h = QNewHandle(4);
    DispatchCall(kQTSelGetMediaSampleDescription, video, 1, h);
    ASSERT_EQ(QGetMoviesError(), noErr);
    ASSERT_GE(QGetHandleSize(h), Size(sizeof(ImageDescription)));
    auto *desc = reinterpret_cast<ImageDescription *>(*h);
    EXPECT_EQ(desc->cType, e.videoCodec);
    EXPECT_EQ(desc->width, e.width);
    EXPECT_EQ(desc->height, e.height);
    EXPECT_EQ(desc->idSize, QGetHandleSize(h));
    QDisposeHandle(h);
  }
  if (sound) {
    Handle h = QNewHandle(4);
    DispatchCall(kQTSelGetMediaSampleDescription, sound, 1, h);
    ASSERT_EQ(QGetMoviesError(), noErr);
    auto *desc = reinterpret_cast<SoundDescription *>(*h);
    EXPECT_EQ(desc->dataFormat, e.soundFormat);
    EXPECT_EQ(desc->sampleRate >> 16, UInt32(QGetMediaTimeScale(sound)));
    EXPECT_GE(desc->numChannels, 1);
    QDisposeHandle(h);
  }
  DispatchCall(kQTSelDisposeMovie, movie);
}

INSTANTIATE_TEST_SUITE_P(NonIsoTypes, AvImporterCorpus, ::testing::ValuesIn(kCorpus),
                         [](const ::testing::TestParamInfo<CorpusEntry> &info) {
                           std::string name = info.param.file;
                           for (char &c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

INSTANTIATE_TEST_SUITE_P(IsoTypes, AvImporterCorpus, ::testing::ValuesIn(kIsoCorpus),
                         [](const ::testing::TestParamInfo<CorpusEntry> &info) {
                           std::string name = info.param.file;
                           for (char &c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace tp::test
