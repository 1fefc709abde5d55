// tidepool: command-line access to the engine.
//
//   tidepool probe [--json] [--trace] FILE
//   tidepool extract FILE --video SUBTYPE --out DIR [--seek SECONDS] [--frames N]
//   tidepool extract FILE --audio --out DIR
//
// probe opens FILE through the movie session and prints a summary of its
// first video and sound media (--json: one JSON object, see tools/README.md).
// --trace sends the trace to standard error. Exit status: 0 when the movie
// opened, 1 when it did not, 2 for a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ExtractAudio.h"
#include "ExtractVideo.h"
#include "Probe.h"
#include "ToolSetup.h"

namespace {

int Usage() {
  std::fputs(
      "usage: tidepool probe [--json] [--trace] FILE\n"
      "       tidepool extract FILE --video SUBTYPE --out DIR [--seek SECONDS] [--frames N] [--trace]\n"
      "       tidepool extract FILE --audio --out DIR [--trace]\n",
      stderr);
  return 2;
}

std::basic_string<WCHAR> ToWide(const char *text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) return {};
  std::basic_string<WCHAR> out(static_cast<size_t>(n), 0);
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

int Probe(int argc, char **argv) {
  bool json = false;
  bool trace = false;
  const char *file = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--trace") == 0) {
      trace = true;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      return Usage();
    } else if (file == nullptr) {
      file = argv[i];
    } else {
      return Usage();
    }
  }
  if (file == nullptr) return Usage();
  if (trace && !tidepool::SendTraceToStandardError()) {
    std::fputs("tidepool: the trace library is not beside the tool; no trace\n", stderr);
  }
  tidepool::EnsureQuickTimeRegistered();
  const std::basic_string<WCHAR> path = ToWide(file);
  const tidepool::ProbeReport report = tidepool::ProbeMovie(path.c_str());
  const std::string text = json ? tidepool::ToJson(report) : tidepool::ToText(report, file);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.status == 0 ? 0 : 1;
}

int Extract(int argc, char **argv) {
  tidepool::ExtractVideoOptions options;
  bool audio = false;
  bool trace = false;
  const char *file = nullptr;
  for (int i = 0; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    char *end = nullptr;
    if (std::strcmp(argv[i], "--audio") == 0) {
      audio = true;
    } else if (std::strcmp(argv[i], "--video") == 0 && hasValue) {
      options.subtype = argv[++i];
    } else if (std::strcmp(argv[i], "--out") == 0 && hasValue) {
      options.outDir = argv[++i];
    } else if (std::strcmp(argv[i], "--seek") == 0 && hasValue) {
      options.seekSeconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0') return Usage();
    } else if (std::strcmp(argv[i], "--frames") == 0 && hasValue) {
      options.frames = std::strtoll(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0') return Usage();
    } else if (std::strcmp(argv[i], "--trace") == 0) {
      trace = true;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      return Usage();
    } else if (file == nullptr) {
      file = argv[i];
    } else {
      return Usage();
    }
  }
  if (file == nullptr || options.outDir.empty() || audio == !options.subtype.empty()) return Usage();
  if (trace && !tidepool::SendTraceToStandardError()) {
    std::fputs("tidepool: the trace library is not beside the tool; no trace\n", stderr);
  }
  tidepool::EnsureQuickTimeRegistered();
  const std::basic_string<WCHAR> path = ToWide(file);
  if (audio) {
    const tidepool::ExtractAudioResult sound = tidepool::ExtractAudio(path.c_str(), options.outDir);
    std::fprintf(sound.exitCode == 0 ? stdout : stderr, "%s%s\n",
                 sound.exitCode == 0 ? "" : "tidepool: ", sound.message.c_str());
    return sound.exitCode;
  }
  const tidepool::ExtractVideoResult result = tidepool::ExtractVideo(path.c_str(), options);
  std::fprintf(result.exitCode == 0 ? stdout : stderr, "%s%s\n",
               result.exitCode == 0 ? "" : "tidepool: ", result.message.c_str());
  return result.exitCode;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "probe") == 0) return Probe(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "extract") == 0) return Extract(argc - 2, argv + 2);
  return Usage();
}
