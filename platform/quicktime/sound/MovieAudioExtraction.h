// MovieAudioExtraction: the runtime's Movie Audio Extraction. A session
// decodes the movie's first sound track in movie time, with the track's edit
// list applied (empty edits and time past the track's end are silence, up to
// the movie's duration), and converts it into the linear PCM stream
// description that the caller sets ('asbd'): 16-, 32-bit integer or 32-,
// 64-bit float, interleaved or not, either byte order, 1 to 8 channels, any
// rate. More channels are folded down with the standard matrix (centre and
// surround at -3 dB). The default description is the track's channel count
// and rate as 32-bit float, not interleaved.
//
// Sound it does not serve: the 3GPP speech codecs (IsSpeechCodecFormat:
// AMR, EVRC, QCELP, SMV), which are framed speech models rather than general
// audio; such a session begins and answers its properties, and its first
// (and every) fill fails with featureUnsupported, so that callers decode them
// sample by sample through the Sound Converter. A format that nothing
// decodes fails its fills with noCodecErr, a decoder that will not open with
// codecErr.
//
// Ownership: a session belongs to the caller from MovieAudioExtractionBegin
// to MovieAudioExtractionEnd. It holds the movie's model, so DisposeMovie
// before the end is safe. Sessions are found through a registry, so stale or
// foreign references answer paramErr.
//
// Threads: any thread. Locks: the registry lock and each session's lock are
// leaves, never held together (a session is found under the registry lock,
// which is released before the session's own lock is taken).
#pragma once

#include <QuickTime/Movies.h>

namespace tp::qt {

OSStatus MaeBegin(::Movie movie, UInt32 flags, MovieAudioExtractionRef *outSession);
OSStatus MaeEnd(MovieAudioExtractionRef session);
// *ioNumFrames: in, frames wanted; out, frames delivered. Each buffer's
// mDataByteSize: in, its capacity (fewer frames are delivered when it holds
// fewer); out, the bytes written. *outFlags gets kQTMovieAudioExtractionComplete
// on the fill that reaches the end.
OSStatus MaeFillBuffer(MovieAudioExtractionRef session, UInt32 *ioNumFrames, AudioBufferList *ioData, UInt32 *outFlags);
OSStatus MaeGetPropertyInfo(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id,
                            QTPropertyValueType *outType, ByteCount *outSize, UInt32 *outFlags);
OSStatus MaeGetProperty(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id, ByteCount size,
                        QTPropertyValuePtr value, ByteCount *sizeUsed);
OSStatus MaeSetProperty(MovieAudioExtractionRef session, QTPropertyClass propClass, QTPropertyID id, ByteCount size,
                        ConstQTPropertyValuePtr value);

// Live sessions, for tests.
size_t MaeSessionCount();

}  // namespace tp::qt
