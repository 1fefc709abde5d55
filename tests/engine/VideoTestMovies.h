// Helpers for the video track tests: movies made once per test binary by
// the ffmpeg command line, ffprobe's packet table as the reference, and a
// movie session opened on the real runtime.
#pragma once

#include <unistd.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "engine/CQTAVExtraction.h"
#include "engine/CQTVideoExtraction.h"
#include "engine/QuickTimeBinding.h"

#include <uuids.h>

namespace videotest {

inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string Run(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// A movie made by `ffmpeg <args> FILE`, once per process; empty on failure.
inline std::string MakeMovie(const std::string &name, const std::string &args) {
  static std::map<std::string, std::string> made;
  static const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tp_h8_movies_" + std::to_string(::getpid()));
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  std::filesystem::create_directories(dir);
  const std::string path = (dir / name).string();
  const std::string command = "ffmpeg -nostdin -v error -y " + args + " " + Quote(path);
  const std::string result = std::system(command.c_str()) == 0 ? path : std::string();
  made[name] = result;
  return result;
}

struct Packet {
  long long pts = 0, dts = 0, duration = 0, pos = 0, size = 0;
  bool key = false;
};

// Video packets in decode order.
inline std::vector<Packet> Packets(const std::string &file) {
  const std::string out =
      Run("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,duration,pos,size,flags "
          "-of csv=p=0 " +
          Quote(file));
  std::vector<Packet> packets;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    Packet p;
    char flags[16] = {};
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld,%lld,%lld,%15s", &p.pts, &p.dts, &p.duration, &p.size, &p.pos,
                    flags) == 6) {
      p.key = flags[0] == 'K';
      packets.push_back(p);
    }
  }
  return packets;
}

// A movie session on the real runtime, with the registry pointing at it.
class Session {
 public:
  explicit Session(const std::string &file) {
    ResetQuickTimeBindingForTesting();
    enginetest::SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
    session_ = std::make_unique<CQTAVExtraction>(enginetest::Wide(file).c_str());
  }
  ~Session() {
    session_.reset();
    ResetQuickTimeBindingForTesting();
  }
  LONG Status() const { return session_->GetStatus(); }
  CQTVideoExtraction *Video() const { return dynamic_cast<CQTVideoExtraction *>(session_->GetVideoExtraction()); }
  IMediaExtraction *Audio() const { return session_->GetAudioExtraction(); }

 private:
  std::unique_ptr<CQTAVExtraction> session_;
};

constexpr GUID kSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Starts the track in a subtype; the buffer size the pin would use.
inline LONG Start(CQTVideoExtraction *video, const GUID &subtype) {
  VIDEOINFOHEADER info{};
  EXPECT_EQ(video->FillMediaInfo(&info, sizeof info, &subtype), 0);
  video->SetOutputSubtype(&subtype);
  EXPECT_EQ(video->ExtractionBegin(), 0);
  return static_cast<LONG>(info.bmiHeader.biSizeImage);
}

struct Delivered {
  LONGLONG start = 0, duration = 0;
};

// Every frame left, as start and duration.
inline std::vector<Delivered> Drain(CQTVideoExtraction *video, LONG bufferSize, size_t limit = 100000) {
  std::vector<BYTE> buffer(static_cast<size_t>(bufferSize));
  std::vector<Delivered> frames;
  while (frames.size() < limit) {
    LONG size = bufferSize;
    Delivered d;
    if (video->GetNextSample(buffer.data(), &size, &d.start, &d.duration) != 0) break;
    frames.push_back(d);
  }
  return frames;
}

}  // namespace videotest
