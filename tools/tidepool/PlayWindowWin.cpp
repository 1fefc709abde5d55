// tidepool play on Windows: the graph manager renders each pin with the
// system's own renderers (a video renderer's window, the DirectSound
// renderer), the sound renderer's clock becomes the graph's clock, and the
// keys of the Linux player work in the video window: space pauses and
// resumes, left and right seek 5 s, f toggles full screen, q or Escape
// quits. The video window sends its keys to a hidden window of ours (its
// message drain), whose queue this thread reads between polls of the
// graph's events.
#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "GraphHost.h"
#include "GraphRun.h"
#include "HostCommands.h"
#include "PlayControls.h"

namespace tidepool {
namespace {

struct ScriptKey {
  double at = 0;  // seconds after the graph starts running
  WPARAM key = 0;
};

// "SECONDS:KEY,..." with the keys space, left, right, f, q, escape. false
// when malformed (screenshots are the Linux player's alone).
bool ParseScript(const std::string &text, std::vector<ScriptKey> *keys) {
  std::vector<ScriptItem> items;
  if (!SplitScript(text, &items)) return false;
  for (const ScriptItem &item : items) {
    ScriptKey k;
    k.at = item.at;
    const std::string &what = item.what;
    if (what == "space") {
      k.key = VK_SPACE;
    } else if (what == "left") {
      k.key = VK_LEFT;
    } else if (what == "right") {
      k.key = VK_RIGHT;
    } else if (what == "f") {
      k.key = 'F';
    } else if (what == "q") {
      k.key = 'Q';
    } else if (what == "escape") {
      k.key = VK_ESCAPE;
    } else {
      return false;
    }
    keys->push_back(k);
  }
  return true;
}

template <class T>
struct Held {
  T *p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

// The hidden window the video window drains its keys into.
class KeyWindow {
 public:
  KeyWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TidepoolPlayKeys";
    RegisterClassW(&wc);
    m_hwnd = CreateWindowExW(0, wc.lpszClassName, L"tidepool", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~KeyWindow() {
    if (m_hwnd) DestroyWindow(m_hwnd);
  }
  KeyWindow(const KeyWindow &) = delete;
  KeyWindow &operator=(const KeyWindow &) = delete;
  HWND hwnd() const { return m_hwnd; }

 private:
  HWND m_hwnd = nullptr;
};

// The filter on the other side of pin, or null; counted.
IBaseFilter *Downstream(IPin *pin) {
  Held<IPin> peer;
  if (FAILED(pin->ConnectedTo(&peer.p)) || !peer.p) return nullptr;
  PIN_INFO info{};
  if (FAILED(peer.p->QueryPinInfo(&info))) return nullptr;
  return info.pFilter;
}

class Player {
 public:
  Player(GraphHost &host, IVideoWindow *window, LONGLONG duration) : m_window(window), m_controls(host, duration) {}

  // One key; false when the player is to quit.
  bool Key(WPARAM key) {
    switch (key) {
      case 'Q':
      case VK_ESCAPE:
        return false;
      case 'F':
        if (m_window) {
          long full = OAFALSE;
          m_window->get_FullScreenMode(&full);
          m_window->put_FullScreenMode(full == OAFALSE ? OATRUE : OAFALSE);
        }
        return true;
      case VK_SPACE:
        m_controls.TogglePause();
        return true;
      case VK_LEFT:
        m_controls.Seek(-kSeekStep);
        return true;
      case VK_RIGHT:
        m_controls.Seek(kSeekStep);
        return true;
      default:
        return true;
    }
  }

  LONGLONG Position() { return m_controls.Position(); }

 private:
  IVideoWindow *m_window;
  PlayControls m_controls;
};

}  // namespace

int PlayInWindow(const PlayOptions &o) {
  std::vector<ScriptKey> script;
  if (!ParseScript(o.script, &script)) {
    std::cerr << "tidepool: --script wants SECONDS:KEY,... (space left right f q escape)\n";
    return 2;
  }
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(o.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  // As players do: the graph manager picks the renderers for each pin.
  bool video = false, audio = false;
  Held<IReferenceClock> soundClock;
  for (OutputPin &pin : host.Pins()) {
    const HRESULT hr = host.Graph()->Render(pin.pin);
    if (pin.name == "Video") {
      if (FAILED(hr)) {
        std::cerr << "tidepool: the video cannot be shown: " << GraphHost::Describe(hr) << "\n";
        return 1;
      }
      video = true;
    } else if (FAILED(hr)) {
      std::printf("no audio device (%s): playing the video alone on the system clock\n",
                  GraphHost::Describe(hr).c_str());
    } else {
      audio = true;
      Held<IBaseFilter> renderer;
      renderer.p = Downstream(pin.pin);
      if (renderer.p) renderer.p->QueryInterface(IID_IReferenceClock, reinterpret_cast<void **>(&soundClock.p));
    }
  }
  if (!video && !audio) {
    std::cerr << "tidepool: " << o.file << ": nothing to play\n";
    return 1;
  }
  if (soundClock.p) {
    Held<IMediaFilter> graph;
    host.Graph()->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&graph.p));
    const HRESULT hr = graph.p ? graph.p->SetSyncSource(soundClock.p) : E_NOINTERFACE;
    if (FAILED(hr)) std::fprintf(stderr, "tidepool: the sound renderer's clock: %s\n", GraphHost::Describe(hr).c_str());
  }

  KeyWindow keys;
  Held<IVideoWindow> window;
  if (video) {
    host.Graph()->QueryInterface(IID_IVideoWindow, reinterpret_cast<void **>(&window.p));
    if (window.p) {
      const std::wstring name = std::filesystem::u8path(o.file).filename().wstring();
      if (BSTR caption = SysAllocString(name.c_str())) {
        window.p->put_Caption(caption);
        SysFreeString(caption);
      }
      if (keys.hwnd()) window.p->put_MessageDrain(reinterpret_cast<OAHWND>(keys.hwnd()));
      window.p->put_Visible(OATRUE);
    }
  }
  std::fflush(stdout);

  LONGLONG duration = 0;
  host.Seeking()->GetDuration(&duration);
  InstallInterruptHandler();
  host.DrainEvents();
  const HRESULT hr = host.Control()->Run();
  if (FAILED(hr)) {
    std::cerr << "tidepool: the graph does not run: " << GraphHost::Describe(hr) << "\n";
    return 1;
  }
  const auto begin = std::chrono::steady_clock::now();
  Player player(host, window.p, duration);
  size_t next = 0;
  LONG code = 0;
  int status = 0;
  bool quit = false;
  while (!quit) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG msg;
    while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_KEYDOWN && msg.hwnd == keys.hwnd()) {
        quit = !player.Key(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    // A scripted key goes through the queue, as a key press would.
    for (; next < script.size() && script[next].at <= wall; ++next) {
      PostMessageW(keys.hwnd(), WM_KEYDOWN, script[next].key, 0);
    }
    if (quit) break;
    // The window closed by its user ends the graph with EC_USERABORT.
    if ((code = host.WaitForEnd(0)) != 0) break;
    if (Interrupted()) {
      status = 130;
      break;
    }
  }
  const double wallTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const LONGLONG reached = player.Position();
  host.Control()->Stop();
  if (window.p) {
    // The renderer's window must not keep sending to ours once it goes.
    window.p->put_Visible(OAFALSE);
    window.p->put_MessageDrain(0);
  }
  if (status == 0 && !quit && code != EC_COMPLETE && code != EC_USERABORT) {
    std::cerr << "tidepool: playback failed (event " << code << ")\n";
    return 1;
  }
  std::printf("played %.3f s of %.3f s in %.3f s\n", reached / 1e7, duration / 1e7, wallTime);
  std::printf("clock: %s\n", soundClock.p ? "the sound renderer" : "the graph's own");
  return status;
}

}  // namespace tidepool
