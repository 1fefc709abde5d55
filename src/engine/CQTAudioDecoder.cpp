#include "engine/CQTAudioDecoder.h"

#include <cstring>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

constexpr LONG kMaxSampleSize = 0x200000;
constexpr UInt32 kMinInputBytes = 65536;
// Beyond this a description's rate or channel count is not believable; the
// buffer sizes computed from them would overflow.
constexpr LONG kMaxRate = 1000000;
constexpr SInt16 kMaxChannels = 64;

}  // namespace

CQTAudioDecoder::CQTAudioDecoder(Movie theMovie) : CQTMediaExtraction(theMovie) {
  media = CQTAVExtraction::FindMediaOfType(theMovie, SoundMediaType);
  const OSErr err = GetMoviesError();
  if (err != noErr || media == nullptr) {
    TraceW8(TEXT("QTGetMedia failed(%d)\n"), static_cast<int>(err));
    return;
  }
  timeScale = GetMediaTimeScale(media);
  duration = GetMediaDuration(media);
  maxSampleSize = kMaxSampleSize;
  ExtractionBegin();
}

CQTAudioDecoder::~CQTAudioDecoder() { ExtractionEnd(); }

OSErr CQTAudioDecoder::ReadTrackSoundFormat(TrackSoundFormat *format) {
  Handle description = NewHandle(0);
  if (description == nullptr) return MemError() != noErr ? MemError() : -108;
  GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(description));
  OSErr err = GetMoviesError();
  if (err == noErr && GetHandleSize(description) < static_cast<Size>(sizeof(SoundDescription))) err = -1;
  if (err != noErr) {
    DisposeHandle(description);
    return err;
  }
  Handle extension = NewHandle(0);
  err = MemError();
  if (err != noErr || extension == nullptr) {
    DisposeHandle(description);
    return err != noErr ? err : -108;
  }
  // GetSoundDescriptionExtension hands out a new handle of its own; the one
  // made above is given back either way.
  Handle waveAtom = extension;
  if (GetSoundDescriptionExtension(reinterpret_cast<SoundDescriptionHandle>(description), &waveAtom,
                                   siDecompressionParamsAtom) == noErr &&
      waveAtom != nullptr) {
    const Size bytes = GetHandleSize(waveAtom);
    if (bytes > 0) {
      HLock(waveAtom);
      Ptr copy = NewPtr(bytes);
      err = MemError();
      if (err == noErr && copy != nullptr) {
        BlockMoveData(*waveAtom, copy, bytes);
        format->waveExtension = copy;
      } else if (err == noErr) {
        err = -108;
      }
      HUnlock(waveAtom);
    }
    if (waveAtom != extension) DisposeHandle(waveAtom);
  }
  DisposeHandle(extension);
  if (err == noErr) {
    const SoundDescription *desc = reinterpret_cast<SoundDescription *>(*description);
    format->dataFormat = desc->dataFormat;
    format->numChannels = desc->numChannels;
    format->sampleSize = desc->sampleSize;
    format->sampleRate = desc->sampleRate;
    format->sampleRateHz = static_cast<double>(desc->sampleRate) / 65536.0;
    format->compressionID = desc->compressionID;
    if (desc->version == 2 && GetHandleSize(description) >= static_cast<Size>(sizeof(SoundDescriptionV2))) {
      // The runtime hands the description out in host order: the version 2
      // fields are read as they stand; the version 0 ones are placeholders.
      const SoundDescriptionV2 *v2 = reinterpret_cast<SoundDescriptionV2 *>(*description);
      const double rate = v2->audioSampleRate;
      const bool believable = rate >= 1.0 && rate <= kMaxRate && v2->numAudioChannels >= 1 &&
                              v2->numAudioChannels <= static_cast<UInt32>(kMaxChannels) &&
                              v2->constBitsPerChannel <= 64;
      format->version2 = true;
      format->numChannels = believable ? static_cast<SInt16>(v2->numAudioChannels) : 0;
      format->sampleSize = believable ? static_cast<SInt16>(v2->constBitsPerChannel) : 0;
      format->sampleRateHz = believable ? rate : 0;
      format->sampleRate = believable && rate < 65536.0 ? static_cast<UnsignedFixed>(rate * 65536.0 + 0.5) : 0;
      format->formatFlags = v2->formatSpecificFlags;
      format->bytesPerFrame = v2->constBytesPerAudioPacket;
    }
  }
  DisposeHandle(description);
  return err;
}

// The Sound Converter's badFormat: an input format it does not know.
constexpr OSErr kBadFormat = -206;

LONG CQTAudioDecoder::DecoderStatus() const {
  if (converting) return 0;
  // The converter names a format nothing decodes badFormat at open; a format
  // it knows but this system has no decoder for fails to begin with noCodecErr.
  if (setupError == kBadFormat || setupError == noCodecErr) return noCodecErr;
  return setupError != noErr ? static_cast<LONG>(setupError) : -1;
}

LONG CQTAudioDecoder::ExtractionBegin() {
  if (media == nullptr || converter != nullptr) return 0;
  TrackSoundFormat track;
  setupError = ReadTrackSoundFormat(&track);
  if (setupError != noErr) return 0;
  dataFormat = track.dataFormat;
  const LONG rate = static_cast<LONG>(track.sampleRateHz);
  // Linear PCM of a version 2 description reaches the converter as a stream
  // description: 'lpcm' with its flags, at a rate the 16.16 field may not
  // hold. Out of it comes integer PCM of at most 32 bits (float becomes
  // 32-bit integer).
  const bool linearPcm = track.version2 && track.dataFormat == kLinearPCMFormat;
  SInt16 outputBits = track.sampleSize;
  if (linearPcm && ((track.formatFlags & kAudioFormatFlagIsFloat) != 0 || outputBits > 32)) outputBits = 32;
  const bool believable = track.numChannels > 0 && track.numChannels <= kMaxChannels && track.sampleSize > 0 &&
                          track.sampleSize <= 64 && rate > 0 && rate <= kMaxRate &&
                          (linearPcm || track.sampleRate != 0);

  outputFormat.wFormatTag = WAVE_FORMAT_PCM;
  outputFormat.nChannels = static_cast<WORD>(track.numChannels);
  outputFormat.wBitsPerSample = static_cast<WORD>(outputBits);
  outputFormat.nSamplesPerSec = static_cast<DWORD>(rate);
  outputFormat.nAvgBytesPerSec =
      static_cast<DWORD>(outputBits / 8) * static_cast<DWORD>(track.numChannels) * static_cast<DWORD>(rate);
  outputFormat.nBlockAlign = static_cast<WORD>(track.numChannels * outputBits / 8);
  outputFormat.cbSize = 0;
  sampleRate = rate;
  TraceA8("channel num %d", static_cast<int>(track.numChannels));
  TraceA8("BitsPerSample(%d)", static_cast<int>(outputBits));
  TraceA8("SmapleRate(0x%x)", static_cast<unsigned>(track.sampleRate));
  TraceA8("Sample rate high %d", static_cast<int>(rate));
  TraceA8("Sample rate low %d", static_cast<int>(track.sampleRate & 0xFFFF));

  SoundComponentData input{};
  input.format = track.dataFormat;
  input.numChannels = track.numChannels;
  input.sampleSize = track.sampleSize;
  input.sampleRate = linearPcm ? 0 : track.sampleRate;
  SoundComponentData output{};
  output.flags = kNoRealtimeProcessing;
  output.format = kSoundNotCompressed;
  output.numChannels = track.numChannels;
  output.sampleSize = outputBits;
  output.sampleRate = linearPcm ? 0 : track.sampleRate;

  OSErr err = believable ? SoundConverterOpen(&input, &output, &converter) : OSErr{-1};
  if (err == noErr && converter != nullptr && linearPcm) {
    AudioStreamBasicDescription stream{};
    stream.mSampleRate = track.sampleRateHz;
    stream.mFormatID = kAudioFormatLinearPCM;
    stream.mFormatFlags = track.formatFlags;
    stream.mBytesPerPacket = track.bytesPerFrame;
    stream.mFramesPerPacket = 1;
    stream.mBytesPerFrame = track.bytesPerFrame;
    stream.mChannelsPerFrame = static_cast<UInt32>(track.numChannels);
    stream.mBitsPerChannel = static_cast<UInt32>(track.sampleSize);
    err = SoundConverterSetInfo(converter, siInputStreamDescription, &stream);
    if (err != noErr) {
      SoundConverterClose(converter);
      converter = nullptr;
    }
  }
  if (err != noErr || converter == nullptr) {
    TraceW8(TEXT("SoundConverterOpen failed(%d)"), static_cast<int>(err));
    setupError = err;
    converter = nullptr;
    DisposePtr(track.waveExtension);
    return 0;
  }
  UInt32 acceptsVbr = 1;
  err = SoundConverterSetInfo(converter, siClientAcceptsVBR, &acceptsVbr);
  if (err != noErr) TraceW8(TEXT("SoundConverterSetInfo siClientAcceptsVBR failed(%d)"), static_cast<int>(err));
  if (track.waveExtension != nullptr) SoundConverterSetInfo(converter, siDecompressionParams, track.waveExtension);
  DisposePtr(track.waveExtension);
  track.waveExtension = nullptr;

  setupError = SoundConverterBeginConversion(converter);
  if (setupError != noErr) return 0;
  CompressionInfo info{};
  info.recordSize = sizeof(CompressionInfo);
  if (SoundConverterGetInfo(converter, siCompressionFactor, &info) != noErr) return 0;

  UInt32 inputSize = static_cast<UInt32>(rate + 1000) * static_cast<UInt32>(track.numChannels) * 4;
  if (inputSize < kMinInputBytes) inputSize = kMinInputBytes;
  UInt32 maxPacket = 0;
  if (SoundConverterGetInfo(converter, siCompressionMaxPacketSize, &maxPacket) != noErr || maxPacket == 0) {
    maxPacket = kMinInputBytes;
  }
  UInt32 inputFrames = 0;
  UInt32 inputBytes = 0;
  UInt32 outputBytes = 0;
  if (SoundConverterGetBufferSizes(converter, kMinInputBytes, &inputFrames, &inputBytes, &outputBytes) != noErr) {
    outputBytes = 0;
  }
  outputSize = outputBytes > maxPacket ? outputBytes : maxPacket;
  outputBuffer = NewPtr(static_cast<Size>(outputSize));
  if (MemError() != noErr || outputBuffer == nullptr) {
    outputBuffer = nullptr;
    outputSize = 0;
    return 0;
  }

  source.currentTime = 0;
  source.endTime = duration;
  source.moreData = 1;
  source.inputSize = static_cast<LONG>(inputSize);
  source.variableRate = track.compressionID == variableCompression ? 1 : 0;
  source.media = media;
  source.input = NewHandle(static_cast<Size>(inputSize));
  if (MemError() != noErr || source.input == nullptr) {
    source.input = nullptr;
    return 0;
  }
  HLockHi(source.input);
  source.data.desc = input;
  source.data.desc.flags = kExtendedSoundData;
  source.data.desc.buffer = reinterpret_cast<Byte *>(*source.input);
  // The record's own size: 68 bytes with 32-bit pointers, 80 with 64-bit ones.
  source.data.recordSize = sizeof(ExtendedSoundComponentData);
  source.data.extendedFlags = kExtendedSoundBufferSizeValid;
  if (source.variableRate != 0) source.data.extendedFlags |= kExtendedSoundCommonFrameSizeValid;
  source.data.bufferSize = 0;
  outputBase = 0;
  outputFrames = 0;
  converting = true;
  return 0;
}

Boolean CQTAudioDecoder::FillBufferDataProc(SoundComponentDataPtr *data, void *refCon) {
  auto *src = static_cast<SoundSource *>(refCon);
  if (src == nullptr || data == nullptr) return false;
  if (src->currentTime >= src->endTime) return false;
  if (src->moreData != 0) {
    SInt32 bytes = 0;
    TimeValue sampleTime = 0;
    TimeValue perSample = 0;
    SInt32 samples = 0;
    const OSErr err = GetMediaSample(src->media, src->input, src->inputSize, &bytes, src->currentTime, &sampleTime,
                                     &perSample, nullptr, nullptr, 0, &samples, nullptr);
    const LONGLONG fetched = static_cast<LONGLONG>(perSample) * samples;
    // A fetch that does not move time forward would be asked again forever.
    const LONGLONG next = static_cast<LONGLONG>(sampleTime) + fetched;
    if (err != noErr || bytes <= 0 || samples <= 0 || fetched <= 0 || next <= src->currentTime || next > 0x7FFFFFFF) {
      if (err != noErr && bytes > 0) TraceA8("GetMediaSample - Failed in FillBufferDataProc");
      // The data is gone (the file shrank, or its device failed): not the
      // media's end.
      if (err == ioErr || err == eofErr) src->readFault = err;
      src->moreData = 0;
      src->data.desc.buffer = nullptr;
      src->data.desc.sampleCount = 0;
      src->data.bufferSize = 0;
      src->data.commonFrameSize = 0;
    } else {
      src->lastDuration = static_cast<LONG>(fetched);
      src->data.desc.sampleCount = static_cast<SInt32>(fetched);
      src->currentTime = static_cast<LONG>(next);
      // The handle may have been resized by the fetch: point at its data now.
      src->data.desc.buffer = reinterpret_cast<Byte *>(*src->input);
      src->data.bufferSize = bytes;
      if (src->variableRate != 0) src->data.commonFrameSize = bytes / samples;
    }
  }
  *data = &src->data.desc;
  return src->moreData != 0;
}

LONG CQTAudioDecoder::GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *length) {
  if (buffer == nullptr || size == nullptr || *size <= 0) return -1;
  if (converter == nullptr || !converting) return -1;
  // Never ask the converter for more than the caller can take: what it
  // cannot write now stays inside it for the next call instead of being
  // dropped. Whole frames only.
  UInt32 ask = static_cast<UInt32>(*size) < outputSize ? static_cast<UInt32>(*size) : outputSize;
  const UInt32 frameBytes = outputFormat.nBlockAlign > 0 ? outputFormat.nBlockAlign : 1;
  ask -= ask % frameBytes;
  if (ask == 0) return -1;
  UInt32 written = 0;
  UInt32 frames = 0;
  UInt32 flags = 0;
  const OSErr err = SoundConverterFillBuffer(converter, &CQTAudioDecoder::FillBufferDataProc, &source, outputBuffer,
                                             ask, &written, &frames, &flags);
  if (written > ask) written = ask;
  // The last partial buffer carries sound too; only an empty call ends, or
  // reports the read that failed.
  if (err != noErr || written == 0) return source.readFault != noErr ? static_cast<LONG>(source.readFault) : -1;
  const UInt32 n = written;
  std::memcpy(buffer, outputBuffer, n);

  // Times follow the bytes handed out, counted in frames from the last seek.
  const LONGLONG framesBefore = outputFrames;
  outputFrames += n / frameBytes;
  const LONGLONG first = outputBase + ScaleRounded(framesBefore, timeScale, sampleRate);
  const LONGLONG last = outputBase + ScaleRounded(outputFrames, timeScale, sampleRate);
  if (start != nullptr) *start = first;
  if (length != nullptr) *length = last - first;
  *size = static_cast<LONG>(n);
  if (sampleGrabber != nullptr) HandToGrabber(static_cast<LONG>(n), first, last - first);
  return 0;
}

void CQTAudioDecoder::HandToGrabber(LONG bytes, LONGLONG start, LONGLONG length) {
  HandPcmToGrabber(sampleGrabber, TEXT("CQTAudioDecoder"), outputFormat, reinterpret_cast<BYTE *>(outputBuffer), bytes,
                   start, length);
}

LONG CQTAudioDecoder::ExtractionEnd() {
  if (converter != nullptr) {
    UInt32 frames = 0;
    UInt32 bytes = 0;
    if (outputBuffer != nullptr) SoundConverterEndConversion(converter, outputBuffer, &frames, &bytes);
    SoundConverterClose(converter);
    converter = nullptr;
  }
  if (source.input != nullptr) DisposeHandle(source.input);
  source.input = nullptr;
  if (outputBuffer != nullptr) DisposePtr(outputBuffer);
  outputBuffer = nullptr;
  outputSize = 0;
  converting = false;
  return 0;
}

void CQTAudioDecoder::SetPosition(LONGLONG *time) {
  if (time == nullptr) return;
  source.currentTime = static_cast<LONG>(*time & 0xFFFFFFFF);
  source.readFault = noErr;
  outputBase = *time;
  outputFrames = 0;
}

LONG CQTAudioDecoder::FillMediaInfo(void *format, LONG size, const GUID *) {
  if (format == nullptr || size < static_cast<LONG>(sizeof(WAVEFORMATEX))) return -1;
  std::memcpy(format, &outputFormat, sizeof(WAVEFORMATEX));
  return 0;
}

LONG CQTAudioDecoder::SetSampleGrabber(IMediaSampleGrabber *grabber) {
  sampleGrabber = grabber;
  return 0;
}
