// RecordingSink: a renderer for tests that takes one major type (or any),
// records the times and first bytes of what it renders, and notes whether
// its upstream filter was still stopped when the graph paused it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <mutex>
#include <vector>

#include "tpsink/Renderer.h"

namespace tp::test {

// {3E8D2C41-7B5A-4F0E-8C6D-1A2B3C4D5E72}
TP_SDK_GUID(CLSID_RecordingSink, 0x3E8D2C41, 0x7B5A, 0x4F0E, 0x8C, 0x6D, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x72);

class RecordingSink final : public tp::sink::Renderer {
 public:
  struct Sample {
    REFERENCE_TIME start, stop;
    bool discontinuity;
    BYTE first;
  };

  // A new sink with one reference for the caller.
  static RecordingSink *Make(const GUID &major) {
    auto *sink = new RecordingSink(major);
    sink->AddRef();
    return sink;
  }

  STDMETHODIMP Pause() override {
    IPin *peer = nullptr;
    if (SUCCEEDED(InputPin()->ConnectedTo(&peer)) && peer) {
      PIN_INFO info{};
      if (SUCCEEDED(peer->QueryPinInfo(&info)) && info.pFilter) {
        FILTER_STATE state = State_Stopped;
        info.pFilter->GetState(0, &state);
        std::lock_guard<std::mutex> lock(m_lock);
        if (state != State_Stopped && m_firstPause) m_upstreamPausedFirst = true;
        info.pFilter->Release();
      }
      peer->Release();
    }
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_firstPause = false;
    }
    return Renderer::Pause();
  }
  STDMETHODIMP Stop() override {
    const HRESULT hr = Renderer::Stop();
    std::lock_guard<std::mutex> lock(m_lock);
    m_firstPause = true;
    return hr;
  }

  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_samples;
  }
  bool UpstreamPausedFirst() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_upstreamPausedFirst;
  }

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override {
    return IsEqualGUID(m_major, GUID_NULL) || IsEqualGUID(pmt->majortype, m_major) ? S_OK : S_FALSE;
  }
  HRESULT RenderSample(IMediaSample *s) override {
    REFERENCE_TIME start = -1, stop = -1;
    s->GetTime(&start, &stop);
    BYTE *data = nullptr;
    s->GetPointer(&data);
    std::lock_guard<std::mutex> lock(m_lock);
    m_samples.push_back(
        {start, stop, s->IsDiscontinuity() == S_OK, data && s->GetActualDataLength() ? data[0] : BYTE(0)});
    return S_OK;
  }

 private:
  explicit RecordingSink(const GUID &major) : Renderer(CLSID_RecordingSink, u"In"), m_major(major) {}
  const GUID m_major;
  std::mutex m_lock;
  std::vector<Sample> m_samples;
  bool m_firstPause = true;
  bool m_upstreamPausedFirst = false;
};

}  // namespace tp::test
