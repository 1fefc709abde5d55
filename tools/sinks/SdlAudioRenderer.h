// SdlAudioRenderer: plays the PCM it receives on the default sound device
// through SDL2, and is the graph's reference clock: QueryInterface answers
// IReferenceClock with an AudioClock that advances by the sound the device
// has consumed, so a graph manager that prefers a renderer's clock runs
// everything on the sound.
//
// Each buffer is placed on the device's timeline (PcmTimeline) at the frame
// where its stream time falls on that clock (the run's start time plus the
// sample's start): early buffers follow silence, late ones lose what has
// passed. At most kQueueLimit of sound waits in the queue; Receive blocks
// until the device makes room. The device plays while the filter runs and
// pauses otherwise (the clock stands still with it); a flush or a stop
// drops the queue; end of stream is passed on once the queue has been
// played and the clock has crossed its end.
//
// The device is opened by Create with the format the audio pin offers, and
// the pin takes only that format.
//
// Ownership: COM reference counting; the renderer owns its device and holds
// one reference on its clock. Threads: those of the renderer base, and
// SDL's audio thread (the device callback). Lock order: the base's
// m_receiveLock, then m_lock, then the clock's lock; the callback takes
// m_lock then the clock's.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sinks/AudioClock.h"
#include "sinks/PcmTimeline.h"
#include "sinks/SinkBase.h"

namespace tp::sinks {

// {7C1D9A20-5B3E-4F61-9A8B-2C3D4E5F6074}
inline constexpr GUID CLSID_SdlAudioRenderer = {
    0x7C1D9A20, 0x5B3E, 0x4F61, {0x9A, 0x8B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x74}};

class SdlAudioRenderer final : public SinkBase {
 public:
  // Sound waiting in the queue at most, and the drift within which a buffer
  // simply follows the one before (milliseconds).
  static constexpr int kQueueLimitMs = 250;
  static constexpr int kToleranceMs = 20;

  // Opens the default device for format (integer PCM of 8, 16 or 32 bits,
  // or 32-bit float; 1 to 8 channels). A renderer with one reference for
  // the caller, or null with the reason in *error (no sound device, or a
  // format the device cannot take).
  static SdlAudioRenderer *Create(const WAVEFORMATEX &format, std::string *error);

  // What the device was opened with, for one line of report:
  // "DRIVER, RATE Hz, N channels, FORMAT".
  const std::string &DeviceDescription() const { return m_description; }

  struct SoundStats {
    LONGLONG buffers = 0;
    LONGLONG late = 0;                 // buffers that lost frames as past
    REFERENCE_TIME maxLateness = 0;    // how late the latest came
    REFERENCE_TIME totalLateness = 0;  // summed over buffers
  };
  SoundStats GetSoundStats();

  // IMediaFilter: the device follows the filter's state.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;

 protected:
  ~SdlAudioRenderer() override;
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) override;
  HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) override;
  HRESULT OnStartStreaming() override;
  void OnEndOfStream() override;
  void OnBeginFlush() override;
  void OnEndFlush() override;
  HRESULT QueryExtraInterface(REFIID riid, void **ppv) override;

 private:
  SdlAudioRenderer(const WAVEFORMATEX &format, AudioClock *clock);
  static void Callback(void *self, uint8_t *stream, int length);
  // Whether the graph's clock is this renderer's.
  bool OnOwnClock();

  WAVEFORMATEX m_format;
  uint32_t m_device = 0;  // SDL_AudioDeviceID; 0 when not open
  AudioClock *m_clock;    // counted
  std::string m_description;

  // Guards every field below.
  std::mutex m_lock;
  std::condition_variable m_changed;  // the device took sound, or a wait must end
  PcmTimeline m_timeline;
  REFERENCE_TIME m_runStart = 0;  // the run's stream time zero on the clock
  bool m_flushing = false;
  bool m_stopped = true;
  SoundStats m_stats;
};

}  // namespace tp::sinks
