// OLE automation types. The stand-in declares only what the DirectShow
// headers mention; nothing here is implemented.
#pragma once

#include "wtypes.h"
