// The DirectShow umbrella header, as on Windows: the system headers, the
// core interfaces, video format blocks, event and result codes, GUIDs.
#pragma once

#include "windows.h"
#include "objbase.h"
#include "mmsystem.h"
#include "strmif.h"
#include "amvideo.h"
#include "evcode.h"
#include "uuids.h"
#include "vfwmsgs.h"
#if __has_include("control.h")
#include "control.h"
#endif
