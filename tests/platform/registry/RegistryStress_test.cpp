#include <windows.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// DWORD value `name` of key `path` under HKEY_CURRENT_USER, or -1 when the
// key is missing.
long long ReadDword(const std::u16string &path, const std::u16string &name) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return -1;
  EXPECT_EQ(rc, ERROR_SUCCESS);
  DWORD v = 0, size = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&v), &size), ERROR_SUCCESS);
  RegCloseKey(key);
  return v;
}

// Four processes and two threads of this one write and delete keys in one
// store at the same time; afterwards every key holds what its writer last put
// there and the file is well formed throughout.
TEST(RegistryStress, ConcurrentProcesses_LoseNoUpdate) {
  char tmpl[] = "/tmp/tp_regstress_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const fs::path store = dir / "registry.reg";
  std::string saved;
  if (const char *old = getenv("TP_REGISTRY_FILE")) saved = old;
  ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", store.c_str()));

  const fs::path helper = fs::read_symlink("/proc/self/exe").parent_path() / "regstress";
  ASSERT_TRUE(fs::exists(helper)) << helper;
  const char *ms = getenv("TP_REGSTRESS_MS");
  const std::string duration = ms ? ms : "10000";
  constexpr int kProcesses = 4;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (dir / ("out" + std::to_string(p))).string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string id = std::to_string(p);
    std::string exe = helper.string();
    char *argv[] = {exe.data(), const_cast<char *>(id.c_str()), const_cast<char *>(duration.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    pids.push_back(pid);
  }

  // Meanwhile, threads of this process write keys of their own, and readers
  // check that every version of the file they see parses.
  std::atomic<bool> done{false};
  std::vector<long long> threadLast(2, -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string path = u"Software\\TidepoolStress\\T" + Wide(std::to_string(t));
      for (long long i = 0; !done; ++i) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        const DWORD v = static_cast<DWORD>(i);
        ASSERT_EQ(RegSetValueExW(key, u"n", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4), ERROR_SUCCESS);
        RegCloseKey(key);
        threadLast[t] = i;
        std::this_thread::yield();
      }
    });
  }

  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  done = true;
  for (auto &t : threads) t.join();

  long long totalOps = 0;
  for (int p = 0; p < kProcesses; ++p) {
    SCOPED_TRACE("process " + std::to_string(p));
    std::ifstream in(dir / ("out" + std::to_string(p)));
    std::string name;
    long long value = 0;
    int lines = 0;
    while (in >> name >> value) {
      ++lines;
      const std::u16string base = u"Software\\TidepoolStress\\P" + Wide(std::to_string(p));
      if (name == "ops") {
        totalOps += value;
      } else if (name == "shared") {
        EXPECT_EQ(ReadDword(u"Software\\TidepoolStress\\Shared", u"P" + Wide(std::to_string(p))), value);
      } else {
        EXPECT_EQ(ReadDword(base + u"\\" + Wide(name), u"n"), value) << name;
      }
    }
    EXPECT_EQ(lines, 10);
  }
  for (int t = 0; t < 2; ++t)
    EXPECT_EQ(ReadDword(u"Software\\TidepoolStress\\T" + Wide(std::to_string(t)), u"n"), threadLast[t]);
  EXPECT_GT(totalOps, 4);
  std::printf("%lld operations by %d processes\n", totalOps, kProcesses);

  // Every line of the final file is a header, a section or a value line.
  std::ifstream file(store);
  std::string line;
  ASSERT_TRUE(std::getline(file, line));
  EXPECT_EQ(line, "Windows Registry Editor Version 5.00");
  const std::regex wellFormed(
      R"(^$|^\[HKEY_[A-Z_]+(\\[^\\\]]+)*\]$|^("([^"\\]|\\.)*"|@)=(dword:[0-9a-f]{8}|"([^"\\]|\\.)*"|hex(\([0-9a-f]+\))?:([0-9a-f]{2}(,[0-9a-f]{2})*)?)$)");
  int count = 0;
  while (std::getline(file, line)) {
    EXPECT_TRUE(std::regex_match(line, wellFormed)) << line;
    ++count;
  }
  EXPECT_GT(count, 10);
  // Nothing left behind but the store and its lock file.
  for (const auto &entry : fs::directory_iterator(dir))
    EXPECT_TRUE(entry.path().filename().string().rfind("out", 0) == 0 || entry.path() == store ||
                entry.path().filename() == "registry.reg.lock")
        << entry.path();

  SetEnvironmentVariableA("TP_REGISTRY_FILE", saved.empty() ? nullptr : saved.c_str());
  fs::remove_all(dir);
}

}  // namespace
