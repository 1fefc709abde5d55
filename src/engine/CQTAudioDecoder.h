// CQTAudioDecoder: the fallback audio path. Reads the sound media's samples
// with GetMediaSample and lets a runtime Sound Converter decode them into
// uncompressed sound with the track's own channel count, sample size and
// rate (16-bit output is little-endian), 64 KB per block.
//
// Ownership: the movie session owns this object and the movie. The object
// owns the converter, the input handle, the output buffer and, during set-up
// only, its copy of the description's 'wave' extension. The grabber is
// borrowed.
//
// Threads: no locks. The audio stream serialises GetNextSample (worker
// thread) with SetPosition (control threads). The fill procedure runs inside
// SoundConverterFillBuffer on the calling thread.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "QuickTime/Movies.h"
#include "QuickTime/Sound.h"
#include "engine/CQTMediaExtraction.h"

class IMediaSampleGrabber;

class CQTAudioDecoder : public CQTMediaExtraction {
 public:
  // What the converter's fill procedure works from; the procedure hands the
  // converter a pointer to `data`.
  struct SoundSource {
    ExtendedSoundComponentData data;
    Handle input;  // filled by GetMediaSample
    Media media;
    LONG currentTime;   // where the next fetch starts, media units
    LONG lastDuration;  // of the last fetch, media units
    LONG endTime;       // media duration
    LONG inputSize;     // bytes asked of one fetch
    BYTE moreData;      // 0 once the media is exhausted
    BYTE variableRate;  // compression id -2
    OSErr readFault;    // ioErr or eofErr once a fetch could not read the data; 0 otherwise
  };

  // The first sample description's sound format. A version 2 description
  // keeps placeholders in the version 0 fields; its own fields give the rate
  // (which 16.16 cannot hold from 65,536 Hz on), the channels, the bits and,
  // for 'lpcm', the linear PCM format flags.
  struct TrackSoundFormat {
    OSType dataFormat = 0;
    SInt16 numChannels = 0;
    SInt16 sampleSize = 0;
    UnsignedFixed sampleRate = 0;  // 0 when the rate does not fit
    double sampleRateHz = 0;
    SInt16 compressionID = 0;
    bool version2 = false;
    UInt32 formatFlags = 0;       // version 2 only
    UInt32 bytesPerFrame = 0;     // version 2 only: constBytesPerAudioPacket
    Ptr waveExtension = nullptr;  // NewPtr copy, or null
  };

  explicit CQTAudioDecoder(Movie theMovie);
  ~CQTAudioDecoder() override;

  // IMediaExtraction
  // Sets up the converter; always 0 (a failed set-up makes every
  // GetNextSample fail).
  LONG ExtractionBegin() override;
  // One converter buffer; *size in: capacity, out: bytes written. -1 once
  // the converter has nothing more, for a null buffer or capacity, or when
  // set-up failed.
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override;
  LONG ExtractionEnd() override;
  // Moves the next fetch; data already inside the converter comes out first.
  void SetPosition(LONGLONG *time) override;
  // format: a WAVEFORMATEX (18 bytes); -1 for a null or smaller block.
  LONG FillMediaInfo(void *format, LONG size, const GUID *subtype) override;
  LONG GetBufferSize() override { return kBufferSize; }
  void GetSupportedSubtypes(std::vector<GUID> *) override {}
  void SetOutputSubtype(const GUID *) override {}
  LONG MoveForward(LONGLONG *) override { return 0; }
  LONG SetSampleGrabber(IMediaSampleGrabber *grabber) override;

  static constexpr LONG kBufferSize = 65536;

  // Set-up results, for tests.
  LONG InputBufferSize() const { return source.inputSize; }
  UInt32 OutputBufferSize() const { return outputSize; }
  const SoundSource &Source() const { return source; }

  // Whether this track can be decoded here: 0 once the converter is
  // converting; noCodecErr when nothing on this system decodes its sound
  // format (the converter refused the format, or found no decoder for it);
  // otherwise the error that stopped set-up, or -1.
  LONG DecoderStatus() const;
  // The sound format of the track's first description (0 when unread).
  OSType DataFormat() const { return dataFormat; }

  static Boolean FillBufferDataProc(SoundComponentDataPtr *data, void *refCon);

 private:
  OSErr ReadTrackSoundFormat(TrackSoundFormat *format);
  void HandToGrabber(LONG bytes, LONGLONG start, LONGLONG length);

  SoundConverter converter = nullptr;
  bool converting = false;   // BeginConversion succeeded and the buffers exist
  OSErr setupError = noErr;  // what stopped set-up, when it stopped
  OSType dataFormat = 0;
  SoundSource source{};
  Ptr outputBuffer = nullptr;
  UInt32 outputSize = 0;
  WAVEFORMATEX outputFormat{};
  LONG sampleRate = 0;        // integer part of the track rate
  LONGLONG outputBase = 0;    // media time where output counting restarted
  LONGLONG outputFrames = 0;  // frames handed out since outputBase
  IMediaSampleGrabber *sampleGrabber = nullptr;
};
