#include "filter/CMediaSource.h"

#include <cstring>
#include <new>

#include <tidepool/Tidepool.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include "engine/CQTMovieContents.h"
#include "engine/IAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "filter/CAudioSourceStream.h"
#include "filter/CMediaSampleGrabber.h"
#include "filter/CSubtitleSourceStream.h"
#include "filter/CVideoSourceStream.h"
#include "trace/Trace.h"

namespace {

// A pin that could not be made, or not added to the filter, is gone.
template <typename Stream>
Stream *NewStream(LPCTSTR objectName, CSource *filter, LPCWSTR pinName, IMediaExtraction *track) {
  HRESULT hr = S_OK;
  auto *stream = new (std::nothrow) Stream(objectName, filter, &hr, pinName, track);
  if (stream && FAILED(hr)) {
    delete stream;
    stream = nullptr;
  }
  return stream;
}

// The video track that plays: the first enabled one, else the first.
int PlayingVideoTrack(const MovieContents &contents) {
  int first = 0;
  for (const MovieTrackInfo &t : contents.tracks) {
    if (t.kind != TrackKind::Video) continue;
    if (t.enabled) return t.index;
    if (first == 0) first = t.index;
  }
  return first;
}

}  // namespace

CMediaSource::CMediaSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr)
    : CBaseSource(pName, pUnk, clsid, phr), m_description(GetOwner(), &m_cStateLock) {
  CAutoLock lock(&m_cStateLock);
  if (phr) *phr = S_OK;
}

CMediaSource::~CMediaSource() {
  TraceW2(TEXT("CMediaSource::~CMediaSource() Begin"));
  // The workers read the tracks: they must be gone before the session is.
  Stop();
  delete m_session;
  m_session = nullptr;
  delete m_grabber;
  m_grabber = nullptr;
  TraceW2(TEXT("CMediaSource::~CMediaSource() End"));
}

bool CMediaSource::ReportStreamFailure(HRESULT hr) {
  HRESULT none = S_OK;
  return m_streamFailure.compare_exchange_strong(none, hr);
}

STDMETHODIMP CMediaSource::Stop() {
  const HRESULT hr = CBaseSource::Stop();
  // The workers are idle or gone: the next run streams again.
  m_streamFailure.store(S_OK);
  return hr;
}

void CMediaSource::KeepRefusedTracks() {
  m_refusedCount = 0;
  if (m_session == nullptr) return;
  const ULONG count = m_session->GetRefusedTrackCount();
  for (ULONG i = 0; i < count && m_refusedCount < 2; ++i) {
    if (m_session->GetRefusedTrack(i, &m_refused[m_refusedCount])) ++m_refusedCount;
  }
}

STDMETHODIMP CMediaSource::GetMissingDecoder(ULONG index, GUID *majorType, DWORD *codec) {
  if (majorType == nullptr || codec == nullptr) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  *majorType = GUID_NULL;
  *codec = 0;
  if (index >= m_refusedCount) return S_FALSE;
  *majorType = m_refused[index].handlerType == IAVExtraction::kVideoHandler ? MEDIATYPE_Video : MEDIATYPE_Audio;
  *codec = m_refused[index].codec;
  return S_OK;
}

STDMETHODIMP CMediaSource::Count(DWORD *pcStreams) {
  if (pcStreams == nullptr) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  *pcStreams = static_cast<DWORD>(m_streams.Count());
  return S_OK;
}

STDMETHODIMP CMediaSource::Info(LONG lIndex, AM_MEDIA_TYPE **ppmt, DWORD *pdwFlags, LCID *plcid, DWORD *pdwGroup,
                                WCHAR **ppszName, IUnknown **ppObject, IUnknown **ppUnk) {
  CAutoLock lock(&m_cStateLock);
  const StreamEntry *e = m_streams.Entry(lIndex);
  if (e == nullptr) return E_INVALIDARG;
  const bool selected = m_streams.IsSelected(lIndex);
  if (ppmt) {
    AM_MEDIA_TYPE type{};
    type.majortype = e->major;
    type.subtype = e->subtype;
    *ppmt = CreateMediaType(&type);
    if (*ppmt == nullptr) return E_OUTOFMEMORY;
  }
  if (ppszName) {
    const size_t bytes = (e->name.size() + 1) * sizeof(WCHAR);
    *ppszName = static_cast<WCHAR *>(CoTaskMemAlloc(bytes));
    if (*ppszName == nullptr) {
      if (ppmt) {
        DeleteMediaType(*ppmt);
        *ppmt = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    std::memcpy(*ppszName, e->name.c_str(), bytes);
  }
  if (pdwFlags) *pdwFlags = selected ? AMSTREAMSELECTINFO_ENABLED | AMSTREAMSELECTINFO_EXCLUSIVE : 0;
  if (plcid) *plcid = e->lcid;
  if (pdwGroup) *pdwGroup = e->group;
  if (ppObject) {
    IPin *pin = nullptr;
    if (selected && e->group == CStreamSelection::kSoundGroup) pin = m_audioStream;
    if (selected && e->group == CStreamSelection::kVideoGroup) pin = m_videoStream;
    if (selected && e->group == CStreamSelection::kSubtitleGroup && e->trackIndex != 0) pin = m_subtitleStream;
    *ppObject = pin;
    if (pin) pin->AddRef();
  }
  if (ppUnk) *ppUnk = nullptr;
  return S_OK;
}

STDMETHODIMP CMediaSource::Enable(LONG lIndex, DWORD dwFlags) {
  CAutoLock lock(&m_cStateLock);
  const StreamEntry *e = m_streams.Entry(lIndex);
  if (e == nullptr) return E_INVALIDARG;
  if (dwFlags != AMSTREAMSELECTENABLE_ENABLE) return E_NOTIMPL;
  if (m_streams.IsSelected(lIndex)) return S_OK;
  if (e->group != CStreamSelection::kSoundGroup) return E_NOTIMPL;
  if (m_session == nullptr || m_audioStream == nullptr) return E_FAIL;
  IMediaExtraction *track = m_session->CreateSoundTrack(e->trackIndex);
  if (track == nullptr) {
    TraceW8(TEXT("CMediaSource::Enable: sound track %d cannot be played"), e->trackIndex);
    return E_FAIL;
  }
  if (m_grabber) track->SetSampleGrabber(m_grabber);
  IMediaExtraction *old = nullptr;
  const HRESULT hr = m_audioStream->SwitchTrack(track, &old);
  if (FAILED(hr)) {
    m_session->DiscardSoundTrack(track);
    return hr;
  }
  m_session->AdoptAudioExtraction(track);
  m_streams.Select(lIndex);
  TraceW4(TEXT("CMediaSource::Enable: sound track %d"), e->trackIndex);
  return S_OK;
}

STDMETHODIMP CMediaSource::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (IsEqualIID(riid, IID_IQuillLoadReport)) return GetInterface(static_cast<IQuillLoadReport *>(this), ppv);
  if (IsEqualIID(riid, IID_IAMStreamSelect)) return GetInterface(static_cast<IAMStreamSelect *>(this), ppv);
  if (IsEqualIID(riid, kIidMediaContent)) {
    return GetInterface(static_cast<IAMMediaContent *>(&m_description), ppv);
  }
  if (IsEqualIID(riid, kIidExtendedSeeking)) {
    return GetInterface(static_cast<IAMExtendedSeeking *>(&m_description), ppv);
  }
  if (!IsEqualIID(riid, IID_IQuillSampleGrabber)) return CBaseSource::NonDelegatingQueryInterface(riid, ppv);
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // The session and grabber are created and replaced by Load under the
  // state lock.
  CAutoLock lock(&m_cStateLock);
  if (!m_session) return E_NOINTERFACE;
  if (!m_grabber) {
    HRESULT hr = S_OK;
    m_grabber = new (std::nothrow) CMediaSampleGrabber(&hr);
    if (!m_grabber) return E_OUTOFMEMORY;
  }
  *ppv = static_cast<IQuillSampleGrabber *>(m_grabber);
  IMediaSampleGrabber *trackFace = m_grabber;
  if (IMediaExtraction *video = m_session->GetVideoExtraction()) video->SetSampleGrabber(trackFace);
  if (IMediaExtraction *audio = m_session->GetAudioExtraction()) audio->SetSampleGrabber(trackFace);
  return S_OK;
}

HRESULT CMediaSource::CreatePins() {
  m_refusedCount = 0;
  const HRESULT opened = CreateExtraction();
  if (FAILED(opened)) return opened;
  if (!m_session) return E_FAIL;
  KeepRefusedTracks();

  CVideoSourceStream *video = nullptr;
  if (IMediaExtraction *track = m_session->GetVideoExtraction()) {
    video = NewStream<CVideoSourceStream>(TEXT("CVideoSourceStream"), this, TEXT("Video"), track);
    if (!video) {
      delete m_session;
      m_session = nullptr;
      return E_OUTOFMEMORY;
    }
  }
  if (IMediaExtraction *track = m_session->GetAudioExtraction()) {
    auto *audio = NewStream<CAudioSourceStream>(TEXT("CAudioSourceStream"), this, TEXT("Audio"), track);
    if (!audio) {
      delete video;
      delete m_session;
      m_session = nullptr;
      return E_OUTOFMEMORY;
    }
    m_audioStream = audio;
  }
  if (!video && !m_audioStream) {
    // A movie without a video or sound track: nothing to stream is no
    // success.
    TraceW8(TEXT("The movie has no video or sound track"));
    delete m_session;
    m_session = nullptr;
    return VFW_E_UNSUPPORTED_STREAM;
  }

  if (video && m_audioStream) {
    LONGLONG videoDuration = 0, audioDuration = 0;
    video->GetDuration(&videoDuration);
    m_audioStream->GetDuration(&audioDuration);
    if (videoDuration < audioDuration) {
      TraceA2("Adjust the audio duration(%d) ", static_cast<int>(videoDuration));
      m_audioStream->SetDuration(videoDuration);
    } else if (audioDuration < videoDuration) {
      TraceA2("Adjust the video duration(%d) ", static_cast<int>(audioDuration));
      video->SetDuration(audioDuration);
    }
  }
  m_videoStream = video;
  const MovieContents *contents = m_session->GetContents();
  int textTrack = 0;
  IMediaExtraction *text = SubtitlePinWanted() ? m_session->GetTextExtraction(&textTrack) : nullptr;
  if (text && contents) {
    for (const MovieTrackInfo &t : contents->tracks) {
      if (t.index != textTrack) continue;
      HRESULT hr = S_OK;
      auto *pin = new (std::nothrow) CSubtitleSourceStream(TEXT("CSubtitleSourceStream"), this, &hr, TEXT("Subtitle"),
                                                           text, t.language, CStreamSelection::NameOf(t));
      if (pin && FAILED(hr)) {
        delete pin;
        pin = nullptr;
      }
      // Subtitles are an extra: a pin that cannot be made leaves them off.
      if (!pin) textTrack = 0;
      m_subtitleStream = pin;
    }
  } else {
    textTrack = 0;
  }
  if (contents) {
    m_streams.Build(*contents, video ? PlayingVideoTrack(*contents) : 0, m_session->GetSoundTrackIndex(), textTrack);
  }
  IMediaSeeking *position = nullptr;
  if (video) position = video;
  if (!position && m_audioStream) position = m_audioStream;
  m_description.Set(contents, position);
  TraceW2(TEXT("CreatePins end"));
  return S_OK;
}
