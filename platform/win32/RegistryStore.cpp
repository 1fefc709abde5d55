// The registry's file store: cached reads, locked read-modify-write.
#include "win32/RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>

#include "win32/Environment.h"

namespace tp::win32 {
namespace {

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  struct timespec ctime = {};
  bool operator==(const FileIdentity &o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileIdentity IdentityOf(const struct stat &st) {
  return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// The last content read or written, for one path.
struct Cache {
  std::string path;
  bool missing = false;  // the file did not exist
  FileIdentity identity;
  std::shared_ptr<const RegistryTree> tree;
};

// Never destroyed: the registry may be used by other modules' destructors
// while the process exits.
std::mutex &StoreMutex() {
  static auto *m = new std::mutex;  // lock order: store mutex, then the file's flock
  return *m;
}
Cache &TheCache() {
  static auto *c = new Cache;  // guarded by StoreMutex()
  return *c;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool ReadAll(int fd, size_t size, std::string &out) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, out.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return true;
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void MakeParentFolders(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    ::mkdir(path.substr(0, slash).c_str(), 0755);  // existing folders are fine
}

// Brings the cache up to date with the file at `path`. Caller holds
// StoreMutex().
LONG Refresh(const std::string &path) {
  Cache &cache = TheCache();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT && errno != ENOTDIR) return ERROR_CANTREAD;
    if (cache.path != path || !cache.missing || !cache.tree) {
      cache.path = path;
      cache.missing = true;
      cache.identity = {};
      cache.tree = std::make_shared<RegistryTree>();
    }
    return ERROR_SUCCESS;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_CANTREAD;
  const FileIdentity identity = IdentityOf(st);
  if (cache.path == path && !cache.missing && cache.tree && cache.identity == identity) return ERROR_SUCCESS;
  if (static_cast<unsigned long long>(st.st_size) > RegistryStore::kMaxFileBytes) return ERROR_REGISTRY_CORRUPT;
  std::string text;
  if (!ReadAll(fd.get(), static_cast<size_t>(st.st_size), text)) return ERROR_CANTREAD;
  size_t skipped = 0;
  std::optional<RegistryTree> tree = RegistryTree::Parse(text, &skipped);
  if (!tree) return ERROR_REGISTRY_CORRUPT;
  cache.path = path;
  cache.missing = false;
  cache.identity = identity;
  cache.tree = std::make_shared<const RegistryTree>(std::move(*tree));
  return ERROR_SUCCESS;
}

// Writes `tree` to `path` through a temporary file and a rename. Caller
// holds StoreMutex() and the flock.
LONG Replace(const std::string &path, std::shared_ptr<const RegistryTree> tree) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  const std::string text = tree->Serialize();
  struct stat st;
  {
    FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) return ERROR_CANTWRITE;
    // No fsync: the rename already gives every reader the old file or the
    // new one; syncing each change costs milliseconds (see README.md).
    if (!WriteAll(fd.get(), text) || ::fstat(fd.get(), &st) != 0) {
      ::unlink(temp.c_str());
      return ERROR_CANTWRITE;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return ERROR_CANTWRITE;
  }
  Cache &cache = TheCache();
  cache.path = path;
  cache.missing = false;
  // The rename changes the ctime; re-stat the file now in place so the cache
  // matches what the next reader finds.
  struct stat now;
  if (::stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino) {
    cache.identity = IdentityOf(now);
    cache.tree = std::move(tree);
  } else {
    cache.tree.reset();  // someone else already replaced it: read it next time
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::string RegistryStore::FilePath() {
  if (auto file = ReadEnvironment("TP_REGISTRY_FILE"); file && !file->empty()) {
    for (char &c : *file)
      if (c == '\\') c = '/';
    return *file;
  }
  if (auto data = ReadEnvironment("XDG_DATA_HOME"); data && !data->empty() && (*data)[0] == '/')
    return *data + "/tidepool/registry.reg";
  auto home = ReadEnvironment("HOME");
  return (home && !home->empty() ? *home : std::string("/tmp")) + "/.local/share/tidepool/registry.reg";
}

LONG RegistryStore::Read(const std::function<LONG(const RegistryTree &)> &reader) {
  const std::string path = FilePath();
  std::shared_ptr<const RegistryTree> tree;
  {
    std::lock_guard lock(StoreMutex());
    if (LONG rc = Refresh(path); rc != ERROR_SUCCESS) return rc;
    tree = TheCache().tree;
  }
  return reader(*tree);
}

LONG RegistryStore::Modify(const std::function<LONG(RegistryTree &, bool &changed)> &writer) {
  const std::string path = FilePath();
  std::lock_guard lock(StoreMutex());
  MakeParentFolders(path);
  FileDescriptor lockFile(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lockFile.get() < 0) return ERROR_CANTWRITE;
  int rc;
  do {
    rc = ::flock(lockFile.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ERROR_CANTWRITE;
  // The flock goes with the descriptor, closed on every path out of here.
  if (LONG status = Refresh(path); status != ERROR_SUCCESS) return status;
  auto copy = std::make_shared<RegistryTree>(*TheCache().tree);
  bool changed = false;
  if (LONG status = writer(*copy, changed); status != ERROR_SUCCESS || !changed) return status;
  return Replace(path, std::move(copy));
}

}  // namespace tp::win32
