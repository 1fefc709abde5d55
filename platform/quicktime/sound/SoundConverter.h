// SoundConverter: the runtime's Sound Converter. A converter decodes the
// sound that its caller's fill procedure hands it, buffer by buffer, into
// uncompressed sound: 'NONE' (8-bit offset binary, or 16-, 24- or 32-bit
// signed little-endian), 'sowt' (16-bit little-endian) or 'twos' (16-bit
// big-endian), with the output record's channel count and rate (converted
// with libswresample when they differ from the input's).
//
// Input: any format that AudioDecode knows. A variable-bit-rate client
// ('cvbr') hands out extended records with the buffer size; buffers of
// self-delimiting formats (MP3, AMR) are split by libavcodec's parser and
// others are decoded frame by frame, so a buffer may hold several packets.
// Apple Lossless packets are neither self-delimiting nor consumed frame by
// frame by the decoder, so an ALAC buffer must hold one packet (or packets
// of the common frame size); Movie Audio Extraction, which reads the sample
// table itself, has no such limit.
// 'wave' takes the description's 'wave' extension (its 'frma', 'esds',
// 'alac', 'enda' atoms) as a block made by NewPtr, whose size the Memory
// Manager knows; anything else is refused with paramErr rather than read
// past its end.
//
// Fill contract: FillBuffer calls the procedure whenever it needs input
// until the procedure answers false, then drains the decoder. The output
// flags carry kSoundConverterDidntFillBuffer when fewer bytes than asked
// were written, and kSoundConverterHasLeftOverData whenever the call wrote
// data: a caller that stops at the first call without it has then taken
// every byte, the last partial buffer included.
//
// Ownership: a converter belongs to the caller from SoundConverterOpen to
// SoundConverterClose; stale or foreign references answer paramErr.
// Threads: any thread; each converter has its own leaf lock, held across a
// call (the fill procedure runs under it and must not call back into the
// same converter); the registry lock is a leaf too, never held with it.
#pragma once

#include <QuickTime/CoreAudioTypes.h>
#include <QuickTime/Sound.h>

namespace tp::qt {

// Sound Manager error numbers used here.
constexpr OSErr kBadFormatErr = -206;          // badFormat
constexpr OSErr kSiUnknownInfoTypeErr = -231;  // siUnknownInfoType

OSErr ScOpen(const SoundComponentData *input, const SoundComponentData *output, SoundConverter *sc);
OSErr ScClose(SoundConverter sc);
OSErr ScGetBufferSizes(SoundConverter sc, UInt32 inputBytesTarget, UInt32 *inputFrames, UInt32 *inputBytes,
                       UInt32 *outputBytes);
OSErr ScBeginConversion(SoundConverter sc);
OSErr ScEndConversion(SoundConverter sc, void *outputPtr, UInt32 *outputFrames, UInt32 *outputBytes);
OSErr ScGetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr ScSetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr ScFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP proc, void *refCon, void *outputBuffer,
                   UInt32 outputBufferByteSize, UInt32 *bytesWritten, UInt32 *framesWritten, UInt32 *outputFlags);

// Live converters, for tests.
size_t ScConverterCount();

}  // namespace tp::qt
