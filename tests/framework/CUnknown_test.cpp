// Object identity: reference counting, deletion at zero, the module's live
// object count, and aggregation through the non-delegating unknown.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include "FrameworkTestSupport.h"
#include "framework/CUnknown.h"

namespace tp::test {
namespace {

// {8E0A1B2C-3D4E-4F50-8162-738495A6B7C8}
inline constexpr GUID CLSID_Inner = {0x8e0a1b2c, 0x3d4e, 0x4f50, {0x81, 0x62, 0x73, 0x84, 0x95, 0xa6, 0xb7, 0xc8}};

// An object exposing IPersist, usable alone or aggregated.
class Inner : public CUnknown, public IPersist {
 public:
  Inner(LPUNKNOWN outer, bool *deleted) : CUnknown(TEXT("Inner"), outer), m_deleted(deleted) {}
  ~Inner() override {
    // Taking and dropping a reference in the destructor must not delete the
    // object a second time.
    NonDelegatingAddRef();
    NonDelegatingRelease();
    *m_deleted = true;
  }
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override {
    if (ppv && IsEqualIID(riid, IID_IPersist)) return GetInterface(static_cast<IPersist *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
  }
  STDMETHODIMP GetClassID(CLSID *p) override {
    *p = CLSID_Inner;
    return S_OK;
  }

 private:
  bool *m_deleted;
};

// A plain COM object that aggregates an Inner and hands out its IPersist.
class Outer : public IUnknown {
 public:
  explicit Outer(bool *innerDeleted) {
    auto *inner = new Inner(this, innerDeleted);
    m_inner = inner->NonDelegatingUnknown();
    m_inner->AddRef();
  }
  virtual ~Outer() { m_inner->Release(); }
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return m_inner->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = --refs;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  LONG refs = 0;

 private:
  IUnknown *m_inner;
};

using CUnknownTest = FrameworkTest;

TEST_F(CUnknownTest, Counting_DeletesAtZeroAndTracksLiveObjects) {
  bool deleted = false;
  auto *obj = new Inner(nullptr, &deleted);
  EXPECT_EQ(ObjectsMadeSinceStart(), 1);
  EXPECT_EQ(obj->GetOwner(), obj->NonDelegatingUnknown());
  EXPECT_EQ(obj->AddRef(), 1u);
  EXPECT_EQ(obj->AddRef(), 2u);
  EXPECT_EQ(obj->Release(), 1u);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(obj->Release(), 0u);
  EXPECT_TRUE(deleted);
  EXPECT_EQ(ObjectsMadeSinceStart(), 0);
}

TEST_F(CUnknownTest, QueryInterface_OneIdentityAndCountedAnswers) {
  bool deleted = false;
  auto *obj = new Inner(nullptr, &deleted);
  obj->AddRef();
  IPersist *persist = nullptr;
  ASSERT_EQ(obj->QueryInterface(IID_IPersist, reinterpret_cast<void **>(&persist)), S_OK);
  IUnknown *a = nullptr, *b = nullptr;
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&a)), S_OK);
  ASSERT_EQ(obj->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void **>(&b)), S_OK);
  EXPECT_EQ(a, b);
  void *none = reinterpret_cast<void *>(1);
  EXPECT_EQ(obj->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(obj->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  a->Release();
  b->Release();
  persist->Release();
  EXPECT_FALSE(deleted);
  obj->Release();
  EXPECT_TRUE(deleted);
}

TEST_F(CUnknownTest, Aggregated_ForwardsToTheOuterAndDiesWithIt) {
  bool innerDeleted = false;
  auto *outer = new Outer(&innerDeleted);
  outer->AddRef();
  IPersist *persist = nullptr;
  ASSERT_EQ(outer->QueryInterface(IID_IPersist, reinterpret_cast<void **>(&persist)), S_OK);
  EXPECT_EQ(outer->refs, 2) << "the inner object's interfaces count on the outer";
  IUnknown *identity = nullptr;
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown *>(outer));
  CLSID clsid;
  EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Inner);
  identity->Release();
  persist->Release();
  EXPECT_FALSE(innerDeleted);
  outer->Release();
  EXPECT_TRUE(innerDeleted);
}

}  // namespace
}  // namespace tp::test
