#include "SourceDescription.h"

#include <cstdio>

#include <oleauto.h>

#include "GraphHost.h"
#include "engine/Languages.h"
#include "filter/ExtendedSeeking.h"

namespace tidepool {
namespace {

// The four characters of a FOURCC subtype; empty for any other GUID.
std::string CodecOf(const GUID &subtype) {
  static const GUID kBase = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  GUID probe = subtype;
  probe.Data1 = 0;
  if (subtype.Data1 == 0 || !IsEqualGUID(probe, kBase)) return {};
  std::string code;
  for (int shift = 0; shift < 32; shift += 8) {
    const unsigned char c = static_cast<unsigned char>(subtype.Data1 >> shift);
    code.push_back(c < 0x20 || c >= 0x7f ? '.' : static_cast<char>(c));
  }
  return code;
}

IAMStreamSelect *StreamSelectOf(IBaseFilter *source) {
  IAMStreamSelect *select = nullptr;
  if (!source || FAILED(source->QueryInterface(IID_IAMStreamSelect, reinterpret_cast<void **>(&select)))) {
    return nullptr;
  }
  return select;
}

}  // namespace

std::vector<SelectableStream> ListStreams(IBaseFilter *source) {
  std::vector<SelectableStream> streams;
  IAMStreamSelect *select = StreamSelectOf(source);
  if (!select) return streams;
  DWORD count = 0;
  if (SUCCEEDED(select->Count(&count))) {
    for (DWORD i = 0; i < count && i < 4096; ++i) {
      AM_MEDIA_TYPE *type = nullptr;
      DWORD flags = 0, group = 0;
      LCID lcid = 0;
      WCHAR *name = nullptr;
      if (FAILED(select->Info(static_cast<LONG>(i), &type, &flags, &lcid, &group, &name, nullptr, nullptr))) continue;
      SelectableStream s;
      s.index = static_cast<long>(i);
      s.group = group;
      if (type) {
        s.kind = IsEqualGUID(type->majortype, MEDIATYPE_Video)   ? "video"
                 : IsEqualGUID(type->majortype, MEDIATYPE_Audio) ? "sound"
                                                                 : "text";
        s.codec = CodecOf(type->subtype);
        if (type->pbFormat) CoTaskMemFree(type->pbFormat);
        CoTaskMemFree(type);
      }
      s.language = LanguageFromLcid(lcid);
      s.selected = (flags & AMSTREAMSELECTINFO_ENABLED) != 0;
      if (name) {
        s.name = Narrow(name);
        CoTaskMemFree(name);
      }
      streams.push_back(std::move(s));
    }
  }
  select->Release();
  return streams;
}

bool SelectSoundStream(IBaseFilter *source, int k, std::string *error) {
  int seen = 0;
  for (const SelectableStream &s : ListStreams(source)) {
    if (s.kind != "sound" || seen++ != k) continue;
    IAMStreamSelect *select = StreamSelectOf(source);
    const HRESULT hr = select ? select->Enable(s.index, AMSTREAMSELECTENABLE_ENABLE) : E_NOINTERFACE;
    if (select) select->Release();
    if (FAILED(hr)) {
      *error = "sound stream " + std::to_string(k) + " cannot be played: " + GraphHost::Describe(hr);
      return false;
    }
    return true;
  }
  *error = "the movie has no sound stream " + std::to_string(k) + " (" + std::to_string(seen) + " found)";
  return false;
}

namespace {

template <typename I>
I *Query(IBaseFilter *source, const GUID &iid) {
  I *face = nullptr;
  if (!source || FAILED(source->QueryInterface(iid, reinterpret_cast<void **>(&face)))) return nullptr;
  return face;
}

// A BSTR's text as UTF-8, freeing it.
std::string Take(BSTR text) {
  if (!text) return {};
  std::basic_string<WCHAR> wide(text, SysStringLen(text));
  SysFreeString(text);
  return Narrow(wide.c_str());
}

}  // namespace

std::vector<Chapter> ListChapters(IBaseFilter *source) {
  std::vector<Chapter> chapters;
  IAMExtendedSeeking *seeking = Query<IAMExtendedSeeking>(source, kIidExtendedSeeking);
  if (!seeking) return chapters;
  LONG count = 0;
  if (SUCCEEDED(seeking->get_MarkerCount(&count))) {
    for (LONG i = 1; i <= count && i <= 100000; ++i) {
      Chapter c;
      BSTR name = nullptr;
      if (FAILED(seeking->GetMarkerTime(i, &c.start)) || FAILED(seeking->GetMarkerName(i, &name))) continue;
      c.title = Take(name);
      chapters.push_back(std::move(c));
    }
  }
  seeking->Release();
  return chapters;
}

Metadata ReadMetadata(IBaseFilter *source) {
  Metadata m;
  IAMMediaContent *content = Query<IAMMediaContent>(source, kIidMediaContent);
  if (!content) return m;
  BSTR text = nullptr;
  if (content->get_Title(&text) == S_OK) m.title = Take(text);
  if (content->get_AuthorName(&text) == S_OK) m.artist = Take(text);
  if (content->get_Copyright(&text) == S_OK) m.copyright = Take(text);
  if (content->get_Description(&text) == S_OK) m.comment = Take(text);
  content->Release();
  return m;
}

}  // namespace tidepool
