// The graph manager's identity and graph building: the filter list,
// connection, rendering by merit and source filters by extension. Running,
// events and seeking are in FilterGraphControl.cpp.
#include "dshow/FilterGraph.h"

#include <objbase.h>
#include <uuids.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <set>

#include "dshow/ComPtr.h"
#include "dshow/FilterRegistry.h"
#include "dshow/NullRenderer.h"
#include "win32/Utf16.h"

namespace tp::dshow {
namespace {

constexpr size_t kMaxPinsPerFilter = 256;

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter *filter, PIN_DIRECTION wanted) {
  std::vector<ComPtr<IPin>> pins;
  ComPtr<IEnumPins> e;
  if (FAILED(filter->EnumPins(e.put())) || !e) return pins;
  for (size_t i = 0; i < kMaxPinsPerFilter; ++i) {
    ComPtr<IPin> pin;
    ULONG got = 0;
    if (e->Next(1, pin.put(), &got) != S_OK || got != 1 || !pin) break;
    PIN_DIRECTION dir;
    if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == wanted) pins.push_back(pin);
  }
  return pins;
}

ComPtr<IPin> PeerOf(IPin *pin) {
  ComPtr<IPin> peer;
  if (FAILED(pin->ConnectedTo(peer.put()))) return ComPtr<IPin>();
  return peer;
}

ComPtr<IBaseFilter> OwnerOf(IPin *pin) {
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return ComPtr<IBaseFilter>();
  return ComPtr<IBaseFilter>::Adopt(info.pFilter);
}

bool IsDirection(IPin *pin, PIN_DIRECTION wanted) {
  PIN_DIRECTION dir;
  return SUCCEEDED(pin->QueryDirection(&dir)) && dir == wanted;
}

// The (major, minor) pairs a pin offers, at most `limit`.
std::vector<std::pair<GUID, GUID>> TypesOf(IPin *pin, int limit) {
  std::vector<std::pair<GUID, GUID>> types;
  ComPtr<IEnumMediaTypes> e;
  if (FAILED(pin->EnumMediaTypes(e.put())) || !e) return types;
  for (int i = 0; i < limit; ++i) {
    AM_MEDIA_TYPE *pmt = nullptr;
    ULONG got = 0;
    if (e->Next(1, &pmt, &got) != S_OK || got != 1 || !pmt) break;
    types.emplace_back(pmt->majortype, pmt->subtype);
    tp::sink::DeleteTypeRecord(pmt);
  }
  return types;
}

std::u16string Number4(unsigned n) {
  std::u16string s = u"0000";
  for (int i = 3; i >= 0; --i, n /= 10) s[i] = static_cast<char16_t>(u'0' + n % 10);
  return s;
}

// The extension of a path with its dot ("" when none): after the last
// separator of either kind.
std::u16string ExtensionOf(const std::u16string &path) {
  const size_t sep = path.find_last_of(u"\\/");
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || (sep != std::u16string::npos && dot < sep)) return std::u16string();
  return path.substr(dot);
}

bool FileExists(const std::u16string &path) {
  std::string narrow = tp::win32::utf16ToUtf8(path.c_str());
  std::replace(narrow.begin(), narrow.end(), '\\', '/');
  std::error_code ec;
  return std::filesystem::is_regular_file(narrow, ec);
}

// The class id of the source filter registered for an extension.
bool SourceFilterFor(const std::u16string &extension, CLSID *clsid) {
  if (extension.empty()) return false;
  const std::u16string key = u"Media Type\\Extensions\\" + extension;
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS) return false;
  WCHAR text[64] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  const bool ok = RegQueryValueExW(hkey, u"Source Filter", nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
                      ERROR_SUCCESS &&
                  type == REG_SZ && SUCCEEDED(CLSIDFromString(text, clsid));
  RegCloseKey(hkey);
  return ok;
}

}  // namespace

// A snapshot of the graph's filters at the time the enumerator was made.
class GraphFilterEnum final : public IEnumFilters {
 public:
  explicit GraphFilterEnum(std::vector<ComPtr<IBaseFilter>> filters, size_t pos = 0)
      : m_filters(std::move(filters)), m_pos(pos) {}
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumFilters)) {
      *ppv = static_cast<IEnumFilters *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = --m_cRef;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG c, IBaseFilter **pp, ULONG *fetched) override {
    if (!pp) return E_POINTER;
    if (c != 1 && !fetched) return E_INVALIDARG;
    ULONG got = 0;
    while (got < c && m_pos < m_filters.size()) {
      pp[got] = m_filters[m_pos++].get();
      pp[got]->AddRef();
      ++got;
    }
    if (fetched) *fetched = got;
    return got == c ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG c) override {
    const size_t left = m_filters.size() - m_pos;
    m_pos += std::min<size_t>(c, left);
    return c <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumFilters **pp) override {
    if (!pp) return E_POINTER;
    *pp = new (std::nothrow) GraphFilterEnum(m_filters, m_pos);
    if (!*pp) return E_OUTOFMEMORY;
    (*pp)->AddRef();
    return S_OK;
  }

 private:
  ~GraphFilterEnum() = default;
  std::atomic<LONG> m_cRef{0};
  std::vector<ComPtr<IBaseFilter>> m_filters;
  size_t m_pos;
};

FilterGraph::FilterGraph() : m_timeFormat(TIME_FORMAT_MEDIA_TIME) {}

FilterGraph::~FilterGraph() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  StopLocked();
  while (!m_filters.empty()) RemoveAtLocked(m_filters.size() - 1);
  if (m_clock) m_clock->Release();
}

HRESULT FilterGraph::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  // The platform's own renderer is what Render falls back on; a registry
  // that cannot be written only means it is not found by merit.
  NullRenderer::EnsureRegistered();
  FilterGraph *graph = new (std::nothrow) FilterGraph();
  if (!graph) return E_OUTOFMEMORY;
  if (!graph->m_events.Handle()) {
    delete graph;
    return E_OUTOFMEMORY;
  }
  graph->AddRef();
  HRESULT hr = graph->QueryInterface(riid, ppv);
  graph->Release();
  return hr;
}

STDMETHODIMP FilterGraph::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterGraph) || IsEqualIID(riid, IID_IGraphBuilder)) {
    *ppv = static_cast<IGraphBuilder *>(this);
  } else if (IsEqualIID(riid, IID_IMediaControl) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = static_cast<IMediaControl *>(this);
  } else if (IsEqualIID(riid, IID_IMediaEvent) || IsEqualIID(riid, IID_IMediaEventEx)) {
    *ppv = static_cast<IMediaEventEx *>(this);
  } else if (IsEqualIID(riid, IID_IMediaEventSink)) {
    *ppv = static_cast<IMediaEventSink *>(this);
  } else if (IsEqualIID(riid, IID_IMediaFilter) || IsEqualIID(riid, IID_IPersist)) {
    *ppv = static_cast<IMediaFilter *>(this);
  } else if (IsEqualIID(riid, IID_IMediaSeeking)) {
    *ppv = static_cast<IMediaSeeking *>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) FilterGraph::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) FilterGraph::Release() {
  const LONG left = --m_cRef;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

// ---- the filter list -----------------------------------------------------------

int FilterGraph::FindLocked(IBaseFilter *filter) const {
  for (size_t i = 0; i < m_filters.size(); ++i) {
    if (m_filters[i].filter == filter) return static_cast<int>(i);
  }
  // A filter is the same object whichever of its interfaces it came by.
  ComPtr<IUnknown> identity;
  if (!filter || FAILED(filter->QueryInterface(IID_IUnknown, identity.putVoid()))) return -1;
  for (size_t i = 0; i < m_filters.size(); ++i) {
    ComPtr<IUnknown> other;
    if (SUCCEEDED(m_filters[i].filter->QueryInterface(IID_IUnknown, other.putVoid())) &&
        other.get() == identity.get()) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool FilterGraph::PinInGraphLocked(IPin *pin) const {
  ComPtr<IBaseFilter> owner = OwnerOf(pin);
  return owner && FindLocked(owner.get()) >= 0;
}

std::u16string FilterGraph::UniqueNameLocked(LPCWSTR wanted, bool *renamed) const {
  *renamed = false;
  std::u16string base = wanted ? std::u16string(wanted) : std::u16string();
  if (base.size() > MAX_FILTER_NAME - 6) base.resize(MAX_FILTER_NAME - 6);
  auto taken = [this](const std::u16string &name) {
    return std::any_of(m_filters.begin(), m_filters.end(), [&](const Entry &e) { return e.name == name; });
  };
  if (!base.empty() && !taken(base)) return base;
  *renamed = !base.empty();
  for (unsigned n = 1; n < 10000; ++n) {
    std::u16string name = base.empty() ? Number4(n) : base + u" " + Number4(n);
    if (!taken(name)) return name;
  }
  return std::u16string();
}

STDMETHODIMP FilterGraph::AddFilter(IBaseFilter *pFilter, LPCWSTR pName) {
  if (!pFilter) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (FindLocked(pFilter) >= 0) return VFW_E_DUPLICATE_NAME;
  bool renamed = false;
  std::u16string name = UniqueNameLocked(pName, &renamed);
  if (name.empty()) return VFW_E_DUPLICATE_NAME;
  try {
    m_filters.push_back({pFilter, name});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  pFilter->AddRef();
  HRESULT hr = pFilter->JoinFilterGraph(this, name.c_str());
  if (FAILED(hr)) {
    m_filters.pop_back();
    pFilter->Release();
    return hr;
  }
  if (m_clockChosen) pFilter->SetSyncSource(m_clock);
  return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
}

void FilterGraph::RemoveAtLocked(size_t index) {
  IBaseFilter *filter = m_filters[index].filter;
  for (PIN_DIRECTION dir : {PINDIR_INPUT, PINDIR_OUTPUT}) {
    for (const ComPtr<IPin> &pin : PinsOf(filter, dir)) {
      if (ComPtr<IPin> peer = PeerOf(pin.get())) {
        peer->Disconnect();
        pin->Disconnect();
      }
    }
  }
  filter->SetSyncSource(nullptr);
  filter->JoinFilterGraph(nullptr, nullptr);
  m_filters.erase(m_filters.begin() + static_cast<std::ptrdiff_t>(index));
  filter->Release();
}

STDMETHODIMP FilterGraph::RemoveFilter(IBaseFilter *pFilter) {
  if (!pFilter) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  const int index = FindLocked(pFilter);
  if (index < 0) return VFW_E_NOT_FOUND;
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  RemoveAtLocked(static_cast<size_t>(index));
  return S_OK;
}

STDMETHODIMP FilterGraph::EnumFilters(IEnumFilters **ppEnum) {
  if (!ppEnum) return E_POINTER;
  std::vector<ComPtr<IBaseFilter>> filters;
  {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (const Entry &e : m_filters) filters.emplace_back(e.filter);
  }
  *ppEnum = new (std::nothrow) GraphFilterEnum(std::move(filters));
  if (!*ppEnum) return E_OUTOFMEMORY;
  (*ppEnum)->AddRef();
  return S_OK;
}

STDMETHODIMP FilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter **ppFilter) {
  if (!pName || !ppFilter) return E_POINTER;
  *ppFilter = nullptr;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  for (const Entry &e : m_filters) {
    if (e.name == pName) {
      *ppFilter = e.filter;
      e.filter->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

// ---- connection -------------------------------------------------------------------

STDMETHODIMP FilterGraph::ConnectDirect(IPin *ppinOut, IPin *ppinIn, const AM_MEDIA_TYPE *pmt) {
  if (!ppinOut || !ppinIn) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (!PinInGraphLocked(ppinOut) || !PinInGraphLocked(ppinIn)) return VFW_E_NOT_IN_GRAPH;
  if (!IsDirection(ppinOut, PINDIR_OUTPUT) || !IsDirection(ppinIn, PINDIR_INPUT)) return VFW_E_INVALID_DIRECTION;
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  return ppinOut->Connect(ppinIn, pmt);
}

STDMETHODIMP FilterGraph::Disconnect(IPin *ppin) {
  if (!ppin) return E_POINTER;
  return ppin->Disconnect();
}

STDMETHODIMP FilterGraph::Reconnect(IPin *ppin) {
  if (!ppin) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  ComPtr<IPin> peer = PeerOf(ppin);
  if (!peer) return VFW_E_NOT_CONNECTED;
  IPin *out = IsDirection(ppin, PINDIR_OUTPUT) ? ppin : peer.get();
  IPin *in = out == ppin ? peer.get() : ppin;
  AM_MEDIA_TYPE mt{};
  const bool haveType = SUCCEEDED(out->ConnectionMediaType(&mt));
  out->Disconnect();
  in->Disconnect();
  HRESULT hr = out->Connect(in, haveType ? &mt : nullptr);
  if (FAILED(hr) && haveType) hr = out->Connect(in, nullptr);
  if (haveType) tp::sink::FreeTypeFields(mt);
  return hr;
}

STDMETHODIMP FilterGraph::Connect(IPin *ppinOut, IPin *ppinIn) {
  if (!ppinOut || !ppinIn) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  HRESULT hr = ConnectDirect(ppinOut, ppinIn, nullptr);
  if (SUCCEEDED(hr) || hr == VFW_E_NOT_IN_GRAPH || hr == VFW_E_INVALID_DIRECTION || hr == VFW_E_NOT_STOPPED ||
      hr == VFW_E_ALREADY_CONNECTED) {
    return hr;
  }
  // One registered filter in between: it must take what the output offers
  // and have an output of its own that the input accepts.
  std::set<std::vector<uint8_t>> tried;
  for (const auto &type : TypesOf(ppinOut, kMaxTypesTried)) {
    for (const RegisteredFilter &candidate : FindFiltersTaking(CLSID_LegacyAmFilterCategory, type.first, type.second)) {
      const uint8_t *b = reinterpret_cast<const uint8_t *>(&candidate.clsid);
      if (!tried.insert(std::vector<uint8_t>(b, b + sizeof(CLSID))).second) continue;
      if (!std::any_of(candidate.pins.begin(), candidate.pins.end(),
                       [](const RegisteredPin &p) { return (p.flags & REG_PINFLAG_B_OUTPUT) != 0; })) {
        continue;
      }
      ComPtr<IBaseFilter> filter;
      if (FAILED(CoCreateInstance(candidate.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.putVoid())))
        continue;
      if (FAILED(AddFilter(filter.get(), candidate.name.c_str()))) continue;
      bool connected = false;
      for (const ComPtr<IPin> &in : PinsOf(filter.get(), PINDIR_INPUT)) {
        if (SUCCEEDED(ppinOut->Connect(in.get(), nullptr))) {
          connected = true;
          break;
        }
      }
      if (connected) {
        for (const ComPtr<IPin> &out : PinsOf(filter.get(), PINDIR_OUTPUT)) {
          if (SUCCEEDED(out->Connect(ppinIn, nullptr))) return S_OK;
        }
      }
      RemoveFilter(filter.get());
    }
  }
  return VFW_E_CANNOT_CONNECT;
}

// ---- rendering ----------------------------------------------------------------------

HRESULT FilterGraph::ConnectToFilterLocked(IPin *out, IBaseFilter *filter, int depth) {
  for (const ComPtr<IPin> &in : PinsOf(filter, PINDIR_INPUT)) {
    if (PeerOf(in.get())) continue;
    if (FAILED(out->Connect(in.get(), nullptr))) continue;
    const std::vector<ComPtr<IPin>> outputs = PinsOf(filter, PINDIR_OUTPUT);
    bool rendered = outputs.empty();
    for (const ComPtr<IPin> &next : outputs) {
      if (!PeerOf(next.get()) && SUCCEEDED(RenderLocked(next.get(), depth + 1))) rendered = true;
    }
    if (rendered) return S_OK;
    // A filter in between whose outputs lead nowhere is no use.
    out->Disconnect();
    in->Disconnect();
  }
  return VFW_E_CANNOT_CONNECT;
}

HRESULT FilterGraph::RenderLocked(IPin *out, int depth) {
  if (depth > kMaxRenderDepth) return VFW_E_CANNOT_RENDER;
  if (PeerOf(out)) return VFW_E_ALREADY_CONNECTED;
  ComPtr<IBaseFilter> owner = OwnerOf(out);
  // Filters already in the graph first.
  std::vector<ComPtr<IBaseFilter>> present;
  for (const Entry &e : m_filters) {
    if (!owner || e.filter != owner.get()) present.emplace_back(e.filter);
  }
  for (const ComPtr<IBaseFilter> &f : present) {
    if (SUCCEEDED(ConnectToFilterLocked(out, f.get(), depth))) return S_OK;
  }
  // Then registered filters by merit, for each type the pin offers.
  std::vector<std::pair<GUID, GUID>> types = TypesOf(out, kMaxTypesTried);
  if (types.empty()) types.emplace_back(GUID_NULL, GUID_NULL);
  std::set<std::vector<uint8_t>> tried;
  for (const auto &type : types) {
    for (const RegisteredFilter &candidate : FindFiltersTaking(CLSID_LegacyAmFilterCategory, type.first, type.second)) {
      const uint8_t *b = reinterpret_cast<const uint8_t *>(&candidate.clsid);
      if (!tried.insert(std::vector<uint8_t>(b, b + sizeof(CLSID))).second) continue;
      ComPtr<IBaseFilter> filter;
      if (FAILED(CoCreateInstance(candidate.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.putVoid())))
        continue;
      if (FAILED(AddFilter(filter.get(), candidate.name.empty() ? nullptr : candidate.name.c_str()))) continue;
      if (SUCCEEDED(ConnectToFilterLocked(out, filter.get(), depth))) return S_OK;
      const int index = FindLocked(filter.get());
      if (index >= 0) RemoveAtLocked(static_cast<size_t>(index));
    }
  }
  return VFW_E_CANNOT_RENDER;
}

STDMETHODIMP FilterGraph::Render(IPin *ppinOut) {
  if (!ppinOut) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  if (!IsDirection(ppinOut, PINDIR_OUTPUT)) return VFW_E_INVALID_DIRECTION;
  return RenderLocked(ppinOut, 0);
}

STDMETHODIMP FilterGraph::AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter **ppFilter) {
  if (!lpcwstrFileName || !ppFilter) return E_POINTER;
  *ppFilter = nullptr;
  const std::u16string file(lpcwstrFileName);
  if (!FileExists(file)) return VFW_E_NOT_FOUND;
  CLSID clsid;
  if (!SourceFilterFor(ExtensionOf(file), &clsid)) return VFW_E_UNKNOWN_FILE_TYPE;
  ComPtr<IBaseFilter> filter;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.putVoid())) || !filter)
    return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
  ComPtr<IFileSourceFilter> source = filter.As<IFileSourceFilter>(IID_IFileSourceFilter);
  if (!source) return E_NOINTERFACE;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  HRESULT hr = AddFilter(filter.get(), lpcwstrFilterName ? lpcwstrFilterName : lpcwstrFileName);
  if (FAILED(hr)) return hr;
  hr = source->Load(lpcwstrFileName, nullptr);
  if (FAILED(hr)) {
    RemoveFilter(filter.get());
    return hr;
  }
  *ppFilter = filter.get();
  filter->AddRef();
  return S_OK;
}

STDMETHODIMP FilterGraph::RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) {
  if (!lpcwstrFile) return E_POINTER;
  if (lpcwstrPlayList && *lpcwstrPlayList) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  ComPtr<IBaseFilter> source;
  HRESULT hr = AddSourceFilter(lpcwstrFile, lpcwstrFile, source.put());
  if (FAILED(hr)) return hr;
  int rendered = 0, failed = 0;
  bool audioFailed = false, videoFailed = false, otherFailed = false;
  for (const ComPtr<IPin> &out : PinsOf(source.get(), PINDIR_OUTPUT)) {
    if (PeerOf(out.get())) continue;
    if (SUCCEEDED(RenderLocked(out.get(), 0))) {
      ++rendered;
      continue;
    }
    ++failed;
    const auto types = TypesOf(out.get(), 1);
    const GUID major = types.empty() ? GUID_NULL : types[0].first;
    if (IsEqualGUID(major, MEDIATYPE_Audio)) {
      audioFailed = true;
    } else if (IsEqualGUID(major, MEDIATYPE_Video)) {
      videoFailed = true;
    } else {
      otherFailed = true;
    }
  }
  if (rendered == 0) {
    RemoveFilter(source.get());
    return VFW_E_CANNOT_RENDER;
  }
  if (failed == 0) return S_OK;
  if (audioFailed && !videoFailed && !otherFailed) return VFW_S_AUDIO_NOT_RENDERED;
  if (videoFailed && !audioFailed && !otherFailed) return VFW_S_VIDEO_NOT_RENDERED;
  return VFW_S_PARTIAL_RENDER;
}

STDMETHODIMP FilterGraph::Abort() {
  m_aborted = true;
  return S_OK;
}

STDMETHODIMP FilterGraph::ShouldOperationContinue() { return m_aborted ? S_FALSE : S_OK; }

STDMETHODIMP FilterGraph::GetTypeInfoCount(UINT *pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

// ---- walks used by the control side ----------------------------------------------

std::vector<IBaseFilter *> FilterGraph::DownstreamFirstLocked() const {
  std::vector<IBaseFilter *> order;
  std::set<IBaseFilter *> visited;
  // Iterative depth-first walk: a filter is listed once all filters below
  // it are; a cycle cannot loop since each filter is entered once.
  struct Frame {
    IBaseFilter *filter;
    std::vector<IBaseFilter *> below;
    size_t next = 0;
  };
  for (const Entry &root : m_filters) {
    if (!visited.insert(root.filter).second) continue;
    std::vector<Frame> stack;
    auto enter = [&](IBaseFilter *f) {
      Frame frame{f, {}};
      for (const ComPtr<IPin> &out : PinsOf(f, PINDIR_OUTPUT)) {
        ComPtr<IPin> peer = PeerOf(out.get());
        if (!peer) continue;
        ComPtr<IBaseFilter> owner = OwnerOf(peer.get());
        const int index = owner ? FindLocked(owner.get()) : -1;
        if (index >= 0) frame.below.push_back(m_filters[static_cast<size_t>(index)].filter);
      }
      stack.push_back(std::move(frame));
    };
    enter(root.filter);
    while (!stack.empty()) {
      Frame &top = stack.back();
      if (top.next < top.below.size()) {
        IBaseFilter *child = top.below[top.next++];
        if (visited.insert(child).second) enter(child);
        continue;
      }
      order.push_back(top.filter);
      stack.pop_back();
    }
  }
  for (IBaseFilter *f : order) f->AddRef();
  return order;
}

std::vector<IBaseFilter *> FilterGraph::RenderersLocked() const {
  std::vector<IBaseFilter *> renderers;
  for (const Entry &e : m_filters) {
    bool renderer = false;
    ComPtr<IAMFilterMiscFlags> flags;
    if (SUCCEEDED(e.filter->QueryInterface(IID_IAMFilterMiscFlags, flags.putVoid())) && flags) {
      renderer = (flags->GetMiscFlags() & AM_FILTER_MISC_FLAGS_IS_RENDERER) != 0;
    }
    if (!renderer) {
      bool inputConnected = false, outputConnected = false;
      for (const ComPtr<IPin> &p : PinsOf(e.filter, PINDIR_INPUT)) inputConnected |= static_cast<bool>(PeerOf(p.get()));
      for (const ComPtr<IPin> &p : PinsOf(e.filter, PINDIR_OUTPUT))
        outputConnected |= static_cast<bool>(PeerOf(p.get()));
      renderer = inputConnected && !outputConnected;
    }
    if (renderer) {
      e.filter->AddRef();
      renderers.push_back(e.filter);
    }
  }
  return renderers;
}

std::vector<IMediaSeeking *> FilterGraph::SeekersLocked() const {
  std::vector<IMediaSeeking *> seekers;
  for (IBaseFilter *f : RenderersLocked()) {
    IMediaSeeking *s = nullptr;
    if (SUCCEEDED(f->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&s))) && s) seekers.push_back(s);
    f->Release();
  }
  return seekers;
}

}  // namespace tp::dshow
