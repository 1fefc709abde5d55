// Test helpers around the ffmpeg / ffprobe command-line tools: make movies
// at test time in a scratch folder, and read ffprobe's packet list as the
// independent reference for sample tables. Tests skip cleanly when the tools
// are missing (HaveFfmpeg()).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tp::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; returns its exit status, stdout in *out when given.
int RunCommand(const std::string &command, std::string *out = nullptr);
// True when both ffmpeg and ffprobe run.
bool HaveFfmpeg();
// Runs "ffmpeg -v error -y <args>"; true on success.
bool Ffmpeg(const std::string &args);

struct ProbePacket {
  int64_t pts = 0, dts = 0, duration = 0;
  uint32_t size = 0;
  int64_t pos = -1;
  bool key = false;
};
struct ProbeStream {
  int64_t timeBaseNum = 0, timeBaseDen = 0;
  std::vector<ProbePacket> packets;
};
// ffprobe's packets of one stream in file order, edit lists ignored.
bool ProbePackets(const std::string &file, int stream, ProbeStream *out);

}  // namespace tp::test
