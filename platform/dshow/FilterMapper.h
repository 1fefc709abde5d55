// The filter mapper (CLSID_FilterMapper2): keeps filter registrations in the
// registry, where the graph manager finds them.
//
// Layout, all under HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance}
// (category: the one given, else the legacy DirectShow filter category;
// instance: the name given, else the braced filter class id):
//   "FriendlyName" (string), "CLSID" (braced string), "Merit" (DWORD);
//   subkey "Pins\<n>" for pin n (0-based): "Name" (string, version-1
//   records only), "Flags" (DWORD, REG_PINFLAG_B_*), "Instances" (DWORD);
//   below it "Types\<m>" for type m: "Major", "Minor" (braced strings).
// Windows keeps a binary "FilterData" value instead; nothing in the program
// reads the storage directly.
//
// Ownership: COM reference counting. Threads: any; each call is a sequence
// of registry operations, which the registry serialises.
#pragma once

#include <strmif.h>

#include <atomic>

namespace tp::dshow {

class FilterMapper final : public IFilterMapper2 {
 public:
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IFilterMapper2
  STDMETHODIMP CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) override;
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when nothing was registered.
  STDMETHODIMP UnregisterFilter(const CLSID *pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) override;
  // Replaces any earlier entry of the same instance. Monikers are not
  // provided: *ppMoniker (when asked for) is set to null. E_POINTER for a
  // missing record or pin array, E_INVALIDARG for an unknown record version
  // or absurd counts.
  STDMETHODIMP RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker **ppMoniker, const CLSID *pclsidCategory,
                              LPCOLESTR szInstance, const REGFILTER2 *prf2) override;
  // Not provided: E_NOTIMPL.
  STDMETHODIMP EnumMatchingFilters(IEnumMoniker **ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit,
                                   BOOL bInputNeeded, DWORD cInputTypes, const GUID *pInputTypes,
                                   const REGPINMEDIUM *pMedIn, const CLSID *pPinCategoryIn, BOOL bRender,
                                   BOOL bOutputNeeded, DWORD cOutputTypes, const GUID *pOutputTypes,
                                   const REGPINMEDIUM *pMedOut, const CLSID *pPinCategoryOut) override;

  // Bounds on what one registration may carry.
  static constexpr ULONG kMaxPins = 256;
  static constexpr UINT kMaxTypesPerPin = 256;

 private:
  FilterMapper() = default;
  ~FilterMapper() = default;
  std::atomic<LONG> m_cRef{0};
};

inline HRESULT CreateFilterMapper(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return FilterMapper::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
