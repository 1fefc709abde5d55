// The platform's null renderer (CLSID_NullRenderer): takes any type and
// discards every sample, presenting each at its time when the graph has a
// clock (so a graph rendered onto it plays in real time), at once when it
// has none. The graph manager registers it with the filter mapper at merit
// MERIT_NORMAL, so that Render and RenderFile find a renderer for every pin.
//
// Ownership and threads: those of tp::sink::Renderer.
#pragma once

#include <strmif.h>

#include "tpsink/Renderer.h"

// {C1F400A4-3F08-11D3-9F0B-006008039E37}
TP_SDK_GUID(CLSID_NullRenderer, 0xC1F400A4, 0x3F08, 0x11D3, 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37);

namespace tp::dshow {

class NullRenderer final : public tp::sink::Renderer {
 public:
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // Writes the renderer's record into the filter mapper's registry unless
  // one is there already. The record: "Null Renderer", MERIT_NORMAL, one
  // rendered input pin "In" taking any type.
  static HRESULT EnsureRegistered();

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override { return pmt ? S_OK : E_POINTER; }
  HRESULT RenderSample(IMediaSample *) override { return S_OK; }

 private:
  NullRenderer();
};

inline HRESULT CreateNullRenderer(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return NullRenderer::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
