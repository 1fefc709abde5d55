// DirectShow video format blocks (amvideo.h): VIDEOINFOHEADER and VIDEOINFO
// with Windows' layouts, and the DIB size helpers.
#pragma once

#include "windows.h"
#include "wingdi.h"
#include "strmif.h"

typedef struct tagVIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  BITMAPINFOHEADER bmiHeader;
} VIDEOINFOHEADER;
static_assert(sizeof(VIDEOINFOHEADER) == 88 && offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);

typedef struct tagTRUECOLORINFO {
  DWORD dwBitMasks[3];
  RGBQUAD bmiColors[256];
} TRUECOLORINFO;

typedef struct tagVIDEOINFO {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  BITMAPINFOHEADER bmiHeader;
  union {
    RGBQUAD bmiColors[256];
    DWORD dwBitMasks[3];
    TRUECOLORINFO TrueColorInfo;
  };
} VIDEOINFO;
static_assert(sizeof(VIDEOINFO) == 88 + 1036 + 4);

#define WIDTHBYTES(bits) ((DWORD)(((bits) + 31) & (~31)) / 8)
#define DIBWIDTHBYTES(bi) (DWORD)(WIDTHBYTES((DWORD)(bi).biWidth * (DWORD)(bi).biBitCount))
#define _DIBSIZE(bi) (DIBWIDTHBYTES(bi) * (DWORD)(bi).biHeight)
#define DIBSIZE(bi) ((bi).biHeight < 0 ? (-1) * (_DIBSIZE(bi)) : _DIBSIZE(bi))
#define HEADER(pVideoInfo) (&(((VIDEOINFOHEADER *)(pVideoInfo))->bmiHeader))
#define SIZE_PREHEADER (offsetof(VIDEOINFOHEADER, bmiHeader))
#define SIZE_VIDEOHEADER (sizeof(BITMAPINFOHEADER) + SIZE_PREHEADER)
#define iPALETTE_COLORS 256
#define iMASK_COLORS 3
