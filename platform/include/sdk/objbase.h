// ole32 stand-in: COM basics. Interfaces are abstract classes in Windows'
// method order.
#pragma once

#include "unknwn.h"
#include "combaseapi.h"
