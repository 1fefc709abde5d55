#include "FfmpegTool.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace tp::test {

ScratchDir::ScratchDir() {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  std::string templ = (ec ? std::string("/tmp") : base.string()) + "/tidepool-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

int RunCommand(const std::string &command, std::string *out) {
  std::FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
    if (out) out->append(buf, n);
  }
  const int status = pclose(p);
  return status;
}

bool HaveFfmpeg() {
  static const bool have =
      RunCommand("ffmpeg -version >/dev/null 2>&1") == 0 && RunCommand("ffprobe -version >/dev/null 2>&1") == 0;
  return have;
}

bool Ffmpeg(const std::string &args) { return RunCommand("ffmpeg -nostdin -v error -y " + args + " 2>&1") == 0; }

namespace {

// Value of `key` in one "a=1|b=2" line; empty when absent.
std::string Field(const std::string &line, const std::string &key) {
  size_t at = 0;
  while (at < line.size()) {
    size_t end = line.find('|', at);
    if (end == std::string::npos) end = line.size();
    const std::string item = line.substr(at, end - at);
    const size_t eq = item.find('=');
    if (eq != std::string::npos && item.compare(0, eq, key) == 0) return item.substr(eq + 1);
    at = end + 1;
  }
  return {};
}

int64_t Number(const std::string &s, int64_t fallback) {
  if (s.empty() || s == "N/A") return fallback;
  return std::strtoll(s.c_str(), nullptr, 10);
}

}  // namespace

bool ProbePackets(const std::string &file, int stream, ProbeStream *out) {
  std::string text;
  const std::string sel = " -select_streams " + std::to_string(stream) + " ";
  if (RunCommand("ffprobe -v error" + sel + "-show_entries stream=time_base -of compact=p=0 '" + file + "'", &text) !=
      0) {
    return false;
  }
  const std::string tb = Field(text.substr(0, text.find('\n')), "time_base");
  const size_t slash = tb.find('/');
  if (slash == std::string::npos) return false;
  out->timeBaseNum = Number(tb.substr(0, slash), 0);
  out->timeBaseDen = Number(tb.substr(slash + 1), 0);
  text.clear();
  if (RunCommand("ffprobe -v error -ignore_editlist 1" + sel +
                     "-show_entries packet=pts,dts,duration,size,pos,flags -of compact=p=0 '" + file + "'",
                 &text) != 0) {
    return false;
  }
  std::istringstream lines(text);
  std::string line;
  out->packets.clear();
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    ProbePacket p;
    p.pts = Number(Field(line, "pts"), 0);
    p.dts = Number(Field(line, "dts"), 0);
    p.duration = Number(Field(line, "duration"), 0);
    p.size = uint32_t(Number(Field(line, "size"), 0));
    p.pos = Number(Field(line, "pos"), -1);
    p.key = Field(line, "flags").find('K') != std::string::npos;
    out->packets.push_back(p);
  }
  return true;
}

}  // namespace tp::test
