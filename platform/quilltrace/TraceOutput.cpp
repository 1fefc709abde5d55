#include "TraceOutput.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quilltrace {

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
}

void TraceOutput::Configure() {
  int level = 0;
  if (const char *text = std::getenv("QUILLTRACE_LEVEL"); text != nullptr && *text != '\0') {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && value >= INT_MIN && value <= INT_MAX) {
      level = static_cast<int>(value);
    }
  }
  minLevel_.store(level, std::memory_order_relaxed);

  const char *target = std::getenv("QUILLTRACE_FILE");
  std::lock_guard<Lock> lock(mutex_);
  CloseLocked();
  if (target == nullptr || *target == '\0') return;
  if (std::strcmp(target, "stderr") == 0) {
    file_ = stderr;
    toStderr_ = true;
    return;
  }
  file_ = std::fopen(target, "ab");
  if (file_ == nullptr) {
    std::fprintf(stderr, "quilltrace: cannot open QUILLTRACE_FILE \"%s\": %s\n", target, std::strerror(errno));
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

bool TraceOutput::Enabled() {
  std::lock_guard<Lock> lock(mutex_);
  return file_ != nullptr || capturing_;
}

void TraceOutput::CaptureBegin() {
  std::lock_guard<Lock> lock(mutex_);
  capturing_ = true;
  captured_.clear();
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
  captured_.clear();
  captured_.shrink_to_fit();
}

}  // namespace quilltrace
