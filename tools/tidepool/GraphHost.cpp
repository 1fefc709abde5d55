#include "GraphHost.h"

#include "ToolSetup.h"

#include <evcode.h>
#include <uuids.h>

#include <tidepool/Tidepool.h>

#include <cstdio>
#include <filesystem>

namespace tidepool {
namespace {

struct NamedSubtype {
  const char *name;
  GUID subtype;
};

// The video pin's seven subtypes (I420 by its FOURCC: not every toolchain's
// list carries it).
const NamedSubtype kSubtypes[] = {
    {"YV12", {0x32315659, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"YUY2", {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"I420", {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"RGB32", {0xe436eb7e, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}},
    {"RGB24", {0xe436eb7d, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}},
    {"RGB555", {0xe436eb7c, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}},
    {"RGB565", {0xe436eb7b, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}},
    {"PCM", {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
};

void FreeType(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return;
  if (pmt->cbFormat && pmt->pbFormat) CoTaskMemFree(pmt->pbFormat);
  if (pmt->pUnk) pmt->pUnk->Release();
  CoTaskMemFree(pmt);
}

// A path's text in UTF-8.
std::string Utf8(const std::filesystem::path &path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The class id of the source filter registered for a file's extension
// (HKEY_CLASSES_ROOT\Media Type\Extensions\<ext>, "Source Filter").
bool RegisteredSource(const std::basic_string<WCHAR> &extension, CLSID *clsid) {
  if (extension.size() < 2 || extension.size() > 32) return false;
  std::basic_string<WCHAR> key = TEXT("Media Type\\Extensions\\");
  key += extension;
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &hkey) != ERROR_SUCCESS) return false;
  WCHAR text[64] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  const bool ok = RegQueryValueExW(hkey, TEXT("Source Filter"), nullptr, &type, reinterpret_cast<BYTE *>(text),
                                   &size) == ERROR_SUCCESS &&
                  type == REG_SZ && SUCCEEDED(CLSIDFromString(text, clsid));
  RegCloseKey(hkey);
  return ok;
}

// The tracks the source left out because nothing decodes them, from its
// IQuillLoadReport when it has one.
void ReadMissingDecoders(IBaseFilter *source, std::vector<GraphHost::MissingDecoder> *missing) {
  IQuillLoadReport *report = nullptr;
  if (FAILED(source->QueryInterface(IID_IQuillLoadReport, reinterpret_cast<void **>(&report))) || !report) return;
  GUID major{};
  DWORD codec = 0;
  for (ULONG i = 0; i < 4 && report->GetMissingDecoder(i, &major, &codec) == S_OK; ++i) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
      const char c = static_cast<char>((codec >> shift) & 0xff);
      name += c >= 0x20 && c < 0x7f ? c : '?';
    }
    missing->push_back({IsEqualGUID(major, MEDIATYPE_Video) ? "video" : "audio", name});
  }
  report->Release();
}

// The registered source for the file, created by its class id, added to the
// graph under the file's name and loaded: what a graph manager's
// AddSourceFilter does, done here because not every graph manager then
// creates the registered filter (some read the file with their own reader
// whatever the registry says). Load's failure is returned as it is, with
// the tracks the source reported left out.
HRESULT AddRegisteredSource(IGraphBuilder *graph, const std::string &file, const CLSID &clsid, IBaseFilter **source,
                            std::vector<GraphHost::MissingDecoder> *missing) {
  *source = nullptr;
  const std::filesystem::path path = std::filesystem::u8path(file);
  IBaseFilter *filter = nullptr;
  HRESULT hr =
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void **>(&filter));
  if (FAILED(hr) || !filter) return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
  IFileSourceFilter *loader = nullptr;
  if (FAILED(filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&loader))) || !loader) {
    filter->Release();
    return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
  }
  // A filter's name holds at most 127 characters.
  std::basic_string<WCHAR> name = Widen(Utf8(path.filename()));
  if (name.size() > 127) name.resize(127);
  hr = graph->AddFilter(filter, name.c_str());
  if (SUCCEEDED(hr)) {
    const std::basic_string<WCHAR> wide = Widen(file);
    hr = loader->Load(wide.c_str(), nullptr);
    if (FAILED(hr)) {
      ReadMissingDecoders(filter, missing);
      graph->RemoveFilter(filter);
    }
  }
  loader->Release();
  if (FAILED(hr)) {
    filter->Release();
    return hr;
  }
  *source = filter;
  return S_OK;
}

}  // namespace

std::basic_string<WCHAR> Widen(const std::string &text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::basic_string<WCHAR> out(static_cast<size_t>(n), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string Narrow(const WCHAR *text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), 0);
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

GraphHost::~GraphHost() {
  if (m_control) m_control->Stop();
  for (OutputPin &p : m_pins) {
    for (AM_MEDIA_TYPE *t : p.types) FreeType(t);
    p.pin->Release();
  }
  if (m_source) m_source->Release();
  if (m_seeking) m_seeking->Release();
  if (m_events) m_events->Release();
  if (m_control) m_control->Release();
  if (m_graph) m_graph->Release();
}

std::string GraphHost::Describe(HRESULT hr) {
  char text[64];
  std::snprintf(text, sizeof text, "error 0x%08lX", static_cast<unsigned long>(hr));
  switch (hr) {
    case VFW_E_NOT_FOUND:
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
      return "no such file";
    case E_ACCESSDENIED:
      return "the file cannot be opened for reading (access denied)";
    case HRESULT_FROM_WIN32(ERROR_READ_FAULT):
      return "reading the file failed";
    case HRESULT_FROM_WIN32(ERROR_HANDLE_EOF):
      return "the file ends before the movie's data (cut short, or it shrank)";
    case TIDEPOOL_E_RUNTIME_UNAVAILABLE:
      return "the movie runtime cannot be found or bound (is QuickTime.qts installed? qtinstall)";
    case VFW_E_INVALID_FILE_FORMAT:
      return "the movie is damaged or cut short";
    case VFW_E_UNSUPPORTED_VIDEO:
      return "no decoder for its video";
    case VFW_E_UNSUPPORTED_AUDIO:
      return "no decoder for its sound";
    case VFW_E_UNSUPPORTED_STREAM:
      return "no video or sound track";
    case E_OUTOFMEMORY:
      return "out of memory";
    case VFW_E_UNKNOWN_FILE_TYPE:
      return "not a movie file";
    case VFW_E_CANNOT_LOAD_SOURCE_FILTER:
      return "the registered source filter cannot be loaded";
    case VFW_E_CANNOT_CONNECT:
    case VFW_E_NO_ACCEPTABLE_TYPES:
    case VFW_E_TYPE_NOT_ACCEPTED:
      return "the pins could not agree on a type";
    default:
      return text;
  }
}

bool GraphHost::Open(const std::string &file) {
  // The module finds the runtime through the registry, as the engine
  // commands do.
  EnsureQuickTimeRegistered();
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void **>(&m_graph));
  if (FAILED(hr)) {
    m_error = "cannot create the filter graph: " + Describe(hr);
    return false;
  }
  m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&m_control));
  m_graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void **>(&m_events));
  m_graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&m_seeking));
  if (!m_control || !m_events || !m_seeking) {
    m_error = "the filter graph lacks a control interface";
    return false;
  }
  CLSID clsid{};
  if (!RegisteredSource(Widen(Utf8(std::filesystem::u8path(file).extension())), &clsid)) {
    std::error_code ec;
    m_error = file + ": " +
              (std::filesystem::exists(std::filesystem::u8path(file), ec)
                   ? "not a file type with a registered source filter (is Tidepool.ax registered? regsvr32 "
                     "Tidepool.ax)"
                   : "no such file");
    return false;
  }
  // Whatever else stops the file from loading comes from the source's Load.
  hr = AddRegisteredSource(m_graph, file, clsid, &m_source, &m_missing);
  if (FAILED(hr)) {
    m_error = file + ": " + (m_missing.empty() ? Describe(hr) : NoTrackLeftText());
    return false;
  }
  IEnumPins *e = nullptr;
  if (SUCCEEDED(m_source->EnumPins(&e)) && e) {
    IPin *pin = nullptr;
    while (e->Next(1, &pin, nullptr) == S_OK && m_pins.size() < 16) {
      PIN_INFO info{};
      pin->QueryPinInfo(&info);
      if (info.pFilter) info.pFilter->Release();
      if (info.dir != PINDIR_OUTPUT) {
        pin->Release();
        continue;
      }
      OutputPin out;
      out.pin = pin;
      out.name = Narrow(info.achName);
      IEnumMediaTypes *types = nullptr;
      if (SUCCEEDED(pin->EnumMediaTypes(&types)) && types) {
        AM_MEDIA_TYPE *pmt = nullptr;
        while (out.types.size() < 64 && types->Next(1, &pmt, nullptr) == S_OK && pmt) out.types.push_back(pmt);
        types->Release();
      }
      if (!out.types.empty()) out.major = out.types.front()->majortype;
      m_pins.push_back(std::move(out));
    }
    e->Release();
  }
  ReadMissingDecoders(m_source, &m_missing);
  if (m_pins.empty()) {
    // A source that loads without making a pin.
    m_error = file + ": " + NoTrackLeftText();
    return false;
  }
  return true;
}

std::string GraphHost::NoTrackLeftText() const {
  std::string why;
  for (const MissingDecoder &m : m_missing) why += (why.empty() ? "" : ", ") + MissingDecoderText(m.kind);
  return "no usable video or sound track" + (why.empty() ? "" : " (" + why + ")");
}

std::string GraphHost::MissingDecoderText(const std::string &kind) const {
  for (const MissingDecoder &m : m_missing) {
    if (m.kind == kind)
      return "no decoder for the " + std::string(kind == "video" ? "video codec" : "sound format") + " '" + m.codec +
             "'";
  }
  return {};
}

OutputPin *GraphHost::Pin(const std::string &name) {
  for (OutputPin &p : m_pins) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

bool GraphHost::Connect(OutputPin &pin, IBaseFilter *sink, const GUID &subtype) {
  HRESULT hr = m_graph->AddFilter(sink, nullptr);
  if (FAILED(hr)) {
    m_error = "cannot add a sink: " + Describe(hr);
    return false;
  }
  IEnumPins *e = nullptr;
  IPin *in = nullptr;
  if (SUCCEEDED(sink->EnumPins(&e)) && e) {
    e->Next(1, &in, nullptr);
    e->Release();
  }
  if (!in) {
    m_error = "the sink has no input pin";
    return false;
  }
  const AM_MEDIA_TYPE *type = nullptr;
  if (!IsEqualGUID(subtype, GUID_NULL)) {
    for (const AM_MEDIA_TYPE *t : pin.types) {
      if (IsEqualGUID(t->subtype, subtype)) {
        type = t;
        break;
      }
    }
    if (!type) {
      in->Release();
      m_error = "the " + pin.name + " pin does not offer " + SubtypeName(subtype);
      return false;
    }
  }
  hr = m_graph->ConnectDirect(pin.pin, in, type);
  in->Release();
  if (FAILED(hr)) {
    m_error = "cannot connect the " + pin.name + " pin: " + Describe(hr);
    return false;
  }
  return true;
}

bool GraphHost::RunWithoutClock() {
  IMediaFilter *filter = nullptr;
  if (FAILED(m_graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&filter)))) return false;
  const HRESULT hr = filter->SetSyncSource(nullptr);
  filter->Release();
  return SUCCEEDED(hr);
}

HRESULT GraphHost::SetRate(double rate) {
  HRESULT hr = m_seeking->SetRate(rate);
  if (FAILED(hr)) return hr;
  for (OutputPin &p : m_pins) {
    IMediaSeeking *seeking = nullptr;
    if (FAILED(p.pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking))) || !seeking) continue;
    double now = 0;
    if (FAILED(seeking->GetRate(&now)) || now != rate) hr = seeking->SetRate(rate);
    seeking->Release();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

LONG GraphHost::WaitForEnd(DWORD ms, HRESULT *failure) {
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  // The first read waits; the rest only empty the queue.
  for (DWORD wait = ms; m_events->GetEvent(&code, &p1, &p2, static_cast<LONG>(wait)) == S_OK; wait = 0) {
    m_events->FreeEventParams(code, p1, p2);
    switch (code) {
      case EC_COMPLETE:
      case EC_ERRORABORT:
      case EC_USERABORT:
      case EC_STREAM_ERROR_STOPPED:
        if (failure) *failure = static_cast<HRESULT>(p1);
        return code;
      default:
        break;
    }
  }
  return 0;
}

void GraphHost::DrainEvents() {
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  while (m_events->GetEvent(&code, &p1, &p2, 0) == S_OK) m_events->FreeEventParams(code, p1, p2);
}

std::string GraphHost::SubtypeName(const GUID &subtype) {
  for (const NamedSubtype &n : kSubtypes) {
    if (IsEqualGUID(n.subtype, subtype)) return n.name;
  }
  OLECHAR text[40] = {};
  StringFromGUID2(subtype, text, 40);
  return Narrow(text);
}

bool GraphHost::SubtypeFromName(const std::string &name, GUID *subtype) {
  for (const NamedSubtype &n : kSubtypes) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (upper == n.name) {
      *subtype = n.subtype;
      return true;
    }
  }
  return false;
}

}  // namespace tidepool
