// TestAllocator: an IMemAllocator that records its calls and forwards them
// to a real standard memory allocator, with a configurable refusal of
// SetProperties, a floor on the buffer size granted, and a media type to
// attach to the next buffer handed out (as a renderer that changes the
// format does). Serves as a downstream pin's own allocator.
//
// Reference counted; created with one reference owned by the creator.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include "peers/CallLog.h"

namespace tp::test {

class TestAllocator final : public IMemAllocator {
 public:
  // log is not owned and must outlive the allocator.
  explicit TestAllocator(CallLog *log) : m_log(log) {
    m_createResult = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                      reinterpret_cast<void **>(&m_inner));
  }
  TestAllocator(const TestAllocator &) = delete;
  TestAllocator &operator=(const TestAllocator &) = delete;

  HRESULT CreateResult() const { return m_createResult; }

  // Waits (bounded) until GetBuffer has been entered n times in all; a call
  // entered when no buffer is free is then waiting inside.
  bool WaitForGetBufferCalls(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_getBufferCalls >= n; });
  }

  // When not S_OK, SetProperties answers this without touching anything.
  HRESULT setPropertiesResult = S_OK;
  // When above 0, the buffer size granted is at most this.
  LONG grantAtMost = 0;
  // When above 0, the buffer size granted is at least this.
  LONG grantAtLeast = 0;

  // The next buffer GetBuffer hands out carries a copy of mt (once).
  void AttachToNextBuffer(const AM_MEDIA_TYPE &mt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attach = mt;
    m_attachArmed = true;
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMemAllocator)) {
      *ppv = static_cast<IMemAllocator *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_ref;
    if (n == 0) delete this;
    return n;
  }

  // IMemAllocator
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) override {
    m_log->Add("Alloc.SetProperties");
    if (setPropertiesResult != S_OK) return setPropertiesResult;
    if (!m_inner) return E_UNEXPECTED;
    ALLOCATOR_PROPERTIES request = pRequest ? *pRequest : ALLOCATOR_PROPERTIES{};
    if (grantAtMost > 0 && request.cbBuffer > grantAtMost) request.cbBuffer = grantAtMost;
    if (grantAtLeast > 0 && request.cbBuffer < grantAtLeast) request.cbBuffer = grantAtLeast;
    return m_inner->SetProperties(pRequest ? &request : nullptr, pActual);
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *pProps) override {
    return m_inner ? m_inner->GetProperties(pProps) : E_UNEXPECTED;
  }
  STDMETHODIMP Commit() override {
    m_log->Add("Alloc.Commit");
    return m_inner ? m_inner->Commit() : E_UNEXPECTED;
  }
  STDMETHODIMP Decommit() override {
    m_log->Add("Alloc.Decommit");
    return m_inner ? m_inner->Decommit() : E_UNEXPECTED;
  }
  STDMETHODIMP GetBuffer(IMediaSample **ppBuffer, REFERENCE_TIME *pStartTime, REFERENCE_TIME *pEndTime,
                         DWORD dwFlags) override {
    bool attach = false;
    AM_MEDIA_TYPE type{};
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_getBufferCalls;
      m_cv.notify_all();
      attach = m_attachArmed;
      type = m_attach;
      m_attachArmed = false;
    }
    if (!m_inner) return E_UNEXPECTED;
    const HRESULT hr = m_inner->GetBuffer(ppBuffer, pStartTime, pEndTime, dwFlags);
    if (SUCCEEDED(hr) && attach && ppBuffer && *ppBuffer) (*ppBuffer)->SetMediaType(&type);
    return hr;
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample *pBuffer) override {
    return m_inner ? m_inner->ReleaseBuffer(pBuffer) : E_UNEXPECTED;
  }

 private:
  ~TestAllocator() {
    if (m_inner) m_inner->Release();
  }

  CallLog *m_log;
  IMemAllocator *m_inner = nullptr;
  HRESULT m_createResult = E_FAIL;
  std::atomic<ULONG> m_ref{1};
  // Leaf lock: guards m_getBufferCalls; nothing is called while it is held.
  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_getBufferCalls = 0;
  AM_MEDIA_TYPE m_attach{};  // its format block belongs to whoever armed it
  bool m_attachArmed = false;
};

}  // namespace tp::test
