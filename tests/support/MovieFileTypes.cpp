#include "support/MovieFileTypes.h"

#include "support/AmrWriter.h"
#include "support/FfmpegTools.h"
#include "support/FlicWriter.h"

namespace tp::test {
namespace {

std::function<bool(const std::string &)> With(std::string args) {
  return [args](const std::string &p) { return ff::RunFfmpeg(args + " " + ff::ShellQuote(p)); };
}

const std::string kIsoBoth = "-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=16000 -t 1 ";

}  // namespace

const std::vector<MovieFileType> &MovieFileTypes() {
  static const std::vector<MovieFileType> types = {
      {".264", With("-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v libx264 -bf 2 -g 10 -f h264"), "", true, false},
      {".3g2", With(kIsoBoth + "-c:v mpeg4 -c:a aac -ac 1 -f 3g2"), "", true, true},
      {".3gp",
       With("-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=8000 -t 1 -c:v h263 -c:a aac -ac 1 "
            "-f 3gp"),
       "", true, true},
      {".3gp2", With(kIsoBoth + "-c:v mpeg4 -c:a aac -ac 1 -f 3g2"), "", true, true},
      {".aif", With("-f lavfi -i sine=frequency=1000:sample_rate=44100 -t 0.5 -ac 2 -c:a pcm_s16be -f aiff"), "", false,
       true},
      {".aiff", With("-f lavfi -i sine=frequency=440:sample_rate=22050 -t 1 -c:a pcm_s16be -f aiff"), "", false, true},
      {".amr",
       [](const std::string &p) {
         std::vector<int> types;
         for (int i = 0; i < 60; ++i) types.push_back(i % 10 == 9 ? 8 : i % 8);
         return ff::WriteFileBytes(p, MakeAmrNb(types));
       },
       "", false, true},
      {".cif", With("-f lavfi -i testsrc=size=352x288:rate=25 -t 1 -c:v h261 -f h261"), "-f h261", true, false},
      {".dif", With("-f lavfi -i testsrc=size=720x576:rate=25 -t 0.3 -pix_fmt yuv420p -c:v dvvideo -f dv"), "-f dv",
       true, false},
      {".dv",
       With("-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 0.4 -pix_fmt yuv420p "
            "-c:v dvvideo -c:a pcm_s16le -ac 2 -f dv"),
       "", true, true},
      {".flc", [](const std::string &p) { return ff::WriteFileBytes(p, MakeFlc(64, 48, 12, 40)); }, "", true, false},
      {".m4a", With("-f lavfi -i sine=sample_rate=44100 -t 1 -c:a aac -f ipod"), "", false, true},
      {".m4v", With("-f lavfi -i testsrc=size=128x96:rate=30 -t 0.5 -c:v libx264 -bf 0 -g 5 -f mp4"), "", true, false},
      {".mov",
       With("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 1 -c:v libx264 -bf 2 "
            "-g 12 -c:a aac -f mov"),
       "", true, true},
      {".mp4", With("-f lavfi -i testsrc=size=128x96:rate=30 -t 0.5 -c:v libx264 -bf 0 -g 5 -f mp4"), "", true, false},
      {".qt",
       With(std::string("-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 ") +
            "-c:v mjpeg -c:a pcm_s16le -f mov"),
       "", true, true},
  };
  return types;
}

}  // namespace tp::test
