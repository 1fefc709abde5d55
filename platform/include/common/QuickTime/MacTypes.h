// Basic types of the QuickTime-style runtime's API, shared by the runtime
// ("QuickTime.qts") and by the code that calls it through the dispatcher.
//
// Widths are fixed on every system: where the classic API says "long" it
// means 32 bits, so these headers spell it SInt32, and the dispatcher reads
// such an argument as a 32-bit int on both Linux (LP64) and Windows (LLP64).
// Structures that the runtime and its callers share are laid out with
// 2-byte packing, as the runtime's structures always were.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef unsigned char Boolean;
typedef SInt32 Fixed;          // 16.16 signed fixed point
typedef UInt32 UnsignedFixed;  // 16.16 unsigned fixed point
typedef Fixed *FixedPtr;
typedef SInt32 Size;  // byte counts of memory blocks
typedef UInt32 ByteCount;
typedef UInt32 ItemCount;
typedef unsigned char Byte;
typedef char *Ptr;
typedef Ptr *Handle;  // points at a master pointer that points at the block
typedef SInt32 (*ProcPtr)(void);
typedef void *LogicalAddress;

// A 64-bit value in two halves, low half first (little-endian order).
#pragma pack(push, 2)
struct wide {
  UInt32 lo;
  SInt32 hi;
};
#pragma pack(pop)
typedef struct wide wide;

typedef unsigned char Str255[256];  // Pascal string: length byte, then bytes
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char Str15[16];
typedef unsigned char *StringPtr;
typedef const unsigned char *ConstStringPtr;
typedef const unsigned char *ConstStr255Param;
typedef Str63 StrFileName;

#pragma pack(push, 2)

struct Point {
  SInt16 v;
  SInt16 h;
};
typedef struct Point Point;

struct Rect {
  SInt16 top;
  SInt16 left;
  SInt16 bottom;
  SInt16 right;
};
typedef struct Rect Rect;

#pragma pack(pop)

// Builds an OSType from its four characters, most significant first:
// QT_FOUR_CHAR_CODE('v','i','d','e') == 'vide'.
#define QT_FOUR_CHAR_CODE(a, b, c, d) \
  ((OSType)(((UInt32)(UInt8)(a) << 24) | ((UInt32)(UInt8)(b) << 16) | ((UInt32)(UInt8)(c) << 8) | (UInt32)(UInt8)(d)))

enum { noErr = 0 };
enum { kFixed1 = 0x00010000 };
