// The old filter mapper (CLSID_FilterMapper, IFilterMapper): a filter is
// registered in steps (the filter, then each pin, then each pin's media
// types) instead of in one record.
//
// It keeps its entries where the new mapper (FilterMapper.h) does, in the
// same layout, under the legacy filter category with the braced class id as
// instance name, so a filter registered through either interface reads the
// same and either interface removes it. Pins are numbered in the order they
// were first registered; registering a pin name again replaces that pin.
//
// Where it differs from Windows: RegisterPin and RegisterPinType need the
// filter (and the pin) registered first (VFW_E_NOT_FOUND otherwise); the
// connects-to filter and pin are accepted but not stored, as for version-1
// records of the new mapper; RegisterFilterInstance, UnregisterFilterInstance
// and EnumMatchingFilters are E_NOTIMPL.
//
// Ownership: COM reference counting. Threads: any; each call is a sequence
// of registry operations, which the registry serialises.
#pragma once

#include <strmif.h>

#include <atomic>

namespace tp::dshow {

class LegacyFilterMapper final : public IFilterMapper {
 public:
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IFilterMapper
  // Replaces any earlier entry of the filter (with its pins).
  STDMETHODIMP RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) override;
  STDMETHODIMP RegisterFilterInstance(CLSID clsid, LPCWSTR Name, CLSID *MRId) override;
  STDMETHODIMP RegisterPin(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput, BOOL bZero, BOOL bMany,
                           CLSID ConnectsToFilter, LPCWSTR ConnectsToPin) override;
  STDMETHODIMP RegisterPinType(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType, CLSID clsSubType) override;
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when nothing was registered.
  STDMETHODIMP UnregisterFilter(CLSID Filter) override;
  STDMETHODIMP UnregisterFilterInstance(CLSID MRId) override;
  STDMETHODIMP UnregisterPin(CLSID Filter, LPCWSTR Name) override;
  STDMETHODIMP EnumMatchingFilters(IEnumRegFilters **ppEnum, DWORD dwMerit, BOOL bInputNeeded, CLSID clsInMaj,
                                   CLSID clsInSub, BOOL bRender, BOOL bOutputNeeded, CLSID clsOutMaj,
                                   CLSID clsOutSub) override;

 private:
  LegacyFilterMapper() = default;
  ~LegacyFilterMapper() = default;
  std::atomic<LONG> m_cRef{0};
};

inline HRESULT CreateLegacyFilterMapper(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return LegacyFilterMapper::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
