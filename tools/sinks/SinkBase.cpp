#include "sinks/SinkBase.h"

#include <algorithm>
#include <thread>

namespace tp::sinks {

HRESULT SinkBase::RenderSample(IMediaSample *pSample) {
  BYTE *data = nullptr;
  if (FAILED(pSample->GetPointer(&data))) return E_POINTER;
  const LONG length = pSample->GetActualDataLength();
  if (length < 0 || length > pSample->GetSize() || (length > 0 && !data)) return VFW_E_BUFFER_OVERFLOW;
  if (m_observer) {
    SampleRecord r;
    r.hasTime = SUCCEEDED(pSample->GetTime(&r.start, &r.stop));
    r.sync = pSample->IsSyncPoint() == S_OK;
    r.discontinuity = pSample->IsDiscontinuity() == S_OK;
    r.length = length;
    m_observer(r);
  }
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

}  // namespace tp::sinks
