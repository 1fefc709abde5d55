// A minimal in-process COM server for the activation tests: one class whose
// objects answer IPersist with their class id. It counts live objects and
// server locks so that DllCanUnloadNow answers truthfully, and exports those
// counts for the tests.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include <atomic>
#include <new>

#define TP_TEST_EXPORT extern "C" __attribute__((visibility("default")))

// {6B1E3C52-1D2A-4C59-9E3B-7A4C2D1E0F01}
TP_SDK_GUID(CLSID_TpTestObject, 0x6B1E3C52, 0x1D2A, 0x4C59, 0x9E, 0x3B, 0x7A, 0x4C, 0x2D, 0x1E, 0x0F, 0x01);

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class TestObject : public IPersist {
 public:
  TestObject() { ++g_objects; }
  virtual ~TestObject() { --g_objects; }
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPersist)) {
      *ppv = static_cast<IPersist *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_ref); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = --m_ref;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  STDMETHODIMP GetClassID(CLSID *pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_TpTestObject;
    return S_OK;
  }

 private:
  std::atomic<LONG> m_ref{0};
};

class Factory : public IClassFactory {
 public:
  Factory() { ++g_objects; }
  virtual ~Factory() { --g_objects; }
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_ref); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = --m_ref;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  STDMETHODIMP CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    auto *object = new (std::nothrow) TestObject();
    if (!object) return E_OUTOFMEMORY;
    object->AddRef();
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL fLock) override {
    if (fLock)
      ++g_locks;
    else
      --g_locks;
    return S_OK;
  }

 private:
  std::atomic<LONG> m_ref{0};
};

}  // namespace

TP_TEST_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_TpTestObject)) return CLASS_E_CLASSNOTAVAILABLE;
  auto *factory = new (std::nothrow) Factory();
  if (!factory) return E_OUTOFMEMORY;
  factory->AddRef();
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

TP_TEST_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

TP_TEST_EXPORT LONG TpTestServerObjects() { return g_objects; }
