// CUnknown: COM identity of a framework object, with aggregation support.
//
// Every framework object that speaks COM derives from CUnknown and answers
// its interfaces from NonDelegatingQueryInterface. Its IUnknown methods (see
// DECLARE_IUNKNOWN) forward to the owner: the aggregating object's IUnknown
// when one was given at construction, otherwise the object's own
// non-delegating unknown. The owner is never counted by the object.
//
// The non-delegating unknown is a real IUnknown (a small member object whose
// three methods call NonDelegatingQueryInterface/AddRef/Release), so no
// interface pointer is ever reinterpreted as another type.
//
// Reference counting: the count starts at 0, changes atomically, and the
// release that takes it to 0 deletes the object through its virtual
// destructor (with the count raised back to 1 meanwhile, so that a
// destructor may take and drop references without re-entering delete).
#pragma once

#include <windows.h>
#include <objbase.h>

#include "framework/CBaseObject.h"

struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void **ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};
typedef INonDelegatingUnknown *PNDUNKNOWN;

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // pUnk: the aggregating object's IUnknown, or null. phr is not touched.
  CUnknown(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT *phr = nullptr);
  ~CUnknown() override;

  // The IUnknown that this object's interfaces forward to (not counted).
  LPUNKNOWN GetOwner() const { return m_pUnknown; }
  // The object's own non-delegating unknown (not counted).
  LPUNKNOWN NonDelegatingUnknown() { return &m_inner; }

  // INonDelegatingUnknown
  // Answers IID_IUnknown with the non-delegating unknown; null ppv gives
  // E_POINTER; anything else clears *ppv and gives E_NOINTERFACE.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

 protected:
  LONG volatile m_cRef = 0;

 private:
  class InnerUnknown : public IUnknown {
   public:
    explicit InnerUnknown(CUnknown *self) : m_self(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
      return m_self->NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_self->NonDelegatingAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_self->NonDelegatingRelease(); }

   private:
    CUnknown *m_self;
  };

  InnerUnknown m_inner;
  LPUNKNOWN const m_pUnknown;
};

// Hands out pUnk counted through *ppv; E_POINTER when ppv is null.
HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv);

// IUnknown methods of a class that derives from CUnknown and from one or
// more COM interfaces: all three go to the owner.
#define DECLARE_IUNKNOWN                                                                                          \
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return GetOwner()->QueryInterface(riid, ppv); } \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }                                         \
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }
