#include "ExtractVideo.h"

#include <strmif.h>
#include <amvideo.h>
#include <uuids.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"

namespace tidepool {

namespace {

constexpr GUID kSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

std::optional<GUID> SubtypeByName(const std::string &name) {
  if (name == "YV12") return MEDIASUBTYPE_YV12;
  if (name == "YUY2") return MEDIASUBTYPE_YUY2;
  if (name == "I420") return kSubtypeI420;
  if (name == "RGB32") return MEDIASUBTYPE_RGB32;
  if (name == "RGB24") return MEDIASUBTYPE_RGB24;
  if (name == "RGB555") return MEDIASUBTYPE_RGB555;
  if (name == "RGB565") return MEDIASUBTYPE_RGB565;
  return std::nullopt;
}

ExtractVideoResult Fail(int code, std::string message) {
  ExtractVideoResult result;
  result.exitCode = code;
  result.message = std::move(message);
  return result;
}

}  // namespace

ExtractVideoResult ExtractVideo(LPCWSTR path, const ExtractVideoOptions &options) {
  const std::optional<GUID> subtype = SubtypeByName(options.subtype);
  if (!subtype) return Fail(2, "unknown subtype " + options.subtype);
  if (options.outDir.empty()) return Fail(2, "no output folder");
  if (options.seekSeconds && !(std::isfinite(*options.seekSeconds) && *options.seekSeconds >= 0)) {
    return Fail(2, "the seek time must be a number of seconds, 0 or more");
  }
  if (options.frames && *options.frames < 0) return Fail(2, "the frame count must be 0 or more");

  std::error_code ec;
  std::filesystem::create_directories(options.outDir, ec);
  std::ofstream raw(std::filesystem::path(options.outDir) / "video.raw", std::ios::binary | std::ios::trunc);
  std::ofstream times(std::filesystem::path(options.outDir) / "video-times.txt", std::ios::trunc);
  if (!raw || !times) return Fail(1, "cannot write into " + options.outDir);

  std::unique_ptr<CQTAVExtraction> session(new (std::nothrow) CQTAVExtraction(path));
  if (!session) return Fail(1, "out of memory");
  if (session->GetStatus() != 0) {
    return Fail(1, "the movie did not open (status " + std::to_string(session->GetStatus()) + ")");
  }
  IMediaExtraction *video = session->GetVideoExtraction();
  if (video == nullptr) return Fail(1, "the movie has no video track");

  // The pin's order: negotiate the type, size the buffer from it, start.
  VIDEOINFOHEADER info{};
  if (video->FillMediaInfo(&info, sizeof info, &*subtype) != 0) return Fail(1, "no media type for the subtype");
  video->SetOutputSubtype(&*subtype);
  const LONG begin = video->ExtractionBegin();
  if (begin != 0) return Fail(1, "the video track did not start (" + std::to_string(begin) + ")");
  const LONG timeScale = video->GetTimeScale();
  times << "timescale " << timeScale << "\n";

  if (options.seekSeconds) {
    LONGLONG target = static_cast<LONGLONG>(std::llround(*options.seekSeconds * timeScale));
    video->SetPosition(&target);
  }

  const LONG bufferSize = static_cast<LONG>(info.bmiHeader.biSizeImage);
  if (bufferSize <= 0) return Fail(1, "the frame has no size");
  std::vector<BYTE> buffer(static_cast<size_t>(bufferSize));
  ExtractVideoResult result;
  while (!options.frames || result.framesWritten < *options.frames) {
    LONG size = bufferSize;
    LONGLONG start = 0;
    LONGLONG duration = 0;
    if (video->GetNextSample(buffer.data(), &size, &start, &duration) != 0) break;
    raw.write(reinterpret_cast<const char *>(buffer.data()), bufferSize);
    times << start << " " << duration << "\n";
    ++result.framesWritten;
  }
  raw.flush();
  times.flush();
  if (!raw || !times) return Fail(1, "writing into " + options.outDir + " failed");
  result.message = std::to_string(result.framesWritten) + " frames";
  return result;
}

}  // namespace tidepool
