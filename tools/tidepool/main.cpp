// tidepool: the movie tool.
//
// Engine commands (the engine linked into the tool):
//   tidepool probe [--json] [--trace] FILE
//   tidepool extract FILE (--video SUBTYPE | --audio) --out DIR [--seek S] [--frames N] [--trace]
// DirectShow host commands (a graph through COM; the registered Tidepool.ax
// as the source filter, exactly as any DirectShow application would use it):
//   tidepool info FILE [--json]
//   tidepool convert FILE [--video OUT] [--format SUBTYPE] [--audio OUT.wav]
//                    [--start S] [--stop S] [--rate R] [--times OUT.txt] [--discard]
//                    [--audio-stream K] [--subtitles OUT.srt]
//   tidepool thumbs FILE -o SHEET.png [--count N] [--columns C] [--width W] [--fast]
//   tidepool thumbs FILE... --output-dir DIR [--jobs N] [--count N] [--columns C] [--width W] [--fast]
//   tidepool play FILE [--null]
//
// Exit status: 0 done, 1 a failure (one line on standard error), 2 a usage
// error, 130 stopped by Ctrl-C. --help prints to standard output.
#include <windows.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Arguments.h"
#include "ExtractAudio.h"
#include "ExtractVideo.h"
#include "GraphHost.h"
#include "HostCommands.h"
#include "Probe.h"
#include "ToolSetup.h"

namespace {

void MaybeTrace(bool trace) {
  if (trace && !tidepool::SendTraceToStandardError()) {
    std::fputs("tidepool: the trace library is not beside the tool; no trace\n", stderr);
  }
}

int Probe(const std::string &file, bool json, bool trace) {
  MaybeTrace(trace);
  tidepool::EnsureQuickTimeRegistered();
  const std::basic_string<WCHAR> path = tidepool::Widen(file);
  const tidepool::ProbeReport report = tidepool::ProbeMovie(path.c_str());
  const std::string text = json ? tidepool::ToJson(report) : tidepool::ToText(report, file.c_str());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.status == 0 ? 0 : 1;
}

int Extract(const std::string &file, bool audio, tidepool::ExtractVideoOptions options, bool trace) {
  MaybeTrace(trace);
  tidepool::EnsureQuickTimeRegistered();
  const std::basic_string<WCHAR> path = tidepool::Widen(file);
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
  CLI::App app{"tidepool: open, convert and play movies through the Tidepool source filter"};
  app.require_subcommand(1);

  std::string file;
  bool json = false, trace = false;
  auto *probe = app.add_subcommand("probe", "print the movie's first video and sound media (engine)");
  probe->add_option("FILE", file, "the movie")->required();
  probe->add_flag("--json", json, "one JSON object");
  probe->add_flag("--trace", trace, "send the trace to standard error");

  tidepool::ExtractVideoOptions extract;
  bool audioOnly = false;
  auto *ex = app.add_subcommand("extract", "decode one track to files through the engine");
  ex->add_option("FILE", file, "the movie")->required();
  auto *videoOpt =
      ex->add_option("--video", extract.subtype, "video subtype: YV12 YUY2 I420 RGB32 RGB24 RGB555 RGB565");
  auto *audioOpt = ex->add_flag("--audio", audioOnly, "the sound track as PCM");
  videoOpt->excludes(audioOpt);
  ex->add_option("--out", extract.outDir, "output folder")->required();
  double seek = 0;
  long long frames = 0;
  auto *seekOpt = ex->add_option("--seek", seek, "start at this time (seconds)");
  auto *framesOpt = ex->add_option("--frames", frames, "stop after this many frames");
  ex->add_flag("--trace", trace, "send the trace to standard error");

  tidepool::InfoOptions info;
  auto *inf = app.add_subcommand("info", "the pins, their media types and durations, through DirectShow");
  inf->add_option("FILE", info.file, "the movie")->required();
  inf->add_flag("--json", info.json, "one JSON object");

  tidepool::ConvertOptions convert;
  auto *conv = app.add_subcommand("convert", "the movie's streams to files, through a DirectShow graph");
  conv->add_option("FILE", convert.file, "the movie")->required();
  conv->add_option("--video", convert.video, "video output: .y4m (YUV formats) or raw");
  conv->add_option("--format", convert.format, "video subtype: YV12 YUY2 I420 RGB32 RGB24 RGB555 RGB565");
  conv->add_option("--audio", convert.audio, "sound output (.wav)");
  conv->add_option("--subtitles", convert.subtitles, "subtitle output (.srt)");
  conv->add_option("--audio-stream", convert.audioStream, "the sound track to play, from 0 among the sound tracks")
      ->check(CLI::NonNegativeNumber);
  conv->add_option("--start", convert.start, "start time (seconds)")->check(CLI::NonNegativeNumber);
  conv->add_option("--stop", convert.stop, "stop time (seconds)")->check(CLI::NonNegativeNumber);
  conv->add_option("--rate", convert.rate, "playback rate")->check(CLI::PositiveNumber);
  conv->add_option("--times", convert.times, "one line per delivered sample: pin start stop sync discontinuity");
  conv->add_flag("--discard", convert.discard, "streams without an output into discarding renderers (for timing)");
  auto *seekRunning = conv->add_option("--seek-running", convert.seekRunning,
                                       "testing: seek the running graph to this time once every stream delivers")
                          ->check(CLI::NonNegativeNumber)
                          ->group("");  // not listed in --help
  conv->add_option("--seek-paused", convert.seekPaused, "testing: seek the paused graph to this time, then run")
      ->check(CLI::NonNegativeNumber)
      ->excludes(seekRunning)
      ->group("");

  tidepool::ThumbsOptions thumbs;
  auto *th = app.add_subcommand("thumbs", "a contact sheet of frames at evenly spaced times, as a PNG");
  th->add_option("FILE", thumbs.files, "the movies")->required();
  th->add_option("-o,--output", thumbs.output, "the sheet (.png), for one movie");
  th->add_option("--output-dir", thumbs.outputDir, "a sheet per movie in DIR, named after it (DIR/NAME.png)");
  th->add_option("--jobs", thumbs.jobs, "with --output-dir: sheets made at once (default: one per processor)")
      ->check(CLI::Range(1, 256));
  th->add_option("--count", thumbs.count, "frames on the sheet (default 12)")->check(CLI::Range(1, 1000));
  th->add_option("--columns", thumbs.columns, "tiles per row (default 4)")->check(CLI::Range(1, 1000));
  th->add_option("--width", thumbs.width, "tile width in pixels (default 320)")->check(CLI::Range(16, 4096));
  th->add_flag("--fast", thumbs.fast, "each frame from the key frame at or before its time");

  tidepool::PlayOptions play;
  auto *pl = app.add_subcommand("play",
                                "play in a window with sound (space pauses, left/right seek 5 s, f full "
                                "screen, q quits) and report the timing");
  pl->add_option("FILE", play.file, "the movie")->required();
  pl->add_flag("--null", play.null, "play into discarding renderers even on a display");
  pl->add_option("--script", play.script, "testing: timed key presses and screenshots, SECONDS:ACTION,...")
      ->group("");  // not listed in --help
  pl->add_option("--slow-video-ms", play.slowVideoMs, "testing: make every video frame take this long")
      ->group("");  // not listed in --help

  // Paths are UTF-8 on every system.
  const std::vector<std::string> arguments = tidepool::Utf8Arguments(argc, argv);
  std::vector<char *> pointers;
  for (const std::string &a : arguments) pointers.push_back(const_cast<char *>(a.c_str()));
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  try {
    if (probe->parsed()) return Probe(file, json, trace);
    if (ex->parsed()) {
      if (extract.subtype.empty() == !audioOnly) {
        std::fputs("tidepool: extract needs --video SUBTYPE or --audio\n", stderr);
        return 2;
      }
      if (seekOpt->count()) extract.seekSeconds = seek;
      if (framesOpt->count()) extract.frames = frames;
      return Extract(file, audioOnly, extract, trace);
    }
    if (inf->parsed()) return tidepool::RunInfo(info);
    if (conv->parsed()) return tidepool::RunConvert(convert);
    if (th->parsed()) return tidepool::RunThumbs(thumbs);
    if (pl->parsed()) return tidepool::RunPlay(play);
  } catch (const std::exception &e) {
    // A name the file system cannot take, or memory running out: one line,
    // never an abort.
    std::fprintf(stderr, "tidepool: %s\n", e.what());
    return 1;
  }
  return 2;
}
