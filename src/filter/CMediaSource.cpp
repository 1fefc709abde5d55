#include "filter/CMediaSource.h"

#include <new>

#include <tidepool/Tidepool.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include "engine/IAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "filter/CAudioSourceStream.h"
#include "filter/CMediaSampleGrabber.h"
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

}  // namespace

CMediaSource::CMediaSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr)
    : CBaseSource(pName, pUnk, clsid, phr) {
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

STDMETHODIMP CMediaSource::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (IsEqualIID(riid, IID_IQuillLoadReport)) return GetInterface(static_cast<IQuillLoadReport *>(this), ppv);
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
  TraceW2(TEXT("CreatePins end"));
  return S_OK;
}
