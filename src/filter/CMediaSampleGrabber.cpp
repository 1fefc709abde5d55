#include "filter/CMediaSampleGrabber.h"

#include "engine/SampleData.h"
#include "filter/AVSampleDataCopy.h"
#include "trace/Trace.h"

namespace {
// What the uncounted AddRef and Release report: the object is alive.
constexpr ULONG kInertCount = 1;
}  // namespace

CMediaSampleGrabber::CMediaSampleGrabber(HRESULT *)
    : CUnknown(TEXT("CMediaSampleGrabber"), static_cast<IQuillSampleGrabber *>(this)) {
  InstallAVSampleDataCopy();
}

CMediaSampleGrabber::~CMediaSampleGrabber() = default;

STDMETHODIMP CMediaSampleGrabber::QueryInterface(REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IQuillSampleGrabber) {
    *ppv = static_cast<IQuillSampleGrabber *>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSampleGrabber::AddRef() { return kInertCount; }

STDMETHODIMP_(ULONG) CMediaSampleGrabber::Release() { return kInertCount; }

STDMETHODIMP CMediaSampleGrabber::GrabberOption1(LONG) { return S_OK; }

STDMETHODIMP CMediaSampleGrabber::GrabberOption2(LONG) { return S_OK; }

STDMETHODIMP CMediaSampleGrabber::SetCallback(QuillSampleCallback callback, LONG_PTR user1, LONG_PTR user2) {
  TraceW2(TEXT("CMediaSampleGrabber::SetCallback"));
  CAutoLock lock(&m_lock);
  m_callback = callback;
  m_user1 = user1;
  m_user2 = user2;
  return S_OK;
}

STDMETHODIMP CMediaSampleGrabber::GrabberConfigure(LONG, LONG, LONG, LONG, LONG) { return S_OK; }

LONG CMediaSampleGrabber::OnSample(LONG isAudio, SampleData *record, LONG formatChanged) {
  QuillSampleCallback callback = nullptr;
  LONG_PTR user1 = 0;
  LONG_PTR user2 = 0;
  {
    CAutoLock lock(&m_lock);
    callback = m_callback;
    user1 = m_user1;
    user2 = m_user2;
  }
  if (callback != nullptr) callback(isAudio, record, formatChanged, user1, user2);
  return 0;
}
