// Read side of the filter mapper's registry records (layout in
// FilterMapper.h), for the graph manager's intelligent connection: every
// filter registered in a category with its merit and its pins' types, and
// the match of a pin type against an output type.
//
// Threads: any; each call is a sequence of registry reads.
#pragma once

#include <strmif.h>

#include <string>
#include <vector>

namespace tp::dshow {

struct RegisteredPin {
  DWORD flags = 0;                           // REG_PINFLAG_B_*
  std::vector<std::pair<GUID, GUID>> types;  // major, minor
};

struct RegisteredFilter {
  CLSID clsid{};
  DWORD merit = 0;
  std::u16string name;
  std::vector<RegisteredPin> pins;
};

// Every well-formed record under the category (records without a readable
// class id are skipped), in no particular order. At most kMaxRecords.
std::vector<RegisteredFilter> ReadRegisteredFilters(REFCLSID category);
constexpr size_t kMaxRecords = 4096;

// True when a registered input pin takes the type: the major types agree
// (GUID_NULL on either side matches anything), and so do the subtypes.
bool PinTakesType(const RegisteredPin &pin, REFGUID major, REFGUID minor);

// The filters of the category with an input pin that takes (major, minor)
// and a merit above MERIT_DO_NOT_USE, highest merit first (ties keep a
// stable order by class id).
std::vector<RegisteredFilter> FindFiltersTaking(REFCLSID category, REFGUID major, REFGUID minor);

}  // namespace tp::dshow
