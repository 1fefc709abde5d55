#include "sinks/SinkBase.h"

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
  if (m_slowdown.count() > 0) Sleep(static_cast<DWORD>(m_slowdown.count()));
  return Consume(pSample, data, length);
}

}  // namespace tp::sinks
