#include "container/DataFile.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tp::qt {
namespace {

#ifdef _WIN32

// Native paths reach the runtime in the system's ANSI code page, as the
// engine narrows them (and as the classic path calls take them).
std::wstring Widen(const std::string &ansi) {
  if (ansi.empty()) return {};
  int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), int(ansi.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), int(ansi.size()), w.data(), n);
  return w;
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

intptr_t OpenNative(const std::string &path) {
  std::wstring w = Widen(path);
  if (w.empty()) return -1;
  HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

void CloseNative(intptr_t h) { ::CloseHandle(AsHandle(h)); }

bool ExistsNative(const std::string &path) {
  std::wstring w = Widen(path);
  return !w.empty() && ::GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#else

intptr_t OpenNative(const std::string &path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

void CloseNative(intptr_t h) { ::close(int(h)); }

bool ExistsNative(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

#endif

// Where "/" is the separator, a path spelt with "\" is tried that way too.
std::string SlashSpelling(const std::string &path) {
  std::string alt = path;
  std::replace(alt.begin(), alt.end(), '\\', '/');
  return alt;
}

}  // namespace

DataFile::~DataFile() { Close(); }

DataFile::DataFile(DataFile &&other) noexcept
    : handle_(std::exchange(other.handle_, -1)), fault_(std::exchange(other.fault_, Fault{})) {}

DataFile &DataFile::operator=(DataFile &&other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    fault_ = std::exchange(other.fault_, Fault{});
  }
  return *this;
}

DataFile::Fault DataFile::ParseFault(const char *text) {
  Fault fault;
  if (text == nullptr) return fault;
  const std::string value(text);
  Fault::Kind kind = Fault::Kind::kNone;
  size_t digits = 0;
  if (value.rfind("eof@", 0) == 0) {
    kind = Fault::Kind::kEnd;
    digits = 4;
  } else if (value.rfind("io@", 0) == 0) {
    kind = Fault::Kind::kIo;
    digits = 3;
  } else {
    return fault;
  }
  if (digits == value.size() || value.size() - digits > 19) return fault;
  uint64_t at = 0;
  for (size_t i = digits; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return fault;
    at = at * 10 + uint64_t(value[i] - '0');
  }
  fault.kind = kind;
  fault.at = at;
  return fault;
}

bool DataFile::Open(const std::string &path) {
  Close();
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  handle_ = OpenNative(path);
  if (handle_ < 0 && path.find('\\') != std::string::npos) handle_ = OpenNative(SlashSpelling(path));
  fault_ = ParseFault(std::getenv("TP_DATAFILE_FAULT"));
  return handle_ >= 0;
}

void DataFile::Close() {
  if (handle_ >= 0) CloseNative(handle_);
  handle_ = -1;
}

bool DataFile::IsOpen() const { return handle_ >= 0; }

bool DataFile::Exists(const std::string &path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  return ExistsNative(path) || (path.find('\\') != std::string::npos && ExistsNative(SlashSpelling(path)));
}

std::string DataFile::Resolve(const std::string &path) {
  if (path.find('\\') == std::string::npos || path.find('\0') != std::string::npos || ExistsNative(path)) return path;
  std::string alt = SlashSpelling(path);
  return ExistsNative(alt) ? alt : path;
}

#ifdef _WIN32

bool DataFile::IsRegular() const {
  if (handle_ < 0) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(AsHandle(handle_), &info)) return false;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && ::GetFileType(AsHandle(handle_)) == FILE_TYPE_DISK;
}

int64_t DataFile::Size() const {
  LARGE_INTEGER size{};
  if (handle_ < 0 || !::GetFileSizeEx(AsHandle(handle_), &size)) return -1;
  return int64_t(size.QuadPart);
}

int64_t DataFile::ReadNative(uint64_t pos, void *dst, size_t n) const {
  if (handle_ < 0) return -1;
  // One ReadFile moves at most a DWORD's worth; the offset rides in the
  // OVERLAPPED record, so the handle's own position is never shared state.
  DWORD want = DWORD(std::min<size_t>(n, std::numeric_limits<DWORD>::max() / 2));
  OVERLAPPED at{};
  at.Offset = DWORD(pos & 0xffffffffu);
  at.OffsetHigh = DWORD(pos >> 32);
  DWORD got = 0;
  if (!::ReadFile(AsHandle(handle_), dst, want, &got, &at)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return int64_t(got);
}

#else

bool DataFile::IsRegular() const {
  struct stat st {};
  return handle_ >= 0 && ::fstat(int(handle_), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t DataFile::Size() const {
  struct stat st {};
  if (handle_ < 0 || ::fstat(int(handle_), &st) != 0) return -1;
  return int64_t(st.st_size);
}

int64_t DataFile::ReadNative(uint64_t pos, void *dst, size_t n) const {
  if (handle_ < 0 || pos > uint64_t(std::numeric_limits<off_t>::max())) return -1;
  for (;;) {
    ssize_t r = ::pread(int(handle_), dst, n, off_t(pos));
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : int64_t(r);
  }
}

#endif

int64_t DataFile::ReadSome(uint64_t pos, void *dst, size_t n) const {
  if (fault_.kind != Fault::Kind::kNone) {
    if (pos >= fault_.at) return fault_.kind == Fault::Kind::kEnd ? 0 : -1;
    n = size_t(std::min<uint64_t>(n, fault_.at - pos));
  }
  return ReadNative(pos, dst, n);
}

OSErr DataFile::ReadAt(uint64_t pos, void *dst, size_t n) const {
  auto *p = static_cast<uint8_t *>(dst);
  while (n > 0) {
    int64_t r = ReadSome(pos, p, n);
    if (r < 0) return ioErr;
    if (r == 0) return eofErr;
    p += r;
    pos += uint64_t(r);
    n -= size_t(r);
  }
  return noErr;
}

}  // namespace tp::qt
