#include "sinks/VideoWindow.h"

#include <SDL.h>

#include <cstdio>

namespace tp::sinks {

size_t VideoPicture::Bytes() const {
  const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
  switch (layout) {
    case Layout::I420:
    case Layout::YV12:
      return w * h + 2 * (w / 2) * (h / 2);
    case Layout::YUY2:
      return w * 2 * h;
    case Layout::None:
      break;
  }
  return 0;
}

std::unique_ptr<VideoWindow> VideoWindow::Open(const std::string &title, int width, int height, std::string *error) {
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    *error = SDL_GetError();
    return nullptr;
  }
  // SDL falls back to drivers that draw nowhere when no display answers;
  // those count as no display unless asked for by name.
  const char *driver = SDL_GetCurrentVideoDriver();
  const char *asked = SDL_getenv("SDL_VIDEODRIVER");
  if (driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0) &&
      !(asked && SDL_strcasecmp(asked, driver) == 0)) {
    *error = std::string("SDL offers only its '") + driver + "' driver";
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return nullptr;
  }
  std::unique_ptr<VideoWindow> w(new VideoWindow());
  w->m_eventType = SDL_RegisterEvents(1);
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  w->m_window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                                 SDL_WINDOW_RESIZABLE);
  if (w->m_window) w->m_renderer = SDL_CreateRenderer(w->m_window, -1, 0);
  // Without a GPU the software renderer still draws.
  if (w->m_window && !w->m_renderer) w->m_renderer = SDL_CreateRenderer(w->m_window, -1, SDL_RENDERER_SOFTWARE);
  if (!w->m_window || !w->m_renderer || w->m_eventType == static_cast<uint32_t>(-1)) {
    *error = SDL_GetError();
    return nullptr;  // the destructor closes what was made
  }
  SDL_RenderSetLogicalSize(w->m_renderer, width, height);
  SDL_SetRenderDrawColor(w->m_renderer, 0, 0, 0, 255);
  SDL_RenderClear(w->m_renderer);
  SDL_RenderPresent(w->m_renderer);
  return w;
}

VideoWindow::~VideoWindow() {
  if (m_texture) SDL_DestroyTexture(m_texture);
  if (m_renderer) SDL_DestroyRenderer(m_renderer);
  if (m_window) SDL_DestroyWindow(m_window);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

void VideoWindow::Submit(const uint8_t *data, const VideoPicture &picture, REFERENCE_TIME movieTime) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.assign(data, data + picture.Bytes());
    m_pendingPicture = picture;
    m_pendingTime = movieTime;
    m_hasPending = true;
    // One wake-up at a time: a frame that replaces one not yet drawn needs
    // none of its own.
    post = !m_wakePosted;
    m_wakePosted = true;
  }
  if (post) {
    SDL_Event event{};
    event.type = m_eventType;
    if (SDL_PushEvent(&event) != 1) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_wakePosted = false;
    }
  }
}

bool VideoWindow::IsFrameEvent(const SDL_Event &event) const { return event.type == m_eventType; }

void VideoWindow::OnFrameEvent() {
  VideoPicture picture;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wakePosted = false;
    if (!m_hasPending) return;
    m_hasPending = false;
    m_frame.swap(m_pending);
    picture = m_pendingPicture;
    m_shownTime = m_pendingTime;
  }
  if (!m_texture || picture.layout != m_shown.layout || picture.width != m_shown.width ||
      picture.height != m_shown.height) {
    if (m_texture) SDL_DestroyTexture(m_texture);
    const Uint32 format = picture.layout == VideoPicture::Layout::YUY2 ? SDL_PIXELFORMAT_YUY2 : SDL_PIXELFORMAT_IYUV;
    m_texture = SDL_CreateTexture(m_renderer, format, SDL_TEXTUREACCESS_STREAMING, picture.width, picture.height);
    if (!m_texture) return;
    m_shown = picture;
    SDL_RenderSetLogicalSize(m_renderer, picture.width, picture.height);
  }
  const int w = picture.width, h = picture.height;
  const uint8_t *y = m_frame.data();
  if (picture.layout == VideoPicture::Layout::YUY2) {
    SDL_UpdateTexture(m_texture, nullptr, y, 2 * w);
  } else {
    const uint8_t *first = y + static_cast<size_t>(w) * h;
    const uint8_t *second = first + static_cast<size_t>(w / 2) * (h / 2);
    // YV12 keeps V before U.
    const bool vFirst = picture.layout == VideoPicture::Layout::YV12;
    SDL_UpdateYUVTexture(m_texture, nullptr, y, w, vFirst ? second : first, w / 2, vFirst ? first : second, w / 2);
  }
  ++m_framesShown;
  Draw();
  SDL_RenderPresent(m_renderer);
}

bool VideoWindow::Draw() {
  SDL_SetRenderDrawColor(m_renderer, 0, 0, 0, 255);
  SDL_RenderClear(m_renderer);
  return !m_texture || SDL_RenderCopy(m_renderer, m_texture, nullptr, nullptr) == 0;
}

void VideoWindow::Redraw() {
  Draw();
  SDL_RenderPresent(m_renderer);
}

void VideoWindow::ToggleFullScreen() {
  m_fullScreen = !m_fullScreen;
  SDL_SetWindowFullscreen(m_window, m_fullScreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
  Redraw();
}

bool VideoWindow::SaveScreenshot(const std::string &path, std::string *error) {
  // The picture's area of the window (without any bars).
  SDL_Rect area{};
  SDL_RenderGetViewport(m_renderer, &area);
  float sx = 1, sy = 1;
  SDL_RenderGetScale(m_renderer, &sx, &sy);
  const int w = static_cast<int>(area.w * sx + 0.5f), h = static_cast<int>(area.h * sy + 0.5f);
  if (w <= 0 || h <= 0) {
    *error = SDL_GetError();
    return false;
  }
  // What the window shows is drawn again and read before it is presented
  // (a presented buffer's contents are undefined).
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  Draw();
  const int got = SDL_RenderReadPixels(m_renderer, nullptr, SDL_PIXELFORMAT_RGB24, rgb.data(), w * 3);
  SDL_RenderPresent(m_renderer);
  if (got != 0) {
    *error = SDL_GetError();
    return false;
  }
  FILE *out = std::fopen(path.c_str(), "wb");
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", w, h);
  const bool ok = std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
  if (std::fclose(out) != 0 || !ok) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace tp::sinks
