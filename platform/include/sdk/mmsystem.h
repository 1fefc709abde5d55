// winmm stand-in: multimedia types. The stand-in carries the wave format
// structures (through mmreg.h) and the result type; no device functions.
#pragma once

#include "windows.h"
#include "mmreg.h"

typedef UINT MMRESULT;
#define MMSYSERR_NOERROR 0
#ifndef mmioFOURCC
#define mmioFOURCC(ch0, ch1, ch2, ch3) \
  ((DWORD)(BYTE)(ch0) | ((DWORD)(BYTE)(ch1) << 8) | ((DWORD)(BYTE)(ch2) << 16) | ((DWORD)(BYTE)(ch3) << 24))
#endif
#ifndef MAKEFOURCC
#define MAKEFOURCC(ch0, ch1, ch2, ch3) mmioFOURCC(ch0, ch1, ch2, ch3)
#endif
