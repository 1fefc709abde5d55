#include "ExtractAudio.h"

#include <mmreg.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"

namespace tidepool {

namespace {

void PutLe(std::ostream &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A canonical RIFF/WAVE header: 'fmt ' of 16 bytes, then 'data'.
void WriteWavHeader(std::ostream &out, const WAVEFORMATEX &format, uint32_t dataBytes) {
  out.write("RIFF", 4);
  PutLe(out, 36 + dataBytes, 4);
  out.write("WAVEfmt ", 8);
  PutLe(out, 16, 4);
  PutLe(out, format.wFormatTag, 2);
  PutLe(out, format.nChannels, 2);
  PutLe(out, format.nSamplesPerSec, 4);
  PutLe(out, format.nAvgBytesPerSec, 4);
  PutLe(out, format.nBlockAlign, 2);
  PutLe(out, format.wBitsPerSample, 2);
  out.write("data", 4);
  PutLe(out, dataBytes, 4);
}

}  // namespace

ExtractAudioResult ExtractAudio(LPCWSTR path, const std::string &outDir) {
  ExtractAudioResult result;
  if (path == nullptr || outDir.empty()) {
    result.exitCode = 2;
    result.message = "no movie or no output folder";
    return result;
  }
  std::unique_ptr<CQTAVExtraction> session(new (std::nothrow) CQTAVExtraction(path));
  if (!session || session->GetStatus() != 0) {
    result.exitCode = 1;
    result.message =
        "the movie could not be opened (status " + std::to_string(session ? session->GetStatus() : 2) + ")";
    return result;
  }
  IMediaExtraction *audio = session->GetAudioExtraction();
  if (audio == nullptr) {
    result.exitCode = 1;
    result.message = "the movie has no sound track";
    return result;
  }
  WAVEFORMATEX format{};
  const LONG bufferSize = audio->GetBufferSize();
  if (audio->FillMediaInfo(&format, sizeof(format), nullptr) != 0 || bufferSize <= 0 || format.nBlockAlign == 0) {
    result.exitCode = 1;
    result.message = "the sound track could not be set up";
    return result;
  }

  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  const std::filesystem::path dir(outDir);
  std::ofstream wav(dir / "audio.wav", std::ios::binary | std::ios::trunc);
  std::ofstream times(dir / "audio-times.txt", std::ios::trunc);
  if (!wav || !times) {
    result.exitCode = 1;
    result.message = "cannot write into " + outDir;
    return result;
  }
  WriteWavHeader(wav, format, 0);
  times << "timescale " << audio->GetTimeScale() << "\n";

  std::vector<BYTE> buffer(static_cast<size_t>(bufferSize));
  uint64_t total = 0;
  for (;;) {
    LONG size = bufferSize;
    LONGLONG start = 0;
    LONGLONG length = 0;
    if (audio->GetNextSample(buffer.data(), &size, &start, &length) < 0) break;
    if (size < 0 || size > bufferSize) break;
    wav.write(reinterpret_cast<const char *>(buffer.data()), size);
    times << start << " " << length << " " << size << "\n";
    total += static_cast<uint64_t>(size);
    ++result.blocks;
    // A RIFF file cannot describe more; stop rather than write a lie.
    if (total > 0xFFFFFFFFull - 36 - static_cast<uint64_t>(bufferSize)) break;
  }
  wav.seekp(0);
  WriteWavHeader(wav, format, static_cast<uint32_t>(total));
  wav.flush();
  times.flush();
  if (!wav || !times) {
    result.exitCode = 1;
    result.message = "writing into " + outDir + " failed";
    return result;
  }
  result.bytes = static_cast<long long>(total);
  result.message = std::to_string(result.blocks) + " blocks, " + std::to_string(total) + " bytes of PCM";
  return result;
}

}  // namespace tidepool
