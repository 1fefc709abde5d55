// Sound descriptions and the Sound Converter of the QuickTime-style runtime.
//
// A SoundDescriptionHandle is a Memory Manager handle owned by whoever made
// it; GetMediaSampleDescription resizes it to hold the description (version
// 0, 1 or 2 layout, told by its version field) followed by its extension
// atoms. GetSoundDescriptionExtension hands out a new handle holding one
// extension's payload; the caller disposes it. A SoundConverter belongs to
// the caller of SoundConverterOpen until SoundConverterClose.
#pragma once

#include "MacTypes.h"
#include "ImageCompression.h"

#pragma pack(push, 2)

struct SoundDescription {
  SInt32 descSize;  // whole description including extension atoms
  OSType dataFormat;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revlevel;
  SInt32 vendor;
  SInt16 numChannels;
  SInt16 sampleSize;
  SInt16 compressionID;
  SInt16 packetSize;
  UnsignedFixed sampleRate;
};
typedef struct SoundDescription SoundDescription;
typedef SoundDescription *SoundDescriptionPtr;
typedef SoundDescription **SoundDescriptionHandle;

struct SoundDescriptionV1 {
  SoundDescription desc;
  UInt32 samplesPerPacket;
  UInt32 bytesPerPacket;
  UInt32 bytesPerFrame;
  UInt32 bytesPerSample;
};
typedef struct SoundDescriptionV1 SoundDescriptionV1;
typedef SoundDescriptionV1 *SoundDescriptionV1Ptr;
typedef SoundDescriptionV1 **SoundDescriptionV1Handle;

struct SoundDescriptionV2 {
  SInt32 descSize;
  OSType dataFormat;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;  // 2
  SInt16 revlevel;
  SInt32 vendor;
  SInt16 always3;
  SInt16 always16;
  SInt16 alwaysMinus2;
  SInt16 always0;
  UInt32 always65536;
  UInt32 sizeOfStructOnly;
  Float64 audioSampleRate;
  UInt32 numAudioChannels;
  SInt32 always7F000000;
  UInt32 constBitsPerChannel;
  UInt32 formatSpecificFlags;
  UInt32 constBytesPerAudioPacket;
  UInt32 constLPCMFramesPerAudioPacket;
};
typedef struct SoundDescriptionV2 SoundDescriptionV2;
typedef SoundDescriptionV2 *SoundDescriptionV2Ptr;
typedef SoundDescriptionV2 **SoundDescriptionV2Handle;

struct SoundComponentData {
  SInt32 flags;
  OSType format;
  SInt16 numChannels;
  SInt16 sampleSize;
  UnsignedFixed sampleRate;
  SInt32 sampleCount;
  Byte *buffer;
  SInt32 reserved;
};
typedef struct SoundComponentData SoundComponentData;
typedef SoundComponentData *SoundComponentDataPtr;

// 68 bytes with 32-bit pointers, 80 with 64-bit ones: set recordSize from
// sizeof, not from a fixed 68.
struct ExtendedSoundComponentData {
  SoundComponentData desc;
  SInt32 recordSize;
  SInt32 extendedFlags;
  SInt32 bufferSize;
  SInt32 frameCount;
  SInt32 *frameSizesArray;
  SInt32 commonFrameSize;
  void *extensionsPtr;
  SInt32 extensionsSize;
  UInt32 bufferFlags;
  UInt32 bufferFlagsMask;
};
typedef struct ExtendedSoundComponentData ExtendedSoundComponentData;

struct CompressionInfo {
  SInt32 recordSize;
  OSType format;
  SInt16 compressionID;
  UInt16 samplesPerPacket;
  UInt16 bytesPerPacket;
  UInt16 bytesPerFrame;
  UInt16 bytesPerSample;
  UInt16 futureUse1;
};
typedef struct CompressionInfo CompressionInfo;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SoundDescription) == 36, "SoundDescription is 36 bytes");
static_assert(sizeof(SoundDescriptionV1) == 52, "SoundDescriptionV1 is 52 bytes");
static_assert(sizeof(SoundDescriptionV2) == 72, "SoundDescriptionV2 is 72 bytes");
static_assert(sizeof(CompressionInfo) == 20, "CompressionInfo is 20 bytes");
static_assert(sizeof(ExtendedSoundComponentData) == (sizeof(void *) == 8 ? 80 : 68),
              "ExtendedSoundComponentData is 68 bytes with 32-bit pointers, 80 with 64-bit ones");
#endif

typedef struct OpaqueSoundConverter *SoundConverter;
typedef Boolean (*SoundConverterFillBufferDataProcPtr)(SoundComponentDataPtr *data, void *refCon);
typedef SoundConverterFillBufferDataProcPtr SoundConverterFillBufferDataUPP;

// Sound data formats.
enum {
  kSoundNotCompressed = QT_FOUR_CHAR_CODE('N', 'O', 'N', 'E'),
  k8BitOffsetBinaryFormat = QT_FOUR_CHAR_CODE('r', 'a', 'w', ' '),
  k16BitBigEndianFormat = QT_FOUR_CHAR_CODE('t', 'w', 'o', 's'),
  k16BitLittleEndianFormat = QT_FOUR_CHAR_CODE('s', 'o', 'w', 't'),
  kFloat32Format = QT_FOUR_CHAR_CODE('f', 'l', '3', '2'),
  kFloat64Format = QT_FOUR_CHAR_CODE('f', 'l', '6', '4'),
  k24BitFormat = QT_FOUR_CHAR_CODE('i', 'n', '2', '4'),
  k32BitFormat = QT_FOUR_CHAR_CODE('i', 'n', '3', '2'),
  kLinearPCMFormat = QT_FOUR_CHAR_CODE('l', 'p', 'c', 'm'),
  kMPEG4AudioFormat = QT_FOUR_CHAR_CODE('m', 'p', '4', 'a'),
  kAMRNarrowbandFormat = QT_FOUR_CHAR_CODE('s', 'a', 'm', 'r'),
  kULawCompression = QT_FOUR_CHAR_CODE('u', 'l', 'a', 'w'),
  kALawCompression = QT_FOUR_CHAR_CODE('a', 'l', 'a', 'w'),
  kDVAudioFormat = QT_FOUR_CHAR_CODE('d', 'v', 'c', 'a'),
};

// Compression ids of a SoundDescription.
enum {
  variableCompression = -2,
  fixedCompression = -1,
  notCompressed = 0,
};

// Info selectors and flags of the Sound Converter.
enum {
  siClientAcceptsVBR = QT_FOUR_CHAR_CODE('c', 'v', 'b', 'r'),
  siDecompressionParams = QT_FOUR_CHAR_CODE('w', 'a', 'v', 'e'),
  siCompressionFactor = QT_FOUR_CHAR_CODE('c', 'm', 'f', 'a'),
  siCompressionMaxPacketSize = QT_FOUR_CHAR_CODE('c', 'm', 'x', 'p'),
  // Linear PCM input that the 16-bit fields and the 16.16 rate of a
  // SoundComponentData cannot hold (a version 2 description: 'lpcm' with its
  // format flags, rates of 65,536 Hz and above): an AudioStreamBasicDescription,
  // set before SoundConverterBeginConversion. It replaces the input format,
  // channels, sample size and rate given to SoundConverterOpen; an output
  // rate of 0 then means the input's rate.
  siInputStreamDescription = QT_FOUR_CHAR_CODE('i', 's', 'b', 'd'),
  kSoundConverterDidntFillBuffer = 1 << 0,
  kSoundConverterHasLeftOverData = 1 << 1,
  kNoRealtimeProcessing = 1 << 7,
  kExtendedSoundData = 1 << 14,
  kExtendedSoundSampleCountNotValid = 1 << 0,
  kExtendedSoundBufferSizeValid = 1 << 1,
  kExtendedSoundFrameSizesValid = 1 << 2,
  kExtendedSoundCommonFrameSizeValid = 1 << 3,
};

enum {
  kQTSoundDescriptionKind_Movie_Version1 = 1,
  kQTSoundDescriptionKind_Movie_Version2 = 2,
  siDecompressionParamsAtom = QT_FOUR_CHAR_CODE('w', 'a', 'v', 'e'),
  kESDSExtensionAtomType = QT_FOUR_CHAR_CODE('e', 's', 'd', 's'),
};

#ifdef __cplusplus
extern "C" {
#endif

OSErr GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType idType);

OSErr SoundConverterOpen(const SoundComponentData *inputFormat, const SoundComponentData *outputFormat,
                         SoundConverter *sc);
OSErr SoundConverterClose(SoundConverter sc);
OSErr SoundConverterGetBufferSizes(SoundConverter sc, UInt32 inputBytesTarget, UInt32 *inputFrames, UInt32 *inputBytes,
                                   UInt32 *outputBytes);
OSErr SoundConverterBeginConversion(SoundConverter sc);
OSErr SoundConverterEndConversion(SoundConverter sc, void *outputPtr, UInt32 *outputFrames, UInt32 *outputBytes);
OSErr SoundConverterGetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr SoundConverterSetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr SoundConverterFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP fillBufferDataUPP,
                               void *fillBufferDataRefCon, void *outputBuffer, UInt32 outputBufferByteSize,
                               UInt32 *bytesWritten, UInt32 *framesWritten, UInt32 *outputFlags);

#ifdef __cplusplus
}
#endif
