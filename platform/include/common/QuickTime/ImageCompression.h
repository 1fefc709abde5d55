// Image descriptions, pixel maps, graphics worlds and decompression
// sequences of the QuickTime-style runtime.
//
// An ImageDescriptionHandle is a Memory Manager handle (MacMemory.h) owned by
// whoever made it; GetMediaSampleDescription resizes it to hold the
// description followed by its extension atoms (each a big-endian 32-bit size
// and type, then the payload, as in a movie file). Graphics worlds belong to
// the caller of QTNewGWorld / NewGWorldFromHBITMAP until DisposeGWorld.
// Decompression sequences belong to the caller until CDSequenceEnd.
#pragma once

#include "MacTypes.h"

typedef OSType CodecType;
typedef UInt16 CodecFlags;
typedef UInt32 CodecQ;
typedef SInt32 ImageSequence;
typedef struct ComponentRecord *Component;
typedef struct ComponentInstanceRecord *ComponentInstance;
typedef Component DecompressorComponent;
typedef SInt32 ComponentResult;
typedef UInt32 GWorldFlags;

typedef struct OpaqueGrafPort *CGrafPtr;
typedef CGrafPtr GWorldPtr;
typedef struct OpaqueGDevice **GDHandle;
typedef struct OpaqueColorTable **CTabHandle;
typedef struct OpaqueRegion **RgnHandle;
typedef struct MatrixRecord *MatrixRecordPtr;
typedef struct ICMCompletionProcRecord *ICMCompletionProcRecordPtr;
typedef struct ICMFrameTimeRecord ICMFrameTimeRecord;

#pragma pack(push, 2)

struct ImageDescription {
  SInt32 idSize;  // whole description including extension atoms
  CodecType cType;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revisionLevel;
  SInt32 vendor;
  CodecQ temporalQuality;
  CodecQ spatialQuality;
  SInt16 width;
  SInt16 height;
  Fixed hRes;
  Fixed vRes;
  SInt32 dataSize;
  SInt16 frameCount;
  Str31 name;
  SInt16 depth;
  SInt16 clutID;
};
typedef struct ImageDescription ImageDescription;
typedef ImageDescription *ImageDescriptionPtr;
typedef ImageDescription **ImageDescriptionHandle;

struct MatrixRecord {
  Fixed matrix[3][3];
};
typedef struct MatrixRecord MatrixRecord;

// Header of a 'y420' picture: offsets (from the start of the header) and row
// bytes of the Y, Cb and Cr planes, each a big-endian 32-bit value.
struct PlanarComponentInfo {
  SInt32 offset;
  UInt32 rowBytes;
};
typedef struct PlanarComponentInfo PlanarComponentInfo;

struct PlanarPixmapInfoYUV420 {
  PlanarComponentInfo componentInfoY;
  PlanarComponentInfo componentInfoCb;
  PlanarComponentInfo componentInfoCr;
};
typedef struct PlanarPixmapInfoYUV420 PlanarPixmapInfoYUV420;

// A graphics world's pixel map. The runtime draws where baseAddr points, so
// the world's owner may point it at memory of its own between frames (as
// on the Mac, the way to decompress into buffers that take turns): that
// memory must hold QTGetPixMapHandleRowBytes x height bytes, laid out as the
// world's own, and stay valid until baseAddr is pointed elsewhere or the
// world is disposed. A 'y420' world writes its header there with each
// picture. rowBytes is the classic 14-bit field with the pixel-map flag;
// QTGetPixMapHandleRowBytes answers the full value.
struct PixMap {
  Ptr baseAddr;
  SInt16 rowBytes;
  Rect bounds;
  SInt16 pmVersion;
  SInt16 packType;
  SInt32 packSize;
  Fixed hRes;
  Fixed vRes;
  SInt16 pixelType;
  SInt16 pixelSize;
  SInt16 cmpCount;
  SInt16 cmpSize;
  OSType pixelFormat;
  CTabHandle pmTable;
  void *pmExt;
};
typedef struct PixMap PixMap;
typedef PixMap *PixMapPtr;
typedef PixMapPtr *PixMapHandle;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(ImageDescription) == 86, "ImageDescription is 86 bytes");
static_assert(sizeof(PlanarPixmapInfoYUV420) == 24, "PlanarPixmapInfoYUV420 is 24 bytes");
#endif

// Pixel formats of graphics worlds.
enum {
  k32ARGBPixelFormat = 0x00000020,
  k24RGBPixelFormat = 0x00000018,
  k16LE555PixelFormat = QT_FOUR_CHAR_CODE('L', '5', '5', '5'),
  k16LE565PixelFormat = QT_FOUR_CHAR_CODE('L', '5', '6', '5'),
  kYUVSPixelFormat = QT_FOUR_CHAR_CODE('y', 'u', 'v', 's'),
  kYUV420CodecType = QT_FOUR_CHAR_CODE('y', '4', '2', '0'),
  k32BGRAPixelFormat = QT_FOUR_CHAR_CODE('B', 'G', 'R', 'A'),
  k24BGRPixelFormat = QT_FOUR_CHAR_CODE('2', '4', 'B', 'G'),
};

// Graphics worlds, as this runtime lays them out (every row is padded to a
// multiple of 4 bytes; memory is zeroed at creation):
// - QTNewGWorld: 32 is A,R,G,B bytes, 'BGRA' B,G,R,A, 24 R,G,B, '24BG' B,G,R,
//   'L555'/'L565' little-endian 16-bit words, 'yuvs' Y0,U,Y1,V; rows top-down.
// - 'y420': a PlanarPixmapInfoYUV420 header, then the Y plane (row bytes =
//   width), the Cb and the Cr plane (row bytes = (width + 1) / 2, (height + 1)
//   / 2 rows). The base address is the header. QTGetPixMapHandleRowBytes
//   answers ceil(block size / height), so row bytes x height covers the
//   header and all three planes, and the block is that long.
// - NewGWorldFromHBITMAP over a DIB section of 32 bits: B,G,R,A in the DIB's
//   own row order (bottom-up for a positive height); over 24 bits: B,G,R,
//   drawn top-down into the DIB's memory; over 16 bits: 'L555'.
// Pictures are drawn at their own size in the top-left corner, never
// scaled; a world wider or taller than the picture repeats its last column
// and row (the even rounding of odd-sized pictures).

// Codec types found in image descriptions.
enum {
  kH264CodecType = QT_FOUR_CHAR_CODE('a', 'v', 'c', '1'),
  kH263CodecType = QT_FOUR_CHAR_CODE('h', '2', '6', '3'),
  kH261CodecType = QT_FOUR_CHAR_CODE('h', '2', '6', '1'),
  kMPEG4VisualCodecType = QT_FOUR_CHAR_CODE('m', 'p', '4', 'v'),
  kJPEGCodecType = QT_FOUR_CHAR_CODE('j', 'p', 'e', 'g'),
  kDVCNTSCCodecType = QT_FOUR_CHAR_CODE('d', 'v', 'c', ' '),
  kDVCPALCodecType = QT_FOUR_CHAR_CODE('d', 'v', 'c', 'p'),
  kFLICCodecType = QT_FOUR_CHAR_CODE('f', 'l', 'i', 'c'),
  kRawCodecType = QT_FOUR_CHAR_CODE('r', 'a', 'w', ' '),
  kAVCConfigurationAtomType = QT_FOUR_CHAR_CODE('a', 'v', 'c', 'C'),
};

enum {
  ditherCopy = 64,
  codecFlagUseImageBuffer = 1 << 0,
  // DecompressSequenceFrameWhen: decode for the sequence's state only and
  // leave the world as it is (frames decoded up to a seek point).
  codecFlagNoScreenUpdate = 1 << 3,
  // DecompressSequenceFrameWhen, with a completion record, in a run of
  // samples with frame times, on a sequence that answers
  // kICMSequenceKeepsPictures 1: the sample's picture is kept in the
  // sequence, undrawn, instead of being drawn into the world. Its
  // completion then says the picture is ready (codecCompletionSource only),
  // and ICMSequenceDrawKeptPicture draws it where the caller says.
  codecFlagKeepPicture = 1 << 12,
  codecNormalQuality = 0x00000200,
};

// Asynchronous decompression: DecompressSequenceFrameWhen given a completion
// record returns once the sample is decoded and calls completionProc (on
// another thread, or before returning) when its picture is in the world.
// result is the drawing's error; flags says what is finished.
enum {
  codecCompletionSource = 1 << 0,  // the sample's data may be reused
  codecCompletionDest = 1 << 1,    // the picture is in the world
};
typedef void (*ICMCompletionProcPtr)(OSErr result, short flags, long refcon);
typedef ICMCompletionProcPtr ICMCompletionUPP;
struct ICMCompletionProcRecord {
  ICMCompletionUPP completionProc;
  long completionRefCon;
};

// When a frame is to be shown: given to DecompressSequenceFrameWhen, value /
// scale is the sample's display time. This runtime reads value, scale and
// recordSize (which must cover them); the other fields are kept for layout.
enum {
  icmFrameTimeHasVirtualStartTimeAndDuration = 1 << 0,
  icmFrameTimeIsNonScheduledDisplayTime = 1 << 1,
};
#pragma pack(push, 2)
struct ICMFrameTimeRecord {
  wide value;         // the frame's display time, in scale units
  SInt32 scale;       // units per second of value and duration (a TimeScale)
  void *base;         // time base, or null
  SInt32 duration;    // how long the frame shows, 0 when not known
  Fixed rate;         // the time base's rate
  SInt32 recordSize;  // sizeof(ICMFrameTimeRecord)
  SInt32 frameNumber;
  SInt32 flags;
  wide virtualStartTime;
  SInt32 virtualDuration;
};
#pragma pack(pop)
#ifdef __cplusplus
static_assert(sizeof(ICMFrameTimeRecord) == 44 + sizeof(void *), "ICMFrameTimeRecord keeps its layout");
#endif

// ICMSequenceGetInfo, each an SInt32:
// - kICMSequencePendingFrameLimit: the most samples handed in with a frame
//   time whose pictures the sequence may hold back at once (0 when every
//   picture is finished inside its own call).
// - kICMSequenceHeldFrameCount: waits for the drawing in flight, then the
//   samples handed in with a completion record whose pictures the sequence
//   still holds (their completions are still to come).
// - kICMSequenceKeepsPictures: 1 when the sequence can keep pictures for a
//   later drawing (codecFlagKeepPicture), else 0.
enum {
  kICMSequencePendingFrameLimit = QT_FOUR_CHAR_CODE('p', 'e', 'n', 'd'),
  kICMSequenceHeldFrameCount = QT_FOUR_CHAR_CODE('h', 'e', 'l', 'd'),
  kICMSequenceKeepsPictures = QT_FOUR_CHAR_CODE('k', 'e', 'e', 'p'),
};

// Where ICMSequenceDrawKeptPicture draws a kept picture: memory of the
// caller's, in the layout and at the size of the sequence's world. Planes
// in picture order (row 0 the top row; 'y420': Y, Cb, Cr; packed layouts
// use plane 0), each with its signed row step in bytes (negative: rows go
// upward in memory). The caller vouches that every row of every plane lies
// in its memory.
struct ICMPictureDestination {
  Ptr planes[3];
  SInt32 rowBytes[3];
};

#ifdef __cplusplus
extern "C" {
#endif

OSErr DecompressSequenceBeginS(ImageSequence *seqID, ImageDescriptionHandle desc, Ptr data, SInt32 dataSize,
                               CGrafPtr port, GDHandle gdh, const Rect *srcRect, MatrixRecordPtr matrix, SInt16 mode,
                               RgnHandle mask, CodecFlags flags, CodecQ accuracy, DecompressorComponent codec);
OSErr DecompressSequenceFrameWhen(ImageSequence seqID, Ptr data, SInt32 dataSize, CodecFlags inFlags,
                                  CodecFlags *outFlags, ICMCompletionProcRecordPtr asyncCompletionProc,
                                  const ICMFrameTimeRecord *frameTime);
OSErr CDSequenceEnd(ImageSequence seqID);
// Pictures held back (see ImageCompression's "Deferred pictures" in the
// runtime's README): CDSequenceFlush cancels every picture not yet
// completed (each completion is called with codecAbortErr before it
// returns) and the next sample must be a sync sample. CDSequenceBusy ends
// the run of samples: the pictures still held come out and are drawn, and
// it answers 1 while a completion is still to be called, 0 when none is;
// the next sample must be a sync sample. Both are harmless on a sequence
// that holds nothing back.
OSErr CDSequenceFlush(ImageSequence seqID);
OSErr CDSequenceBusy(ImageSequence seqID);
// kICMSequencePendingFrameLimit or kICMSequenceHeldFrameCount into an
// SInt32; paramErr for an unknown sequence, null data or another kind of
// info.
OSErr ICMSequenceGetInfo(ImageSequence seqID, OSType which, void *data);
// Draws the picture kept for the sample whose completion carried refCon
// (codecFlagKeepPicture) into destination, or, with a null destination,
// where the world's pixel map points now; the picture is then forgotten.
// paramErr for an unknown sequence or a picture not kept (never kept,
// already drawn, or cancelled by CDSequenceFlush); codecErr when it cannot
// be drawn there (a row step too short for the row).
OSErr ICMSequenceDrawKeptPicture(ImageSequence seqID, long refCon, const ICMPictureDestination *destination);

OSErr QTNewGWorld(GWorldPtr *offscreenGWorld, OSType pixelFormat, const Rect *boundsRect, CTabHandle cTable,
                  GDHandle aGDevice, GWorldFlags flags);
SInt32 QTGetPixMapHandleRowBytes(PixMapHandle pm);
Boolean LockPixels(PixMapHandle pm);
void UnlockPixels(PixMapHandle pm);
void DisposeGWorld(GWorldPtr offscreenGWorld);
Ptr GetPixBaseAddr(PixMapHandle pm);
PixMapHandle GetGWorldPixMap(GWorldPtr offscreenGWorld);

#ifdef __cplusplus
}
#endif
