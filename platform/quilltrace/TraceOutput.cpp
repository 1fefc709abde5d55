#include "TraceOutput.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "Utf8.h"

namespace quilltrace {

namespace {

// An environment variable as UTF-8 (empty when unset), and on Windows also
// as the system's own wide text, so that a path opens whatever its letters.
struct Variable {
  std::string utf8;
#if defined(_WIN32)
  std::wstring wide;
#endif
};

Variable ReadVariable(const char *name) {
  Variable v;
#if defined(_WIN32)
  wchar_t wideName[64] = {};
  for (size_t i = 0; name[i] != '\0' && i + 1 < std::size(wideName); ++i) wideName[i] = static_cast<wchar_t>(name[i]);
  const DWORD need = GetEnvironmentVariableW(wideName, nullptr, 0);
  if (need == 0) return v;
  v.wide.assign(need, L'\0');
  const DWORD got = GetEnvironmentVariableW(wideName, v.wide.data(), need);
  v.wide.resize(got < need ? got : 0);
  AppendUtf8(reinterpret_cast<const WCHAR *>(v.wide.c_str()), -1, &v.utf8);
#else
  if (const char *text = std::getenv(name)) v.utf8 = text;
#endif
  return v;
}

std::FILE *OpenForAppend(const Variable &path) {
#if defined(_WIN32)
  return _wfopen(path.wide.c_str(), L"ab");
#else
  return std::fopen(path.utf8.c_str(), "ab");
#endif
}

}  // namespace

TraceOutput &TraceOutput::Instance() {
  static TraceOutput instance;
  return instance;
}

TraceOutput::TraceOutput() { Configure(); }

TraceOutput::~TraceOutput() {
  std::lock_guard<Lock> lock(mutex_);
  CloseLocked();
}

void TraceOutput::CloseLocked() {
  if (file_ != nullptr && !toStderr_) std::fclose(file_);
  file_ = nullptr;
  toStderr_ = false;
  UpdateEnabledLocked();
}

void TraceOutput::Configure() {
  int level = 0;
  const Variable levelText = ReadVariable("QUILLTRACE_LEVEL");
  if (!levelText.utf8.empty()) {
    const char *text = levelText.utf8.c_str();
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && value >= INT_MIN && value <= INT_MAX) {
      level = static_cast<int>(value);
    }
  }
  minLevel_.store(level, std::memory_order_relaxed);

  const Variable target = ReadVariable("QUILLTRACE_FILE");
  std::lock_guard<Lock> lock(mutex_);
  CloseLocked();
  if (target.utf8.empty()) return;
  if (target.utf8 == "stderr") {
    file_ = stderr;
    toStderr_ = true;
    UpdateEnabledLocked();
    return;
  }
  file_ = OpenForAppend(target);
  UpdateEnabledLocked();
  if (file_ == nullptr) {
    std::fprintf(stderr, "quilltrace: cannot open QUILLTRACE_FILE \"%s\": %s\n", target.utf8.c_str(),
                 std::strerror(errno));
  }
}

void TraceOutput::Write(std::string_view line) {
  std::lock_guard<Lock> lock(mutex_);
  if (file_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
  if (capturing_) captured_.append(line);
}

bool TraceOutput::Enabled() const { return enabled_.load(std::memory_order_relaxed); }

void TraceOutput::CaptureBegin() {
  std::lock_guard<Lock> lock(mutex_);
  capturing_ = true;
  captured_.clear();
  UpdateEnabledLocked();
}

int TraceOutput::CaptureTake(char *buffer, int size) {
  std::lock_guard<Lock> lock(mutex_);
  const size_t need = captured_.size() + 1;
  if (need > static_cast<size_t>(INT_MAX)) return INT_MAX;
  if (buffer != nullptr && size > 0 && need <= static_cast<size_t>(size)) {
    std::memcpy(buffer, captured_.c_str(), need);
    captured_.clear();
  }
  return static_cast<int>(need);
}

void TraceOutput::CaptureEnd() {
  std::lock_guard<Lock> lock(mutex_);
  capturing_ = false;
  UpdateEnabledLocked();
  captured_.clear();
  captured_.shrink_to_fit();
}

}  // namespace quilltrace
