#include "sinks/DiscardRenderer.h"

#include <new>

namespace tp::sinks {

DiscardRenderer *DiscardRenderer::Create(REFGUID major) {
  auto *r = new (std::nothrow) DiscardRenderer(major);
  if (r) r->AddRef();
  return r;
}

HRESULT DiscardRenderer::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  return IsEqualGUID(m_major, GUID_NULL) || IsEqualGUID(pmt->majortype, m_major) ? S_OK : S_FALSE;
}

}  // namespace tp::sinks
