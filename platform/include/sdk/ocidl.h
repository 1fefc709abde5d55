// OLE control interfaces: the stand-in provides only what its includers
// reach through this header on Windows (the object interfaces).
#pragma once

#include "objidl.h"
#include "oaidl.h"
