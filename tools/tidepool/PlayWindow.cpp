// tidepool play in a window: the video pin into the SDL video renderer and
// the audio pin into the SDL audio renderer, whose clock the graph manager
// picks as the graph's. The main thread pumps the window's events: it draws
// the frames the renderer hands over, and turns keys into IMediaControl
// (space) and IMediaSeeking (left and right, 5 s; PageUp and PageDown, the
// chapters of IAMExtendedSeeking) calls, and 'a' into IAMStreamSelect (the
// next sound track). Without a sound device the video plays alone on the
// system clock.
#include <windows.h>
#include <dshow.h>

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "GraphHost.h"
#include "GraphRun.h"
#include "HostCommands.h"
#include "PlayControls.h"
#include "SourceDescription.h"
#include "sinks/SdlAudioRenderer.h"
#include "sinks/SdlVideoRenderer.h"
#include "sinks/VideoWindow.h"

namespace tidepool {
namespace {

constexpr LONGLONG kSecond = 10000000;

template <class T>
struct Held {
  T *p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

// SDL's event subsystem for the life of the object.
struct SdlEvents {
  bool ok = SDL_InitSubSystem(SDL_INIT_EVENTS) == 0;
  ~SdlEvents() {
    if (ok) SDL_QuitSubSystem(SDL_INIT_EVENTS);
  }
};

struct ScriptAction {
  double at = 0;        // seconds after the run starts
  SDL_Keycode key = 0;  // a key to send, or
  std::string shot;     // a screenshot to save
};

// "SECONDS:ACTION,..."; false on anything it does not understand.
bool ParseScript(const std::string &text, std::vector<ScriptAction> *actions) {
  std::vector<ScriptItem> items;
  if (!SplitScript(text, &items)) return false;
  for (const ScriptItem &item : items) {
    ScriptAction a;
    a.at = item.at;
    const std::string &what = item.what;
    if (what.rfind("shot=", 0) == 0 && what.size() > 5) {
      a.shot = what.substr(5);
    } else if (what == "space") {
      a.key = SDLK_SPACE;
    } else if (what == "left") {
      a.key = SDLK_LEFT;
    } else if (what == "right") {
      a.key = SDLK_RIGHT;
    } else if (what == "f") {
      a.key = SDLK_f;
    } else if (what == "q") {
      a.key = SDLK_q;
    } else if (what == "escape") {
      a.key = SDLK_ESCAPE;
    } else if (what == "a") {
      a.key = SDLK_a;
    } else if (what == "pageup") {
      a.key = SDLK_PAGEUP;
    } else if (what == "pagedown") {
      a.key = SDLK_PAGEDOWN;
    } else {
      return false;
    }
    actions->push_back(a);
  }
  return true;
}

// The first type of the pin the renderer shows (the pin's order of
// preference), or null.
const AM_MEDIA_TYPE *ShowableType(const OutputPin &pin) {
  for (const AM_MEDIA_TYPE *t : pin.types) {
    if (tp::sinks::SdlVideoRenderer::Describe(t).layout != tp::sinks::VideoPicture::Layout::None) return t;
  }
  return nullptr;
}

class Player {
 public:
  Player(GraphHost &host, tp::sinks::VideoWindow *window, LONGLONG duration)
      : m_host(host), m_window(window), m_controls(host, duration) {}

  // Handles one event; false when the player is to quit.
  bool Handle(const SDL_Event &e) {
    if (e.type == SDL_QUIT) return false;
    if (m_window && m_window->IsFrameEvent(e)) {
      m_window->OnFrameEvent();
      return true;
    }
    if (e.type == SDL_WINDOWEVENT && m_window &&
        (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)) {
      m_window->Redraw();
      return true;
    }
    if (e.type != SDL_KEYDOWN) return true;
    switch (e.key.keysym.sym) {
      case SDLK_q:
      case SDLK_ESCAPE:
        return false;
      case SDLK_f:
        if (m_window) m_window->ToggleFullScreen();
        return true;
      case SDLK_SPACE:
        m_controls.TogglePause();
        return true;
      case SDLK_LEFT:
        m_controls.Seek(-kSeekStep);
        return true;
      case SDLK_RIGHT:
        m_controls.Seek(kSeekStep);
        return true;
      case SDLK_a:
        NextSoundStream();
        return true;
      case SDLK_PAGEUP:
        Chapter(false);
        return true;
      case SDLK_PAGEDOWN:
        Chapter(true);
        return true;
      default:
        return true;
    }
  }

  void Screenshot(const std::string &path) {
    std::string error;
    if (!m_window) {
      std::fprintf(stderr, "tidepool: no window for a screenshot\n");
    } else if (!m_window->SaveScreenshot(path, &error)) {
      std::fprintf(stderr, "tidepool: screenshot: %s\n", error.c_str());
    } else {
      std::printf("screenshot %s at %.3f s\n", path.c_str(), m_window->ShownTime() / 1e7);
      std::fflush(stdout);
    }
  }

 private:
  LONGLONG Position() { return m_controls.Position(); }

  // The sound stream after the one playing (round to the first), through
  // the source's IAMStreamSelect.
  void NextSoundStream() {
    std::vector<SelectableStream> sounds;
    for (SelectableStream &st : ListStreams(m_host.Source())) {
      if (st.kind == "sound") sounds.push_back(std::move(st));
    }
    if (sounds.size() < 2) return;
    size_t playing = 0;
    for (size_t i = 0; i < sounds.size(); ++i) {
      if (sounds[i].selected) playing = i;
    }
    const int next = static_cast<int>((playing + 1) % sounds.size());
    std::string error;
    if (!SelectSoundStream(m_host.Source(), next, &error)) {
      std::fprintf(stderr, "tidepool: %s\n", error.c_str());
      return;
    }
    std::printf("sound stream %d: %s\n", next, sounds[static_cast<size_t>(next)].name.c_str());
    std::fflush(stdout);
  }

  // To the next chapter's start, or back to the current one's (the one
  // before when the current one started less than a second ago).
  void Chapter(bool forward) {
    const std::vector<tidepool::Chapter> chapters = ListChapters(m_host.Source());
    if (chapters.empty()) return;
    const LONGLONG now = Position();
    LONGLONG target = -1;
    for (const tidepool::Chapter &c : chapters) {
      const LONGLONG start = static_cast<LONGLONG>(c.start * 1e7 + 0.5);
      if (forward && start > now) {
        target = start;
        break;
      }
      if (!forward && start < now - kSecond) target = start;
    }
    if (target < 0) target = forward ? -1 : 0;
    if (target < 0) return;
    m_controls.Seek(target - now);
  }

  GraphHost &m_host;
  tp::sinks::VideoWindow *m_window;
  PlayControls m_controls;
};

}  // namespace

int PlayInWindow(const PlayOptions &o) {
  std::vector<ScriptAction> script;
  if (!ParseScript(o.script, &script)) {
    std::cerr << "tidepool: --script wants SECONDS:ACTION,... (space left right f q escape shot=FILE)\n";
    return 2;
  }
  SdlEvents events;
  ComScope com;
  // The window outlives the graph, which is stopped when the host goes.
  std::unique_ptr<tp::sinks::VideoWindow> window;
  GraphHost host;
  if (!com.ok() || !host.Open(o.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  if (!events.ok) {
    std::cerr << "tidepool: no display (" << SDL_GetError() << "): playing into discarding renderers\n";
    return -1;
  }
  std::atomic<LONGLONG> reached{0};
  auto observe = [&reached](const tp::sinks::SampleRecord &r) {
    LONGLONG seen = reached.load();
    while (r.hasTime && r.stop > seen && !reached.compare_exchange_weak(seen, r.stop)) {
    }
  };

  Held<tp::sinks::SdlVideoRenderer> video;
  if (OutputPin *pin = host.Pin("Video")) {
    const AM_MEDIA_TYPE *type = ShowableType(*pin);
    if (!type) {
      std::cerr << "tidepool: " << o.file << ": the video pin offers no format the window shows\n";
      return 1;
    }
    const tp::sinks::VideoPicture picture = tp::sinks::SdlVideoRenderer::Describe(type);
    std::string error;
    const auto name = std::filesystem::u8path(o.file).filename().u8string();
    window = tp::sinks::VideoWindow::Open(std::string(name.begin(), name.end()), picture.width, picture.height, &error);
    if (!window) {
      std::cerr << "tidepool: no display (" << error << "): playing into discarding renderers\n";
      return -1;
    }
    video.p = tp::sinks::SdlVideoRenderer::Create(window.get());
    if (!video.p) {
      std::cerr << "tidepool: out of memory\n";
      return 1;
    }
    video.p->SetObserver(observe);
    if (!host.Connect(*pin, video.p, type->subtype)) {
      std::cerr << "tidepool: " << host.Error() << "\n";
      return 1;
    }
  }
  Held<tp::sinks::SdlAudioRenderer> audio;
  if (OutputPin *pin = host.Pin("Audio")) {
    WAVEFORMATEX format{};
    const AM_MEDIA_TYPE *type = pin->types.empty() ? nullptr : pin->types.front();
    if (type && type->pbFormat && type->cbFormat >= 16) {
      std::memcpy(&format, type->pbFormat, std::min<size_t>(type->cbFormat, sizeof format));
    }
    std::string error = "the audio pin offers no format";
    if (type) audio.p = tp::sinks::SdlAudioRenderer::Create(format, &error);
    if (!audio.p) {
      std::printf("no audio device (%s): playing the video alone on the system clock\n", error.c_str());
    } else {
      audio.p->SetObserver(observe);
      if (!host.Connect(*pin, audio.p, GUID_NULL)) {
        std::cerr << "tidepool: " << host.Error() << "\n";
        return 1;
      }
      std::printf("audio device: %s\n", audio.p->DeviceDescription().c_str());
    }
  }
  if (!video.p && !audio.p) {
    std::cerr << "tidepool: " << o.file << ": nothing to play\n";
    return 1;
  }
  std::fflush(stdout);

  LONGLONG duration = 0;
  host.Seeking()->GetDuration(&duration);
  InstallInterruptHandler();
  host.DrainEvents();
  HRESULT hr = host.Control()->Run();
  if (FAILED(hr)) {
    std::cerr << "tidepool: the graph does not run: " << GraphHost::Describe(hr) << "\n";
    return 1;
  }
  const auto begin = std::chrono::steady_clock::now();
  Player player(host, window.get(), duration);
  size_t next = 0;
  LONG code = 0;
  HRESULT failure = S_OK;
  int status = 0;
  bool quit = false;
  while (!quit) {
    SDL_Event e;
    if (SDL_WaitEventTimeout(&e, 10)) {
      do {
        if (!player.Handle(e)) quit = true;
      } while (!quit && SDL_PollEvent(&e));
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (; next < script.size() && script[next].at <= wall; ++next) {
      if (!script[next].shot.empty()) {
        player.Screenshot(script[next].shot);
        continue;
      }
      // The key goes through the event queue, as a key press would.
      SDL_Event key{};
      key.type = SDL_KEYDOWN;
      key.key.state = SDL_PRESSED;
      key.key.keysym.sym = script[next].key;
      SDL_PushEvent(&key);
    }
    if (quit) break;
    if ((code = host.WaitForEnd(0, &failure)) != 0) break;
    if (Interrupted()) {
      status = 130;
      break;
    }
  }
  const double wallTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  host.Control()->Stop();
  if (status == 0 && !quit && code == EC_ERRORABORT) {
    std::fprintf(stderr, "tidepool: playback stopped at %.3f s: %s\n", reached.load() / 1e7,
                 GraphHost::Describe(failure).c_str());
    return 1;
  }
  if (status == 0 && !quit && code != EC_COMPLETE) {
    std::cerr << "tidepool: playback failed (event " << code << ")\n";
    return 1;
  }
  std::printf("played %.3f s of %.3f s in %.3f s\n", reached.load() / 1e7, duration / 1e7, wallTime);
  double videoMean = 0, soundMean = 0;
  if (video.p) {
    const auto s = video.p->GetStats();
    std::printf("video: %lld frames rendered, %lld late, %lld dropped, worst %.1f ms late\n",
                static_cast<long long>(s.rendered), static_cast<long long>(s.late), static_cast<long long>(s.dropped),
                s.maxLateness / 1e4);
    videoMean = s.rendered ? s.totalLateness / 1e4 / s.rendered : 0;
  }
  if (audio.p) {
    const auto s = audio.p->GetSoundStats();
    std::printf("audio: %lld buffers rendered, %lld late, worst %.1f ms late\n", static_cast<long long>(s.buffers),
                static_cast<long long>(s.late), s.maxLateness / 1e4);
    soundMean = s.buffers ? s.totalLateness / 1e4 / s.buffers : 0;
  }
  if (video.p && audio.p) {
    // How far the video trailed the sound on average, on the sound's clock.
    std::printf("A/V offset: %.1f ms\n", videoMean - soundMean);
  }
  return status;
}

}  // namespace tidepool
