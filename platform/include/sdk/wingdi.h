// gdi32 stand-in: bitmap header structures with Windows' layouts. Device
// contexts and DIB sections are declared here as the platform grows them.
#pragma once

#include "windef.h"

#define BI_RGB 0L
#define BI_RLE8 1L
#define BI_RLE4 2L
#define BI_BITFIELDS 3L
#define BI_JPEG 4L
#define BI_PNG 5L

#define DIB_RGB_COLORS 0
#define DIB_PAL_COLORS 1

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;
typedef RGBQUAD *LPRGBQUAD;

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER, *LPBITMAPINFOHEADER, *PBITMAPINFOHEADER;
static_assert(sizeof(BITMAPINFOHEADER) == 40 && offsetof(BITMAPINFOHEADER, biCompression) == 16);

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO, *LPBITMAPINFO, *PBITMAPINFO;
static_assert(sizeof(BITMAPINFO) == 44);

// Bitmap object description (GetObject on a bitmap).
typedef struct tagBITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
} BITMAP, *PBITMAP, *LPBITMAP;

// DIB section description (GetObject with sizeof(DIBSECTION)).
typedef struct tagDIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  DWORD dsBitfields[3];
  HANDLE dshSection;
  DWORD dsOffset;
} DIBSECTION, *LPDIBSECTION, *PDIBSECTION;

// DIB sections: real allocations of the pixel rows, DWORD-aligned, bottom-up
// for a positive biHeight and top-down for a negative one. Only memory-backed
// sections (hSection null) of 16, 24 and 32 bits per pixel (BI_RGB, or
// BI_BITFIELDS for 16 and 32) are made here; anything else fails with
// ERROR_INVALID_PARAMETER. The bitmap owns its bits until DeleteObject.
EXTERN_C HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO *pbmi, UINT usage, VOID **ppvBits, HANDLE hSection,
                                         DWORD offset);
EXTERN_C BOOL WINAPI DeleteObject(HGDIOBJ ho);
EXTERN_C int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv);
#ifdef UNICODE
#define GetObject GetObjectW
#endif
