// Audio stream, buffer list and channel layout records used by Movie Audio
// Extraction. The caller owns every record it passes; the runtime only reads
// or fills it during the call.
#pragma once

#include "MacTypes.h"

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;

enum {
  kAudioFormatLinearPCM = QT_FOUR_CHAR_CODE('l', 'p', 'c', 'm'),
  kAudioFormatFlagIsFloat = 1u << 0,
  kAudioFormatFlagIsBigEndian = 1u << 1,
  kAudioFormatFlagIsSignedInteger = 1u << 2,
  kAudioFormatFlagIsPacked = 1u << 3,
  kAudioFormatFlagIsNonInterleaved = 1u << 5,
};

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void *mData;
};
typedef struct AudioBuffer AudioBuffer;

// The header is 16 bytes with 32-bit pointers and 24 bytes with 64-bit ones
// (mBuffers is pointer-aligned); callers that put the data right after the
// header must use sizeof(AudioBufferList), not a fixed 16.
struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];
};
typedef struct AudioBufferList AudioBufferList;

typedef UInt32 AudioChannelLabel;
typedef UInt32 AudioChannelLayoutTag;
typedef UInt32 AudioChannelFlags;

struct AudioChannelDescription {
  AudioChannelLabel mChannelLabel;
  AudioChannelFlags mChannelFlags;
  Float32 mCoordinates[3];
};
typedef struct AudioChannelDescription AudioChannelDescription;

struct AudioChannelLayout {
  AudioChannelLayoutTag mChannelLayoutTag;
  UInt32 mChannelBitmap;
  UInt32 mNumberChannelDescriptions;
  AudioChannelDescription mChannelDescriptions[1];
};
typedef struct AudioChannelLayout AudioChannelLayout;

enum {
  kAudioChannelLayoutTag_UseChannelDescriptions = (0u << 16) | 0,
  kAudioChannelLayoutTag_Mono = (100u << 16) | 1,
  kAudioChannelLayoutTag_Stereo = (101u << 16) | 2,
  kAudioChannelLabel_Left = 1,
  kAudioChannelLabel_Right = 2,
  kAudioChannelLabel_Mono = 42,
};

#ifdef __cplusplus
static_assert(sizeof(AudioStreamBasicDescription) == 40, "AudioStreamBasicDescription is 40 bytes");
static_assert(sizeof(AudioChannelDescription) == 20, "AudioChannelDescription is 20 bytes");
static_assert(sizeof(AudioChannelLayout) == 32, "AudioChannelLayout with one description is 32 bytes");
#endif
