// OutputDebugString: where the text goes is chosen by the environment
// variable TP_DEBUG_OUTPUT at each call: "stderr" for standard error, any
// other non-empty value names a file that the text is appended to, and
// without it the text is dropped, as on Windows with no debugger attached.
// The text is written as given (no line end is added), UTF-8 for wide text.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "win32/Utf16.h"

namespace {

// Leaf lock: keeps lines from concurrent callers whole.
std::mutex &outputMutex() {
  static std::mutex *m = new std::mutex;
  return *m;
}

void writeAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void emit(const char *text, size_t size) {
  const char *target = std::getenv("TP_DEBUG_OUTPUT");
  if (target == nullptr || target[0] == 0 || size == 0) return;
  std::lock_guard<std::mutex> lock(outputMutex());
  if (std::strcmp(target, "stderr") == 0) {
    writeAll(STDERR_FILENO, text, size);
    return;
  }
  const int fd = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, text, size);
  ::close(fd);
}

}  // namespace

EXTERN_C void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  emit(lpOutputString, std::strlen(lpOutputString));
}

EXTERN_C void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  const std::string text =
      tp::win32::utf16ToUtf8(std::u16string_view(lpOutputString, tp::win32::utf16Length(lpOutputString)));
  emit(text.data(), text.size());
}
