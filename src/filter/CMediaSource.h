// CMediaSource: the source filter over one movie session. Owns the session
// (IAVExtraction) and the sample grabber, creates the "Video" and "Audio"
// pins from the session's tracks with both durations cut to the shorter
// track (and a "Subtitle" pin for a text track), and hands out the grabber
// interface.
//
// Ownership: the session and the grabber are deleted in the destructor,
// before the framework deletes the pins; the pins only borrow the tracks.
// The audio stream pointer is not owned (the pin array owns the pin).
//
// Threads: Load (and so CreatePins) runs on a control thread under the state
// lock; GetAudioStream may be called from any thread once Load returned.
#pragma once

#include <dshow.h>

#include <atomic>

#include <tidepool/Tidepool.h>

#include "engine/IAVExtraction.h"
#include "filter/CBaseSource.h"
#include "filter/CMovieDescription.h"
#include "filter/CStreamSelection.h"

class CAudioSourceStream;
class CMediaSampleGrabber;
class CSubtitleSourceStream;
class CVideoSourceStream;
class CMediaSource : public CBaseSource, public IQuillLoadReport, public IAMStreamSelect {
 public:
  DECLARE_IUNKNOWN

  CMediaSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr);
  ~CMediaSource() override;

  // IQuillSampleGrabber once a movie is loaded: the grabber (made on the
  // first query; not counted, it lives as long as the filter), attached to
  // both tracks again on every query. E_NOINTERFACE with a null pointer
  // before a movie is loaded, E_OUTOFMEMORY with a null pointer when the
  // grabber cannot be made. IQuillLoadReport, IAMStreamSelect,
  // IAMMediaContent and IAMExtendedSeeking (CMovieDescription) at any time.
  // Everything else goes to CBaseSource.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  // IQuillLoadReport: the tracks the last Load left out, kept when the
  // session itself is given up.
  STDMETHODIMP GetMissingDecoder(ULONG index, GUID *majorType, DWORD *codec) override;

  // IAMStreamSelect: the movie's video, sound and subtitle streams
  // (CStreamSelection), none before a movie is loaded. Info's out pointers
  // may each be null; *ppmt holds the major type and the codec as a FOURCC subtype, *ppObject is the pin
  // that plays the stream (counted) or null. Enable with
  // AMSTREAMSELECTENABLE_ENABLE on another sound track switches the "Audio"
  // pin to it (see CAudioSourceStream::SwitchTrack), S_OK when done, the
  // pin's or E_FAIL's failure with the old track still playing otherwise;
  // on the chosen entry it does nothing (S_OK). Switching video and
  // choosing subtitles are not offered (E_NOTIMPL), nor disabling a stream
  // or enabling all of a group. E_INVALIDARG for an index out of range.
  STDMETHODIMP Count(DWORD *pcStreams) override;
  STDMETHODIMP Info(LONG lIndex, AM_MEDIA_TYPE **ppmt, DWORD *pdwFlags, LCID *plcid, DWORD *pdwGroup, WCHAR **ppszName,
                    IUnknown **ppObject, IUnknown **ppUnk) override;
  STDMETHODIMP Enable(LONG lIndex, DWORD dwFlags) override;

  // The audio output stream, or null (no sound track, or not loaded).
  CAudioSourceStream *GetAudioStream() const { return m_audioStream; }

  // A read that failed while a pin streamed stops every pin until the
  // filter is stopped. ReportStreamFailure records hr and is true for the
  // first failure only (that pin tells the graph); StreamFailure is S_OK
  // until then. Any thread.
  bool ReportStreamFailure(HRESULT hr);
  HRESULT StreamFailure() const { return m_streamFailure.load(); }

  // IMediaFilter: stops the pins, then clears the failure above.
  STDMETHODIMP Stop() override;

 protected:
  // Creates the session into m_session from m_fileName: S_OK with a usable
  // session, otherwise the failure Load reports (m_session null then).
  // State lock held.
  virtual HRESULT CreateExtraction() = 0;
  HRESULT CreatePins() override;

  // Copies the session's refused tracks into m_refused (before a failed
  // session is deleted). State lock held.
  void KeepRefusedTracks();

  IAVExtraction *m_session = nullptr;             // owned
  CMediaSampleGrabber *m_grabber = nullptr;       // owned; made on the first grabber query
  CAudioSourceStream *m_audioStream = nullptr;    // not owned; written once, by Load
  IAVExtraction::RefusedTrack m_refused[2] = {};  // state lock
  ULONG m_refusedCount = 0;
  CStreamSelection m_streams;                         // state lock; empty until a movie is loaded
  CMovieDescription m_description;                    // title, chapters: set by Load
  CVideoSourceStream *m_videoStream = nullptr;        // not owned; written once, by Load
  CSubtitleSourceStream *m_subtitleStream = nullptr;  // not owned; written once, by Load
  std::atomic<HRESULT> m_streamFailure{S_OK};
};
