// Loader and module queries: reference counts, identity across routes,
// file names, pseudo-modules and memory regions.
#include <objbase.h>
#include <windows.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string binDir() {
  const char *build = std::getenv("TP_BUILD_DIR");
  return std::string(build ? build : TP_BUILD_DIR) + "/bin";
}

std::u16string wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

std::string narrow(const WCHAR *s) {
  std::string out;
  for (; *s; ++s) out += static_cast<char>(*s);
  return out;
}

bool loadedInProcess(const std::string &path) {
  void *probe = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (probe) dlclose(probe);
  return probe != nullptr;
}

int localFunction() { return 7; }

template <class F>
F as(FARPROC p) {
  return reinterpret_cast<F>(reinterpret_cast<void *>(p));
}

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = binDir() + "/tptestmod.dll";
    ASSERT_TRUE(fs::exists(path_)) << path_;
    ASSERT_FALSE(loadedInProcess(path_)) << "an earlier test left the module loaded";
  }
  void TearDown() override { EXPECT_FALSE(loadedInProcess(path_)) << "test leaked a module reference"; }

  std::string path_;
};

TEST_F(ModulesTest, LoadLibrary_CountsReferencesAndUnloadsOnLastFree) {
  HMODULE a = LoadLibraryW(wide(path_).c_str());
  ASSERT_NE(a, nullptr);
  std::string backslashed = path_;
  for (char &c : backslashed) c = c == '/' ? '\\' : c;
  HMODULE b = LoadLibraryA(backslashed.c_str());
  EXPECT_EQ(a, b);
  HMODULE c = LoadLibraryA((binDir() + "/./../bin/tptestmod.dll").c_str());
  EXPECT_EQ(a, c);

  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_TRUE(FreeLibrary(a));
  // One reference left: still loaded and usable.
  EXPECT_TRUE(loadedInProcess(path_));
  auto answer = as<int (*)()>(GetProcAddress(a, "TpTestModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_FALSE(loadedInProcess(path_));
  EXPECT_EQ(GetModuleHandleA("tptestmod.dll"), nullptr);
  // The stale handle is recognised, not dereferenced.
  EXPECT_FALSE(FreeLibrary(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetProcAddress(a, "TpTestModuleAnswer"), nullptr);
}

// The module entry runs once at the first load and once at the last free;
// an entry that refuses makes LoadLibrary fail and leaves nothing loaded.
TEST_F(ModulesTest, ModuleEntry_AttachAtFirstLoadDetachAtLastFree) {
  struct Case {
    bool refuse;
    const char *log;
  };
  for (const Case c : {Case{false, "attach;detach;"}, Case{true, "attach;detach;"}}) {
    SCOPED_TRACE(c.refuse);
    SetEnvironmentVariableA("TP_TESTMOD_ENTRY", nullptr);
    SetEnvironmentVariableA("TP_TESTMOD_REFUSE", c.refuse ? "1" : nullptr);
    HMODULE a = LoadLibraryA(path_.c_str());
    if (c.refuse) {
      EXPECT_EQ(a, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    } else {
      ASSERT_NE(a, nullptr);
      ASSERT_EQ(LoadLibraryA(path_.c_str()), a);
      EXPECT_STREQ(std::getenv("TP_TESTMOD_ENTRY"), "attach;");
      EXPECT_TRUE(FreeLibrary(a));
      EXPECT_STREQ(std::getenv("TP_TESTMOD_ENTRY"), "attach;");
      EXPECT_TRUE(FreeLibrary(a));
    }
    EXPECT_STREQ(std::getenv("TP_TESTMOD_ENTRY"), c.log);
    EXPECT_FALSE(loadedInProcess(path_));
  }
  SetEnvironmentVariableA("TP_TESTMOD_REFUSE", nullptr);
}

TEST_F(ModulesTest, GetModuleHandleEx_ByNameAndFromAddressShareOneHandleAndCount) {
  HMODULE loaded = LoadLibraryA(path_.c_str());
  ASSERT_NE(loaded, nullptr);
  FARPROC code = GetProcAddress(loaded, "TpTestModuleAnswer");
  ASSERT_NE(code, nullptr);

  // At load the module found itself from its own code address.
  auto selfAtLoad = as<HMODULE (*)()>(GetProcAddress(loaded, "TpTestModuleSelfAtLoad"));
  ASSERT_NE(selfAtLoad, nullptr);
  EXPECT_EQ(selfAtLoad(), loaded);

  HMODULE byName = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(0, TEXT("TPTESTMOD.DLL"), &byName));  // +1
  EXPECT_EQ(byName, loaded);
  HMODULE byAddress = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(code),
                                 &byAddress));  // +1
  EXPECT_EQ(byAddress, loaded);
  HMODULE unchanged = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(code), &unchanged));  // +0
  EXPECT_EQ(unchanged, loaded);
  EXPECT_EQ(GetModuleHandleW(TEXT("tptestmod")), loaded);  // ".dll" is implied

  EXPECT_TRUE(FreeLibrary(loaded));
  EXPECT_TRUE(FreeLibrary(loaded));
  EXPECT_TRUE(loadedInProcess(path_));
  EXPECT_TRUE(FreeLibrary(loaded));
  EXPECT_FALSE(loadedInProcess(path_));
}

TEST_F(ModulesTest, ModulesLoadedBySomeoneElseAreFoundButNotFreed) {
  // Opened directly, not through LoadLibrary.
  void *direct = dlopen(path_.c_str(), RTLD_NOW);
  ASSERT_NE(direct, nullptr);
  HMODULE found = GetModuleHandleW(TEXT("tptestmod.dll"));
  ASSERT_NE(found, nullptr);
  void *code = dlsym(direct, "TpTestModuleAnswer");
  HMODULE byAddress = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 static_cast<LPCWSTR>(code), &byAddress));
  EXPECT_EQ(byAddress, found);
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(found, "TpTestModuleAnswer")), code);
  // No reference of ours is held, so freeing releases nothing of the owner's.
  EXPECT_TRUE(FreeLibrary(found));
  EXPECT_TRUE(loadedInProcess(path_));
  dlclose(direct);

  // Linked in: the platform library itself.
  HMODULE platform = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&CloseHandle), &platform));
  WCHAR name[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(platform, name, MAX_PATH), 0u);
  EXPECT_EQ(fs::path(narrow(name)).filename(), "libtpplatform.so");
  EXPECT_EQ(GetModuleHandleA("LIBTPPLATFORM.SO"), platform);

  // The executable: by address, by null name, and its file.
  HMODULE exe = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&localFunction), &exe));
  EXPECT_EQ(exe, GetModuleHandleW(nullptr));
  ASSERT_GT(GetModuleFileNameW(nullptr, name, MAX_PATH), 0u);
  EXPECT_EQ(fs::path(narrow(name)), fs::read_symlink("/proc/self/exe"));
  EXPECT_EQ(localFunction(), 7);
}

TEST_F(ModulesTest, GetModuleFileName_TruncatesAsWindowsDoes) {
  HMODULE module = LoadLibraryA(path_.c_str());
  ASSERT_NE(module, nullptr);
  const DWORD length = static_cast<DWORD>(path_.size());

  std::u16string full(length + 1, u'?');
  EXPECT_EQ(GetModuleFileNameW(module, full.data(), length + 1), length);
  EXPECT_EQ(full.c_str(), wide(path_));

  // Exactly one short: the text less its last character, terminated, the
  // buffer size as result, and ERROR_INSUFFICIENT_BUFFER.
  std::u16string shortBuffer(length + 2, u'#');
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameW(module, shortBuffer.data(), length), length);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(shortBuffer[length - 1], u'\0');
  EXPECT_EQ(shortBuffer.c_str(), wide(path_.substr(0, length - 1)));
  EXPECT_EQ(shortBuffer[length], u'#');  // nothing written past the buffer

  char tiny[4];
  EXPECT_EQ(GetModuleFileNameA(module, tiny, sizeof tiny), 4u);
  EXPECT_STREQ(tiny, path_.substr(0, 3).c_str());
  EXPECT_EQ(GetModuleFileNameA(module, tiny, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModulesTest, GetProcAddress_AnswersOnlyTheModulesOwnExports) {
  HMODULE module = LoadLibraryA(path_.c_str());
  ASSERT_NE(module, nullptr);
  // Defined by a dependency of the module, not by the module.
  EXPECT_EQ(GetProcAddress(module, "CloseHandle"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(module, "NoSuchFunction"), nullptr);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr);  // ordinal
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&localFunction), "x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModulesTest, SystemPseudoModules_AnswerTheirListedNames) {
  HMODULE kernel = GetModuleHandleW(TEXT("Kernel32.dll"));
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(GetModuleHandleW(TEXT("KERNEL32.DLL")), kernel);
  EXPECT_EQ(GetModuleHandleA("kernel32"), kernel);
  EXPECT_EQ(LoadLibraryW(TEXT("kernel32.dll")), kernel);
  EXPECT_TRUE(FreeLibrary(kernel));
  EXPECT_EQ(GetModuleHandleW(TEXT("Kernel32.dll")), kernel);

  auto getEx = as<LPFN_GETMODULEHANDLEEXW>(GetProcAddress(kernel, "GetModuleHandleExW"));
  EXPECT_EQ(getEx, &GetModuleHandleExW);
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(kernel, "OutputDebugStringW")),
            reinterpret_cast<void *>(&OutputDebugStringW));
  // Not on the list, though implemented: the list is explicit.
  EXPECT_EQ(GetProcAddress(kernel, "lstrlenW"), nullptr);
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchFunction"), nullptr);

  HMODULE ole = GetModuleHandleW(TEXT("ole32.dll"));
  ASSERT_NE(ole, nullptr);
  EXPECT_NE(ole, kernel);
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(ole, "CoTaskMemAlloc")), reinterpret_cast<void *>(&CoTaskMemAlloc));
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(ole, "CoInitializeEx")), dlsym(RTLD_DEFAULT, "CoInitializeEx"));
  EXPECT_EQ(GetProcAddress(ole, "GetModuleHandleExW"), nullptr);
  EXPECT_EQ(GetModuleHandleW(TEXT("advapi32.dll")), nullptr);
}

TEST_F(ModulesTest, BadArguments_FailWithTheirErrors) {
  EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LoadLibraryA((binDir() + "/no-such-module.dll").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA("no-such-module-anywhere.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  char dir[] = "/tmp/tp-modules-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string notAModule = std::string(dir) + "/garbage.dll";
  std::ofstream(notAModule) << "MZ this is not a shared object";
  EXPECT_EQ(LoadLibraryA(notAModule.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));
  fs::remove_all(dir);

  HMODULE out = reinterpret_cast<HMODULE>(&localFunction);
  EXPECT_FALSE(GetModuleHandleExW(0, TEXT("no-such-module.dll"), &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
  EXPECT_FALSE(GetModuleHandleExW(0x80, nullptr, &out));
  EXPECT_FALSE(
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &out));
  EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(ModulesTest, VirtualQuery_DescribesImageHeapAndFreeRegions) {
  HMODULE module = LoadLibraryA(path_.c_str());
  ASSERT_NE(module, nullptr);
  void *code = reinterpret_cast<void *>(GetProcAddress(module, "TpTestModuleAnswer"));
  ASSERT_NE(code, nullptr);
  Dl_info info{};
  ASSERT_NE(dladdr(code, &info), 0);

  MEMORY_BASIC_INFORMATION mbi{};
  ASSERT_EQ(VirtualQuery(code, &mbi, sizeof mbi), sizeof mbi);
  EXPECT_EQ(mbi.Type, static_cast<DWORD>(MEM_IMAGE));
  EXPECT_EQ(mbi.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(mbi.AllocationBase, info.dli_fbase);
  EXPECT_TRUE(mbi.Protect == PAGE_EXECUTE_READ || mbi.Protect == PAGE_EXECUTE_READWRITE) << mbi.Protect;
  EXPECT_LE(mbi.BaseAddress, code);
  EXPECT_GT(static_cast<char *>(mbi.BaseAddress) + mbi.RegionSize, static_cast<char *>(code));
  // The allocation base is the start of the mapped file.
  EXPECT_EQ(std::memcmp(mbi.AllocationBase,
                        "\x7f"
                        "ELF",
                        4),
            0);
  EXPECT_TRUE(FreeLibrary(module));

  auto *heap = new int[64];
  ASSERT_EQ(VirtualQuery(heap, &mbi, sizeof mbi), sizeof mbi);
  EXPECT_EQ(mbi.Type, static_cast<DWORD>(MEM_PRIVATE));
  EXPECT_EQ(mbi.Protect, static_cast<DWORD>(PAGE_READWRITE));
  delete[] heap;

  const long page = sysconf(_SC_PAGESIZE);
  void *hole = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(hole, MAP_FAILED);
  ASSERT_EQ(munmap(hole, static_cast<size_t>(page)), 0);
  ASSERT_EQ(VirtualQuery(hole, &mbi, sizeof mbi), sizeof mbi);
  EXPECT_EQ(mbi.State, static_cast<DWORD>(MEM_FREE));
  EXPECT_EQ(mbi.AllocationBase, nullptr);

  EXPECT_EQ(VirtualQuery(code, nullptr, sizeof mbi), 0u);
  EXPECT_EQ(VirtualQuery(code, &mbi, sizeof mbi - 1), 0u);
  EXPECT_EQ(VirtualQuery(reinterpret_cast<void *>(~std::uintptr_t{0}), &mbi, sizeof mbi), 0u);
}

}  // namespace
