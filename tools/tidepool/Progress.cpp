#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define TP_ISATTY _isatty
#define TP_FILENO _fileno
#else
#include <unistd.h>
#define TP_ISATTY isatty
#define TP_FILENO fileno
#endif

namespace tidepool {
namespace {
int g_forced = -1;
}

void Progress::SetTerminalForTesting(bool terminal) { g_forced = terminal ? 1 : 0; }

Progress::Progress(double duration)
    : m_duration(duration),
      m_enabled(g_forced >= 0 ? g_forced == 1 : TP_ISATTY(TP_FILENO(stderr)) != 0),
      m_begin(std::chrono::steady_clock::now()),
      m_last(m_begin) {}

Progress::~Progress() {
  if (m_drawn) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

void Progress::Update(double position) {
  if (!m_enabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (m_drawn && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  const double elapsed = std::chrono::duration<double>(now - m_begin).count();
  const double fraction = m_duration > 0 ? std::min(1.0, std::max(0.0, position / m_duration)) : 0;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '-');
  std::fprintf(stderr, "\r[%s] %7.2f / %.2f s  %5.2fx", bar.c_str(), position, m_duration,
               elapsed > 0 ? position / elapsed : 0.0);
  std::fflush(stderr);
  m_drawn = true;
}

}  // namespace tidepool
