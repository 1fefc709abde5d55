// tidepool info: the source filter's pins, the types each offers and the
// durations, as the filter reports them through DirectShow.
#include <windows.h>
#include <dshow.h>
#include <mmreg.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "GraphHost.h"
#include "HostCommands.h"
#include "SourceDescription.h"

namespace tidepool {
namespace {

nlohmann::json TypeJson(const AM_MEDIA_TYPE &mt) {
  nlohmann::json t;
  t["subtype"] = GraphHost::SubtypeName(mt.subtype);
  if (IsEqualGUID(mt.majortype, MEDIATYPE_Video) && IsEqualGUID(mt.formattype, FORMAT_VideoInfo) &&
      mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const auto *vih = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat);
    t["width"] = vih->bmiHeader.biWidth;
    t["height"] = vih->bmiHeader.biHeight;
    t["bit_count"] = vih->bmiHeader.biBitCount;
    t["image_size"] = vih->bmiHeader.biSizeImage;
    t["frame_time"] = vih->AvgTimePerFrame;
  } else if (IsEqualGUID(mt.majortype, MEDIATYPE_Audio) && IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx) &&
             mt.cbFormat >= 16) {
    const auto *wfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
    t["sample_rate"] = wfx->nSamplesPerSec;
    t["channels"] = wfx->nChannels;
    t["bits"] = wfx->wBitsPerSample;
    t["block_align"] = wfx->nBlockAlign;
  }
  return t;
}

std::string TypeText(const nlohmann::json &t) {
  char line[160];
  if (t.contains("width")) {
    std::snprintf(line, sizeof line, "%s %dx%d, %d bit, %u bytes, frame %.3f ms",
                  t["subtype"].get<std::string>().c_str(), t["width"].get<int>(), t["height"].get<int>(),
                  t["bit_count"].get<int>(), t["image_size"].get<unsigned>(),
                  t["frame_time"].get<long long>() / 10000.0);
  } else if (t.contains("sample_rate")) {
    std::snprintf(line, sizeof line, "%s %u Hz, %d channels, %d bit", t["subtype"].get<std::string>().c_str(),
                  t["sample_rate"].get<unsigned>(), t["channels"].get<int>(), t["bits"].get<int>());
  } else {
    std::snprintf(line, sizeof line, "%s", t["subtype"].get<std::string>().c_str());
  }
  return line;
}

}  // namespace

int RunInfo(const InfoOptions &options) {
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(options.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  nlohmann::json report;
  report["file"] = options.file;
  report["pins"] = nlohmann::json::array();
  for (OutputPin &pin : host.Pins()) {
    nlohmann::json p;
    p["name"] = pin.name;
    p["major"] = IsEqualGUID(pin.major, MEDIATYPE_Video)   ? "video"
                 : IsEqualGUID(pin.major, MEDIATYPE_Audio) ? "audio"
                                                           : "other";
    IMediaSeeking *seeking = nullptr;
    LONGLONG duration = 0, stop = 0;
    if (SUCCEEDED(pin.pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking))) && seeking) {
      seeking->GetDuration(&duration);
      seeking->GetStopPosition(&stop);
      seeking->Release();
    }
    p["duration"] = duration;  // 100 ns units
    p["stop"] = stop;
    p["types"] = nlohmann::json::array();
    for (const AM_MEDIA_TYPE *mt : pin.types) p["types"].push_back(TypeJson(*mt));
    report["pins"].push_back(p);
  }
  report["tracks"] = nlohmann::json::array();
  for (const SelectableStream &s : ListStreams(host.Source())) {
    report["tracks"].push_back({{"kind", s.kind},
                                {"codec", s.codec},
                                {"language", s.language},
                                {"enabled", s.selected},
                                {"selected", s.selected},
                                {"name", s.name}});
  }
  report["chapters"] = nlohmann::json::array();
  for (const Chapter &c : ListChapters(host.Source())) {
    report["chapters"].push_back({{"start", c.start}, {"title", c.title}});
  }
  const Metadata meta = ReadMetadata(host.Source());
  report["metadata"] = {
      {"title", meta.title}, {"artist", meta.artist}, {"copyright", meta.copyright}, {"comment", meta.comment}};
  report["missing_decoders"] = nlohmann::json::array();
  for (const GraphHost::MissingDecoder &m : host.MissingDecoders()) {
    report["missing_decoders"].push_back({{"major", m.kind}, {"codec", m.codec}});
  }
  if (options.json) {
    std::cout << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
  }
  std::cout << options.file << "\n";
  for (const auto &p : report["pins"]) {
    std::printf("  %s: %.3f s\n", p["name"].get<std::string>().c_str(), p["duration"].get<long long>() / 1e7);
    for (const auto &t : p["types"]) std::printf("    %s\n", TypeText(t).c_str());
  }
  for (const GraphHost::MissingDecoder &m : host.MissingDecoders()) {
    std::printf("  no pin: %s\n", host.MissingDecoderText(m.kind).c_str());
  }
  for (const auto &t : report["tracks"]) {
    std::printf("  %s stream: %s%s\n", t["kind"].get<std::string>().c_str(), t["name"].get<std::string>().c_str(),
                t["selected"].get<bool>() ? " (playing)" : "");
  }
  for (const auto &c : report["chapters"]) {
    std::printf("  chapter %.3f s: %s\n", c["start"].get<double>(), c["title"].get<std::string>().c_str());
  }
  for (const auto &item : report["metadata"].items()) {
    const std::string value = item.value().get<std::string>();
    if (!value.empty()) std::printf("  %s: %s\n", item.key().c_str(), value.c_str());
  }
  return 0;
}

}  // namespace tidepool
