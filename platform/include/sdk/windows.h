// The stand-in SDK's umbrella header, as <windows.h> on Windows.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "guiddef.h"
#include "winbase.h"
#include "winuser.h"
#if __has_include("winreg.h")
#include "winreg.h"
#endif
#if __has_include("winnls.h")
#include "winnls.h"
#endif
#if __has_include("winver.h")
#include "winver.h"
#endif
#if __has_include("wingdi.h")
#include "wingdi.h"
#endif
