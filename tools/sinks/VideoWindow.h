// VideoWindow: the player's window on SDL2. It shows the latest picture
// handed to it, scaled to the window with its shape kept (bars fill the
// rest), in a window that can be resized and switched to full screen.
//
// Pictures come from the video renderer's streaming thread (Submit), which
// copies the frame and wakes the main thread with an SDL event; the main
// thread, which owns the window and pumps SDL's events, draws it
// (OnFrameEvent). Everything but Submit runs on the thread that opened the
// window.
//
// Ownership: the window owns its SDL window, renderer and texture, and the
// copies of the frames. The video renderer holds a plain pointer: the
// window must outlive the graph's streaming (stop the graph first).
// Threads: m_lock guards the pending frame; it is a leaf lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

union SDL_Event;
struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace tp::sinks {

// A picture layout the window shows, with its size.
struct VideoPicture {
  enum class Layout { None, I420, YV12, YUY2 };
  Layout layout = Layout::None;
  LONG width = 0;
  LONG height = 0;
  REFERENCE_TIME frameTime = 0;  // from the format; 0 when unknown
  // Bytes a frame of this picture holds: planar 4:2:0 at a pitch of the
  // width (chroma at half), YUY2 at twice the width.
  size_t Bytes() const;
};

class VideoWindow {
 public:
  // Opens a window of width x height titled title, or null with the
  // reason in *error (no display).
  static std::unique_ptr<VideoWindow> Open(const std::string &title, int width, int height, std::string *error);
  ~VideoWindow();
  VideoWindow(const VideoWindow &) = delete;
  VideoWindow &operator=(const VideoWindow &) = delete;

  // Any thread: keeps a copy of the frame (picture.Bytes() at data) shown
  // at movieTime and wakes the main thread.
  void Submit(const uint8_t *data, const VideoPicture &picture, REFERENCE_TIME movieTime);

  // Main thread. True when the event is Submit's wake-up.
  bool IsFrameEvent(const SDL_Event &event) const;
  // Draws the latest frame submitted, if a new one came.
  void OnFrameEvent();
  // Draws the current frame again (after a resize or an exposure).
  void Redraw();
  void ToggleFullScreen();
  bool FullScreen() const { return m_fullScreen; }
  // The movie time of the frame on show; -1 before the first.
  REFERENCE_TIME ShownTime() const { return m_shownTime; }
  LONGLONG FramesShown() const { return m_framesShown; }
  // Writes the picture's area of the window as it is shown (scaled, without
  // any bars) as a binary PPM (P6). false with the reason.
  bool SaveScreenshot(const std::string &path, std::string *error);

 private:
  VideoWindow() = default;
  bool Draw();

  SDL_Window *m_window = nullptr;
  SDL_Renderer *m_renderer = nullptr;
  SDL_Texture *m_texture = nullptr;
  VideoPicture m_shown;  // the texture's layout
  REFERENCE_TIME m_shownTime = -1;
  LONGLONG m_framesShown = 0;
  bool m_fullScreen = false;
  uint32_t m_eventType = 0;

  std::mutex m_lock;  // guards the three below
  std::vector<uint8_t> m_pending;
  VideoPicture m_pendingPicture;
  REFERENCE_TIME m_pendingTime = -1;
  bool m_hasPending = false;
  bool m_wakePosted = false;
  std::vector<uint8_t> m_frame;  // main thread: the frame on show
};

}  // namespace tp::sinks
