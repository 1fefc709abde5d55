#include "sinks/SdlAudioRenderer.h"

#include <uuids.h>

#include <SDL.h>

#include <chrono>
#include <cstring>
#include <new>

namespace tp::sinks {
namespace {

constexpr WORD kFormatFloat = 3;  // WAVE_FORMAT_IEEE_FLOAT

// The SDL sample format for a wave format, and its name; false when the
// device cannot take it.
bool DeviceFormat(const WAVEFORMATEX &f, SDL_AudioFormat *format, const char **name) {
  if (f.nChannels < 1 || f.nChannels > 8 || f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 384000 ||
      f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) {
    return false;
  }
  if (f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 8) {
    *format = AUDIO_U8;
    *name = "u8";
  } else if (f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 16) {
    *format = AUDIO_S16LSB;
    *name = "s16";
  } else if (f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 32) {
    *format = AUDIO_S32LSB;
    *name = "s32";
  } else if (f.wFormatTag == kFormatFloat && f.wBitsPerSample == 32) {
    *format = AUDIO_F32LSB;
    *name = "f32";
  } else {
    return false;
  }
  return true;
}

}  // namespace

SdlAudioRenderer *SdlAudioRenderer::Create(const WAVEFORMATEX &format, std::string *error) {
  SDL_AudioFormat sdlFormat = 0;
  const char *formatName = "";
  if (!DeviceFormat(format, &sdlFormat, &formatName)) {
    *error = "the sound's format is not one the device takes";
    return nullptr;
  }
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    *error = SDL_GetError();
    return nullptr;
  }
  AudioClock *clock = AudioClock::Create(format.nSamplesPerSec);
  auto *r = clock ? new (std::nothrow) SdlAudioRenderer(format, clock) : nullptr;
  if (clock) clock->Release();
  if (!r) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    *error = "out of memory";
    return nullptr;
  }
  r->AddRef();
  SDL_AudioSpec want{}, have{};
  want.freq = static_cast<int>(format.nSamplesPerSec);
  want.format = sdlFormat;
  want.channels = static_cast<Uint8>(format.nChannels);
  want.samples = 1024;
  want.callback = &SdlAudioRenderer::Callback;
  want.userdata = r;
  // No changes allowed: SDL converts to whatever the hardware wants, and the
  // clock counts frames of this format.
  r->m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (r->m_device == 0) {
    *error = SDL_GetError();
    r->Release();
    return nullptr;
  }
  const char *driver = SDL_GetCurrentAudioDriver();
  r->m_description = std::string(driver ? driver : "?") + ", " + std::to_string(have.freq) + " Hz, " +
                     std::to_string(have.channels) + " channels, " + formatName;
  return r;
}

SdlAudioRenderer::SdlAudioRenderer(const WAVEFORMATEX &format, AudioClock *clock)
    : SinkBase(CLSID_SdlAudioRenderer, TEXT("In")),
      m_format(format),
      m_clock(clock),
      m_timeline(format.nBlockAlign, format.wBitsPerSample == 8 ? 0x80 : 0) {
  m_clock->AddRef();
}

SdlAudioRenderer::~SdlAudioRenderer() {
  // Closing waits for a callback under way; none comes after.
  if (m_device) SDL_CloseAudioDevice(m_device);
  m_clock->Release();
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void SdlAudioRenderer::Callback(void *user, uint8_t *stream, int length) {
  auto *self = static_cast<SdlAudioRenderer *>(user);
  const uint32_t frameBytes = self->m_format.nBlockAlign;
  const int64_t frames = length / static_cast<int>(frameBytes);
  {
    std::lock_guard<std::mutex> lock(self->m_lock);
    self->m_timeline.Pull(stream, frames);
    self->m_clock->Consumed(frames);
  }
  const size_t filled = static_cast<size_t>(frames) * frameBytes;
  if (filled < static_cast<size_t>(length)) {
    std::memset(stream + filled, self->m_format.wBitsPerSample == 8 ? 0x80 : 0, static_cast<size_t>(length) - filled);
  }
  self->m_changed.notify_all();
}

SdlAudioRenderer::SoundStats SdlAudioRenderer::GetSoundStats() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_stats;
}

HRESULT SdlAudioRenderer::CheckMediaType(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Audio) || !IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) ||
      !pmt->pbFormat || pmt->cbFormat < 16) {
    return S_FALSE;
  }
  WAVEFORMATEX f{};
  std::memcpy(&f, pmt->pbFormat, pmt->cbFormat < sizeof f ? pmt->cbFormat : sizeof f);
  const bool same = f.wFormatTag == m_format.wFormatTag && f.nChannels == m_format.nChannels &&
                    f.nSamplesPerSec == m_format.nSamplesPerSec && f.wBitsPerSample == m_format.wBitsPerSample &&
                    f.nBlockAlign == m_format.nBlockAlign;
  return same ? S_OK : S_FALSE;
}

HRESULT SdlAudioRenderer::QueryExtraInterface(REFIID riid, void **ppv) {
  if (IsEqualIID(riid, IID_IReferenceClock)) return m_clock->QueryInterface(riid, ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

bool SdlAudioRenderer::OnOwnClock() {
  IReferenceClock *clock = nullptr;
  if (FAILED(GetSyncSource(&clock)) || !clock) return false;
  const bool own = clock == static_cast<IReferenceClock *>(m_clock);
  clock->Release();
  return own;
}

HRESULT SdlAudioRenderer::OnStartStreaming() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_stopped = false;
  m_flushing = false;
  m_timeline.Clear();
  m_stats = SoundStats{};
  return S_OK;
}

STDMETHODIMP SdlAudioRenderer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopped = true;
    m_timeline.Clear();
  }
  m_changed.notify_all();
  SDL_PauseAudioDevice(m_device, 1);
  return Renderer::Stop();
}

STDMETHODIMP SdlAudioRenderer::Pause() {
  const HRESULT hr = Renderer::Pause();
  SDL_PauseAudioDevice(m_device, 1);
  return hr;
}

STDMETHODIMP SdlAudioRenderer::Run(REFERENCE_TIME tStart) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_runStart = tStart;
  }
  const HRESULT hr = Renderer::Run(tStart);
  if (SUCCEEDED(hr)) SDL_PauseAudioDevice(m_device, 0);
  return hr;
}

void SdlAudioRenderer::OnBeginFlush() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_flushing = true;
    m_timeline.Clear();
  }
  m_changed.notify_all();
}

void SdlAudioRenderer::OnEndFlush() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_flushing = false;
  m_timeline.Clear();
}

HRESULT SdlAudioRenderer::Consume(IMediaSample *pSample, const BYTE *data, LONG length) {
  const uint32_t rate = m_format.nSamplesPerSec;
  const int64_t frames = length / static_cast<LONG>(m_format.nBlockAlign);
  if (frames <= 0) return S_OK;
  REFERENCE_TIME start = 0, stop = 0;
  const bool placed = SUCCEEDED(pSample->GetTime(&start, &stop)) && OnOwnClock();
  const int64_t limit = static_cast<int64_t>(rate) * kQueueLimitMs / 1000;
  const int64_t tolerance = static_cast<int64_t>(rate) * kToleranceMs / 1000;
  std::unique_lock<std::mutex> lock(m_lock);
  int64_t at = 0;
  m_changed.wait(lock, [&] {
    if (m_flushing || m_stopped) return true;
    at = placed ? m_clock->FrameAt(m_runStart + start) : m_timeline.End();
    return m_timeline.Queued() <= limit && at - m_timeline.End() <= limit;
  });
  // A flush or a stop drops the buffer, as it drops what is queued.
  if (m_flushing || m_stopped) return S_OK;
  const int64_t end = m_timeline.End();
  const PcmTimeline::Placement p = m_timeline.Place(at, data, frames, tolerance, limit);
  const REFERENCE_TIME lateness = end > at ? m_clock->TimeOfFrame(end) - m_clock->TimeOfFrame(at) : 0;
  ++m_stats.buffers;
  if (p.skipped > 0) ++m_stats.late;
  if (lateness > m_stats.maxLateness) m_stats.maxLateness = lateness;
  m_stats.totalLateness += lateness;
  return S_OK;
}

void SdlAudioRenderer::OnEndOfStream() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait(lock, [&] { return m_flushing || m_stopped || m_timeline.Queued() == 0; });
  // The device has taken the last sound; it has been heard once the clock
  // has crossed it (the clock stands while the device is paused).
  const REFERENCE_TIME heard = m_clock->TimeOfFrame(m_timeline.End());
  REFERENCE_TIME now = 0;
  while (!m_flushing && !m_stopped && SUCCEEDED(m_clock->GetTime(&now)) && now < heard) {
    m_changed.wait_for(lock, std::chrono::milliseconds(5));
  }
}

}  // namespace tp::sinks
