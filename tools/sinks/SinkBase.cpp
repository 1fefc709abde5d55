#include "sinks/SinkBase.h"

#include <mmreg.h>

#include <algorithm>
#include <thread>

namespace tp::sinks {
namespace {

constexpr REFERENCE_TIME kDeviceLead = 5000000;  // 500 ms

}  // namespace

HRESULT SinkBase::RenderSample(IMediaSample *pSample) {
  BYTE *data = nullptr;
  if (FAILED(pSample->GetPointer(&data))) return E_POINTER;
  const LONG length = pSample->GetActualDataLength();
  if (length < 0 || length > pSample->GetSize() || (length > 0 && !data)) return VFW_E_BUFFER_OVERFLOW;
  SampleRecord r;
  r.hasTime = SUCCEEDED(pSample->GetTime(&r.start, &r.stop));
  r.sync = pSample->IsSyncPoint() == S_OK;
  r.discontinuity = pSample->IsDiscontinuity() == S_OK;
  r.length = length;
  if (m_observer) m_observer(r);
  Clock(pSample, r);
  if (m_slowdown.count() > 0) {
    // A renderer that can finish one sample every m_slowdown: each finish is
    // scheduled from the previous one, not from now, so the time a loaded
    // machine adds to one sleep does not pile up over the stream.
    const auto now = std::chrono::steady_clock::now();
    m_busyUntil = std::max(now, m_busyUntil) + m_slowdown;
    std::this_thread::sleep_until(m_busyUntil);
  }
  return Consume(pSample, data, length);
}

STDMETHODIMP SinkBase::Run(REFERENCE_TIME tStart) {
  // Before the base releases the samples that wait for the run.
  m_runStart = tStart;
  return Renderer::Run(tStart);
}

bool SinkBase::StreamNow(REFERENCE_TIME *now) {
  IReferenceClock *clock = nullptr;
  if (FAILED(GetSyncSource(&clock)) || !clock) return false;
  REFERENCE_TIME t = 0;
  const HRESULT hr = clock->GetTime(&t);
  clock->Release();
  *now = t - m_runStart.load();
  return SUCCEEDED(hr);
}

void SinkBase::Clock(IMediaSample *, const SampleRecord &r) {
  if (!r.hasTime) return;
  REFERENCE_TIME now = 0;
  if (IsVideo()) {
    REFERENCE_TIME sound = 0;
    if (!m_avReference || !StreamNow(&now) || !m_avReference->Sound().Read(now, &sound)) return;
    tp::sink::Guard lock(m_avLock);
    ++m_av.frames;
    m_av.lastOffset = sound - r.start;
    m_av.totalOffset += m_av.lastOffset;
    return;
  }
  if (m_soundRate == 0) {
    AM_MEDIA_TYPE mt{};
    if (FAILED(InputPin()->ConnectionMediaType(&mt))) return;
    if (IsEqualGUID(mt.majortype, MEDIATYPE_Audio) && IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx) &&
        mt.cbFormat >= 16 && mt.pbFormat) {
      const auto *wfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
      m_soundRate = static_cast<LONG>(wfx->nSamplesPerSec);
      m_soundBlock = wfx->nBlockAlign;
    }
    tp::sink::FreeTypeFields(mt);
    if (m_soundRate <= 0 || m_soundBlock <= 0) {
      m_soundRate = -1;  // not PCM: no sound clock
    }
  }
  if (m_soundRate <= 0 || !StreamNow(&now)) return;
  if (r.discontinuity) m_sound.Reset();
  // An audio renderer keeps sound ahead in its device, so a buffer presented
  // up to kDeviceLead late (this thread woke late, on a busy machine) was
  // there in time: it is queued at its stamp. One later than that left the
  // device dry, and the sound goes on that much later.
  const REFERENCE_TIME at = now - r.start <= kDeviceLead ? r.start : now - kDeviceLead;
  m_sound.Queue(at, r.start, r.length / m_soundBlock, m_soundRate);
}

}  // namespace tp::sinks
