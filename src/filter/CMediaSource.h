// CMediaSource: the source filter over one movie session. Owns the session
// (IAVExtraction) and the sample grabber, creates the "Video" and "Audio"
// pins from the session's tracks with both durations cut to the shorter
// track, and hands out the grabber interface.
//
// Ownership: the session and the grabber are deleted in the destructor,
// before the framework deletes the pins; the pins only borrow the tracks.
// The audio stream pointer is not owned (the pin array owns the pin).
//
// Threads: Load (and so CreatePins) runs on a control thread under the state
// lock; GetAudioStream may be called from any thread once Load returned.
#pragma once

#include "filter/CBaseSource.h"

class CAudioSourceStream;
class IAVExtraction;

class CMediaSource : public CBaseSource {
 public:
  CMediaSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr);
  ~CMediaSource() override;

  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  // The audio output stream, or null (no sound track, or not loaded).
  CAudioSourceStream *GetAudioStream() const { return m_audioStream; }

 protected:
  // Creates the session into m_session from m_fileName: S_OK with a usable
  // session, negative otherwise (m_session null then). State lock held.
  virtual HRESULT CreateExtraction() = 0;
  HRESULT CreatePins() override;

  IAVExtraction *m_session = nullptr;           // owned
  CAudioSourceStream *m_audioStream = nullptr;  // not owned; written once, by Load
};
