// The DirectShow host commands of the tidepool tool: info, convert, thumbs,
// play.
// Each builds a graph through GraphHost and returns the process's exit
// status: 0 done, 1 a failure (one line on standard error), 130 stopped by
// an interrupt (the graph stopped cleanly, outputs complete).
#pragma once

#include <string>
#include <vector>

namespace tidepool {

struct InfoOptions {
  std::string file;
  bool json = false;
};
int RunInfo(const InfoOptions &options);

struct ConvertOptions {
  std::string file;
  std::string video;      // output path; .y4m for a YUV4MPEG2 stream, else raw
  std::string format;     // video subtype name; empty: the pin's first
  std::string audio;      // .wav output path
  std::string subtitles;  // .srt output path: the "Subtitle" pin's cues
  int audioStream = -1;   // the K-th sound track (from 0) through IAMStreamSelect; -1: the filter's choice
  std::string times;      // one line per delivered sample
  bool discard = false;   // the pins without an output into discarding renderers
  double start = 0;       // seconds
  double stop = -1;       // seconds; negative: the end
  double rate = 1;
  // Testing: once every sink has rendered a sample, seek the running graph
  // to this time (seconds; negative: no such seek). The sinks are slowed to
  // one sample per 20 ms, so the seek lands while both pins stream.
  double seekRunning = -1;
  // Testing: pause the graph, and once every sink holds a sample, seek to
  // this time (seconds; negative: no such seek), then run.
  double seekPaused = -1;
};
int RunConvert(const ConvertOptions &options);

struct PlayOptions {
  std::string file;
  bool null = false;    // discarding renderers even on a display
  int slowVideoMs = 0;  // test-only: each video frame takes this long to render (discarding renderers)
  // Test-only, for the window: "SECONDS:ACTION,..." where each action is
  // done that long after the graph starts running: a key (space, left,
  // right, f, q, escape), sent as a key event, or shot=FILE, which saves the
  // window's picture as a PPM and prints the time of the frame it shows.
  std::string script;
};
int RunPlay(const PlayOptions &options);

struct ThumbsOptions {
  std::vector<std::string> files;
  std::string output;     // the sheet (PNG), for one file
  std::string outputDir;  // or a sheet per file in this folder, named after it
  int jobs = 0;           // sheets made at once with outputDir; 0: one per processor
  int count = 12;         // frames
  int columns = 4;        // tiles per row
  int width = 320;        // tile width; the height keeps the frame's shape
  bool fast = false;      // each seek lands on the key frame at or before its time
};
int RunThumbs(const ThumbsOptions &options);

// Ctrl-C (SIGINT) sets a flag that the commands poll while the graph runs.
void InstallInterruptHandler();
bool Interrupted();

}  // namespace tidepool
