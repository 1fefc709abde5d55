// DiscardRenderer: takes any type (or only one major type) and drops every
// sample; with real-time mode on, it presents each at its time on the
// graph's clock first, which makes it a player without output.
#pragma once

#include "sinks/SinkBase.h"

namespace tp::sinks {

// {7C1D9A20-5B3E-4F61-9A8B-2C3D4E5F6071}
inline constexpr GUID CLSID_DiscardRenderer = {
    0x7C1D9A20, 0x5B3E, 0x4F61, {0x9A, 0x8B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};

class DiscardRenderer final : public SinkBase {
 public:
  // A new renderer with one reference for the caller. GUID_NULL: any type.
  static DiscardRenderer *Create(REFGUID major);

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *, const BYTE *, LONG) override { return S_OK; }

 private:
  explicit DiscardRenderer(REFGUID major) : SinkBase(CLSID_DiscardRenderer, TEXT("In")), m_major(major) {}
  const GUID m_major;
};

}  // namespace tp::sinks
