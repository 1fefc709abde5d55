// Included before headers that use DEFINE_GUID, makes them define the GUIDs
// (weak definitions stand in for __declspec(selectany)).
#pragma once
#define INITGUID
#include "guiddef.h"
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
