#include "FfmpegTools.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tp::test::ff {
namespace {

int64_t ParseTime(const std::string &s) {
  if (s.empty() || s == "N/A") return INT64_MIN;
  return std::strtoll(s.c_str(), nullptr, 10);
}

std::vector<std::string> Split(const std::string &line, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(line);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!line.empty() && line.back() == sep) parts.emplace_back();
  return parts;
}

}  // namespace

TempDir::TempDir() {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  std::string pattern = (ec ? std::string("/tmp") : base.string()) + "/tidepool-XXXXXX";
  if (char *p = ::mkdtemp(pattern.data())) path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

int RunCommand(const std::string &command, std::string *out) {
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
    if (out) out->append(buf, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string &s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

bool HaveFfmpeg() {
  static const bool have =
      RunCommand("ffmpeg -version >/dev/null 2>&1") == 0 && RunCommand("ffprobe -version >/dev/null 2>&1") == 0;
  return have;
}

bool RunFfmpeg(const std::string &args) { return RunCommand("ffmpeg -nostdin -v error -y " + args) == 0; }

std::vector<ProbeStream> ProbeFile(const std::string &path, const std::string &inputArgs) {
  std::vector<ProbeStream> streams;
  std::string out;
  std::string cmd = "ffprobe -v error " + inputArgs + " -i " + ShellQuote(path) +
                    " -show_entries stream=index,codec_type,codec_name,time_base,sample_rate"
                    " -show_entries packet=stream_index,pts,dts,duration,size,pos,flags,data_hash -show_data_hash MD5"
                    " -of compact=nk=0";
  if (RunCommand(cmd, &out) != 0) return {};
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto fields = Split(line, '|');
    if (fields.empty()) continue;
    std::string kind = fields[0];
    std::vector<std::pair<std::string, std::string>> kv;
    for (size_t i = 1; i < fields.size(); ++i) {
      size_t eq = fields[i].find('=');
      if (eq != std::string::npos) kv.emplace_back(fields[i].substr(0, eq), fields[i].substr(eq + 1));
    }
    auto get = [&](const char *key) {
      for (auto &[k, v] : kv)
        if (k == key) return v;
      return std::string();
    };
    if (kind == "stream") {
      size_t index = size_t(std::strtoul(get("index").c_str(), nullptr, 10));
      if (streams.size() <= index) streams.resize(index + 1);
      ProbeStream &s = streams[index];
      s.codecType = get("codec_type");
      s.codecName = get("codec_name");
      std::string tb = get("time_base");
      size_t slash = tb.find('/');
      if (slash != std::string::npos) {
        s.timeBaseNum = std::strtoll(tb.substr(0, slash).c_str(), nullptr, 10);
        s.timeBaseDen = std::strtoll(tb.substr(slash + 1).c_str(), nullptr, 10);
      }
      s.sampleRate = std::atoi(get("sample_rate").c_str());
    } else if (kind == "packet") {
      size_t index = size_t(std::strtoul(get("stream_index").c_str(), nullptr, 10));
      if (streams.size() <= index) streams.resize(index + 1);
      ProbePacket p;
      p.pts = ParseTime(get("pts"));
      p.dts = ParseTime(get("dts"));
      p.duration = ParseTime(get("duration"));
      p.size = uint32_t(std::strtoul(get("size").c_str(), nullptr, 10));
      const std::string pos = get("pos");
      if (!pos.empty() && pos != "N/A") p.pos = std::strtoll(pos.c_str(), nullptr, 10);
      p.key = get("flags").find('K') != std::string::npos;
      std::string hash = get("data_hash");
      if (hash.rfind("MD5:", 0) == 0) p.md5 = hash.substr(4);
      streams[index].packets.push_back(p);
    }
  }
  return streams;
}

std::vector<uint8_t> ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

}  // namespace tp::test::ff
