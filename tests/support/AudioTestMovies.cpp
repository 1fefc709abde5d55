#include "AudioTestMovies.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "FfmpegTools.h"

namespace tp::test {

std::string MakeAudioMovie(const std::string &dir, const AudioMovieSpec &spec) {
  // One tone per channel (220 Hz apart), at a level that leaves headroom.
  std::ostringstream expr;
  for (int c = 0; c < spec.channels; ++c) {
    if (c) expr << '|';
    expr << "0.4*sin(" << 220 * (c + 1) << "*2*PI*t)";
  }
  const std::string path = dir + "/" + spec.name;
  std::ostringstream cmd;
  cmd << "-f lavfi -i \"aevalsrc=" << expr.str() << ":s=" << spec.rate << ":d=" << spec.seconds << "\" "
      << spec.codecArgs << " \"" << path << "\"";
  return ff::RunFfmpeg(cmd.str()) ? path : std::string();
}

std::vector<int16_t> FfmpegDecodeS16(const std::string &file, const std::string &outputArgs,
                                     const std::string &inputArgs) {
  std::string out;
  const std::string cmd =
      "ffmpeg -nostdin -v error " + inputArgs + " -i \"" + file + "\" " + outputArgs + " -f s16le - 2>/dev/null";
  if (ff::RunCommand(cmd, &out) != 0) return {};
  std::vector<int16_t> pcm(out.size() / 2);
  if (!pcm.empty()) std::memcpy(pcm.data(), out.data(), pcm.size() * 2);
  return pcm;
}

double RmsDifference(const std::vector<int16_t> &a, const std::vector<int16_t> &b, size_t n) {
  n = std::min({n, a.size(), b.size()});
  if (n == 0) return 0;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  return std::sqrt(sum / double(n));
}

}  // namespace tp::test
