// FfmpegTools (namespace ff): test helpers around the ffmpeg and ffprobe command-line tools,
// which make test movies at test time and serve as the independent reference
// for sample tables. Also a temporary folder that removes itself. Tests that
// need the tools skip cleanly when they are missing (HaveFfmpeg()).
//
// Everything runs synchronously in the calling thread; outputs are returned
// by value and owned by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tp::test::ff {

// A fresh folder under the system's temporary folder (/tmp when that cannot
// be found), removed with its contents when the object goes. path() is empty
// when the folder could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; returns its exit status (-1 when it could not be
// started or did not exit normally) and, when `out` is given, its standard
// output.
int RunCommand(const std::string &command, std::string *out = nullptr);

// True when both ffmpeg and ffprobe run. Checked once per process.
bool HaveFfmpeg();

// Runs "ffmpeg -nostdin -v error -y <args>"; true when it succeeded.
bool RunFfmpeg(const std::string &args);

// Quotes a path for the shell.
std::string ShellQuote(const std::string &s);

// One packet as ffprobe -show_packets reports it; times in the stream's time
// base, INT64_MIN when ffprobe says "N/A".
struct ProbePacket {
  int64_t pts = INT64_MIN;
  int64_t dts = INT64_MIN;
  int64_t duration = INT64_MIN;
  uint32_t size = 0;
  int64_t pos = -1;  // byte offset in the file, -1 when unknown
  bool key = false;
  std::string md5;  // hex digest of the packet's bytes
};

struct ProbeStream {
  std::string codecType;  // "video", "audio", ...
  std::string codecName;
  int64_t timeBaseNum = 0;
  int64_t timeBaseDen = 0;
  int sampleRate = 0;
  std::vector<ProbePacket> packets;  // in file order
};

// Streams and packets of a file. `inputArgs` go before "-i" (for example
// "-f h261" to name the demuxer, or "-ignore_editlist 1" for a movie's
// packets without its edit lists applied). Empty on failure.
std::vector<ProbeStream> ProbeFile(const std::string &path, const std::string &inputArgs = "");

std::vector<uint8_t> ReadFileBytes(const std::string &path);
// The whole file as a string; empty when it cannot be read.
std::string ReadFileText(const std::string &path);
bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace tp::test::ff
