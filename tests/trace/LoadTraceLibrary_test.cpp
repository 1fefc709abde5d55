// The library search through a stand-in system: each call LoadTraceLibrary
// makes is answered by the fake world below.
#include "trace/QuillTraceBinding.h"

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

HMODULE Handle(uintptr_t v) { return reinterpret_cast<HMODULE>(v); }

struct Region {
  const unsigned char *base;
  SIZE_T size;
  DWORD state, type, protect;
  const void *allocationBase;
};

struct FakeWorld {
  HMODULE kernel = Handle(0x1000);
  bool hasKernel = true;
  bool hasGetModuleHandleEx = true;
  HMODULE alreadyLoaded = nullptr;  // what flags 0 finds
  HMODULE self = Handle(0x2000);    // what flags 4 finds
  HMODULE library = Handle(0x3000);
  std::map<HMODULE, std::u16string> paths;  // null: the executable
  std::set<std::string> exports;
  std::vector<Region> regions;
  const Region *fallback = nullptr;  // any address not in `regions`
  alignas(4096) unsigned char image[8192] = {};

  std::vector<DWORD> exFlags;
  std::vector<std::u16string> debug, loads;
  std::vector<std::string> lookedUp;
  std::vector<HMODULE> freed;
  std::vector<HMODULE> fileNameQueries;
};

FakeWorld *g_world = nullptr;

int WINAPI Exported() { return 0; }

template <typename Fn>
FARPROC AsFarProc(Fn fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

BOOL WINAPI FakeGetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE *module) {
  g_world->exFlags.push_back(flags);
  *module = nullptr;
  if (flags == 0 && std::u16string(name) == u"quilltrace.dll") *module = g_world->alreadyLoaded;
  if (flags == GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS && name != nullptr) *module = g_world->self;
  return *module != nullptr;
}

HMODULE WINAPI FakeGetModuleHandleW(LPCWSTR name) {
  return g_world->hasKernel && std::u16string(name) == u"Kernel32.dll" ? g_world->kernel : nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  if (module == g_world->kernel) {
    const bool ex = g_world->hasGetModuleHandleEx && std::strcmp(name, "GetModuleHandleExW") == 0;
    return ex ? AsFarProc(&FakeGetModuleHandleExW) : nullptr;
  }
  g_world->lookedUp.push_back(name);
  return g_world->exports.count(name) ? AsFarProc(&Exported) : nullptr;
}

SIZE_T WINAPI FakeVirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T size) {
  const auto *p = static_cast<const unsigned char *>(address);
  const Region *hit = g_world->fallback;
  for (const Region &r : g_world->regions) {
    if (p >= r.base && p < r.base + r.size) hit = &r;
  }
  if (hit == nullptr || size < sizeof *info) return 0;
  *info = MEMORY_BASIC_INFORMATION{};
  info->BaseAddress = const_cast<unsigned char *>(hit->base);
  info->AllocationBase = const_cast<void *>(hit->allocationBase);
  info->RegionSize = hit->size;
  info->State = hit->state;
  info->Type = hit->type;
  info->Protect = hit->protect;
  return sizeof *info;
}

DWORD WINAPI FakeGetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
  g_world->fileNameQueries.push_back(module);
  const auto it = g_world->paths.find(module);
  if (it == g_world->paths.end() || size == 0) return 0;
  const std::u16string &p = it->second;
  const DWORD n = static_cast<DWORD>(std::min<size_t>(p.size(), size - 1));
  std::copy(p.begin(), p.begin() + n, path);
  path[n] = 0;
  return p.size() >= size ? size : n;
}

HMODULE WINAPI FakeLoadLibraryW(LPCWSTR path) {
  g_world->loads.push_back(path);
  return g_world->library;
}

BOOL WINAPI FakeFreeLibrary(HMODULE module) {
  g_world->freed.push_back(module);
  return TRUE;
}

void WINAPI FakeOutputDebugStringW(LPCWSTR text) { g_world->debug.push_back(text); }

class LoadTraceLibraryTest : public ::testing::Test {
 public:
  void SetUp() override {
    g_world = &w;
    // A mapped image: "MZ", the new header at 0x80, "PE\0\0" there.
    w.image[0] = 'M';
    w.image[1] = 'Z';
    SetNewHeader(0x80);
    std::memcpy(w.image + 0x80, "PE\0\0", 4);
    w.regions = {{w.image, sizeof w.image, MEM_COMMIT, MEM_IMAGE, PAGE_EXECUTE_READ, w.image}};
    w.paths[w.self] = u"C:\\Program Files\\Tidepool\\Tidepool.ax";
    w.paths[Handle(reinterpret_cast<uintptr_t>(w.image))] = u"C:\\Old\\Tidepool.ax";
    w.paths[nullptr] = u"C:\\Host\\host.exe";
  }
  void TearDown() override { g_world = nullptr; }

  void SetNewHeader(LONG offset) { std::memcpy(w.image + 0x3C, &offset, sizeof offset); }

  TraceLoaderApi Api() const {
    return {&FakeGetModuleHandleW, &FakeGetProcAddress, &FakeVirtualQuery,       &FakeGetModuleFileNameW,
            &FakeLoadLibraryW,     &FakeFreeLibrary,    &FakeOutputDebugStringW, w.image + 0x1000};
  }

  FakeWorld w;
};

TEST_F(LoadTraceLibraryTest, FindsLibraryBesideModuleThroughGetModuleHandleEx) {
  EXPECT_EQ(LoadTraceLibrary(Api()), w.library);
  EXPECT_EQ(w.exFlags, (std::vector<DWORD>{0, GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS}));
  EXPECT_EQ(w.debug, (std::vector<std::u16string>{u"The OS is  XP+ and loaded quilltra.dll firtly",
                                                  u"C:\\Program Files\\Tidepool\\Tidepool.ax",
                                                  u"C:\\Program Files\\Tidepool\\quilltrace.dll"}));
  EXPECT_EQ(w.loads, (std::vector<std::u16string>{u"C:\\Program Files\\Tidepool\\quilltrace.dll"}));
  EXPECT_EQ(w.freed, std::vector<HMODULE>{w.self});  // the reference flags 4 took
}

TEST_F(LoadTraceLibraryTest, UsesLibraryAlreadyLoadedAndStops) {
  w.alreadyLoaded = Handle(0x4000);
  EXPECT_EQ(LoadTraceLibrary(Api()), Handle(0x4000));
  EXPECT_TRUE(w.debug.empty());
  EXPECT_TRUE(w.loads.empty());
  EXPECT_TRUE(w.freed.empty());
  EXPECT_TRUE(w.fileNameQueries.empty());
}

TEST_F(LoadTraceLibraryTest, UnknownOwnModuleFallsBackToExecutablePath) {
  w.self = nullptr;
  EXPECT_EQ(LoadTraceLibrary(Api()), w.library);
  EXPECT_EQ(w.debug, (std::vector<std::u16string>{u"C:\\Host\\host.exe", u"C:\\Host\\quilltrace.dll"}));
  EXPECT_TRUE(w.freed.empty());
}

TEST_F(LoadTraceLibraryTest, NoKernelModuleMeansNoLibrary) {
  w.hasKernel = false;
  EXPECT_EQ(LoadTraceLibrary(Api()), nullptr);
  EXPECT_TRUE(w.debug.empty() && w.loads.empty() && w.exFlags.empty());
}

TEST_F(LoadTraceLibraryTest, WithoutGetModuleHandleExFindsModuleByRegion) {
  w.hasGetModuleHandleEx = false;
  EXPECT_EQ(LoadTraceLibrary(Api()), w.library);
  EXPECT_EQ(w.debug,
            (std::vector<std::u16string>{u"The OS is  2K", u"C:\\Old\\Tidepool.ax", u"C:\\Old\\quilltrace.dll"}));
  EXPECT_TRUE(w.freed.empty());  // VirtualQuery takes no reference
}

TEST_F(LoadTraceLibraryTest, RegionSearchFallsBackToCallersAddress) {
  w.hasGetModuleHandleEx = false;
  // The code address lies in private memory; the caller's return address is
  // answered by the image's region.
  const Region image = w.regions[0];
  w.regions = {{w.image + 0x1000, 0x1000, MEM_COMMIT, MEM_PRIVATE, PAGE_READWRITE, w.image + 0x1000},
               {w.image, 0x1000, MEM_COMMIT, MEM_IMAGE, PAGE_READONLY, w.image}};
  w.fallback = &image;
  EXPECT_EQ(LoadTraceLibrary(Api()), w.library);
  EXPECT_EQ(w.loads, (std::vector<std::u16string>{u"C:\\Old\\quilltrace.dll"}));
}

TEST_F(LoadTraceLibraryTest, RegionSearchRejectsAnythingButAReadableImageHeader) {
  w.hasGetModuleHandleEx = false;
  struct Case {
    const char *what;
    void (*spoil)(LoadTraceLibraryTest *);
  } const cases[] = {
      {"not MZ", [](LoadTraceLibraryTest *t) { t->w.image[0] = 0x7F; }},
      {"no PE signature", [](LoadTraceLibraryTest *t) { t->w.image[0x81] = 'X'; }},
      {"new header far away", [](LoadTraceLibraryTest *t) { t->SetNewHeader(0x7FFFFFF0); }},
      {"new header before the image", [](LoadTraceLibraryTest *t) { t->SetNewHeader(-8); }},
      {"PE header runs off the image", [](LoadTraceLibraryTest *t) { t->SetNewHeader(8192 - 100); }},
      {"PE header unreadable",
       [](LoadTraceLibraryTest *t) {
         t->SetNewHeader(0x1000);
         std::memcpy(t->w.image + 0x1000, "PE\0\0", 4);
         t->w.regions = {{t->w.image, 0x1000, MEM_COMMIT, MEM_IMAGE, PAGE_READONLY, t->w.image},
                         {t->w.image + 0x1000, 0x1000, MEM_COMMIT, MEM_IMAGE, PAGE_NOACCESS, t->w.image}};
       }},
      {"guard page", [](LoadTraceLibraryTest *t) { t->w.regions[0].protect = PAGE_READONLY | 0x100; }},
      {"free region", [](LoadTraceLibraryTest *t) { t->w.regions[0].state = MEM_FREE; }},
      {"private region", [](LoadTraceLibraryTest *t) { t->w.regions[0].type = MEM_PRIVATE; }},
      {"reserved only", [](LoadTraceLibraryTest *t) { t->w.regions[0].state = MEM_RESERVE; }},
  };
  for (const Case &c : cases) {
    SetUp();
    w.hasGetModuleHandleEx = false;
    w.loads.clear();
    c.spoil(this);
    EXPECT_EQ(LoadTraceLibrary(Api()), w.library) << c.what;
    // No module found: the executable's folder is searched instead.
    EXPECT_EQ(w.loads, (std::vector<std::u16string>{u"C:\\Host\\quilltrace.dll"})) << c.what;
  }
}

TEST_F(LoadTraceLibraryTest, PathTooLongForLibraryNameGivesNoLibrary) {
  // 3 + k + 5 characters; with "\quilltrace.dll" (15) the whole must stay
  // below 260.
  auto modulePath = [](int length) { return u"C:\\" + std::u16string(length - 8, u'd') + u"\\m.ax"; };
  w.paths[w.self] = modulePath(244);
  EXPECT_EQ(LoadTraceLibrary(Api()), w.library);
  ASSERT_EQ(w.loads.size(), 1u);
  EXPECT_EQ(w.loads[0], u"C:\\" + std::u16string(236, u'd') + u"\\quilltrace.dll");

  for (int length : {245, 259, 300}) {
    w.loads.clear();
    w.paths[w.self] = modulePath(length);
    EXPECT_EQ(LoadTraceLibrary(Api()), nullptr) << length;
    EXPECT_TRUE(w.loads.empty()) << length;
  }
}

TEST_F(LoadTraceLibraryTest, PathsWithoutAFolderLoadNothing) {
  for (const char16_t *path : {u"", u"Tidepool.ax", u"\\Tidepool.ax"}) {
    w.loads.clear();
    w.paths[w.self] = path;
    EXPECT_EQ(LoadTraceLibrary(Api()), nullptr);
    EXPECT_TRUE(w.loads.empty());
  }
  w.paths.erase(w.self);  // the query fails
  EXPECT_EQ(LoadTraceLibrary(Api()), nullptr);
  EXPECT_TRUE(w.loads.empty());
}

TEST_F(LoadTraceLibraryTest, CutsAtLastSeparatorOfEitherKind) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"/opt/tidepool/bin/Tidepool.ax", u"/opt/tidepool/bin/quilltrace.dll"},
      {u"C:\\a/b\\Tidepool.ax", u"C:\\a/b\\quilltrace.dll"},
      {u"C:\\a\\b/Tidepool.ax", u"C:\\a\\b/quilltrace.dll"},
  };
  for (const auto &[module, library] : cases) {
    w.loads.clear();
    w.paths[w.self] = module;
    LoadTraceLibrary(Api());
    EXPECT_EQ(w.loads, std::vector<std::u16string>{library});
  }
}

TEST_F(LoadTraceLibraryTest, BindLooksUpTenEntriesInOrderAndUnbindFreesOnce) {
  w.exports = {"QUILLTRACE", "QUILLTRACEA", "QUILLDumptoFile", "QUILLTRACKING_UPLOAD_ASYNC_INTERNAL"};
  QuillTraceBinding binding;
  BindTraceLibrary(&binding, Api());
  EXPECT_EQ(binding.module, w.library);
  EXPECT_EQ(w.lookedUp,
            (std::vector<std::string>{"QUILLTRACE", "QUILLTRACERAW", "QUILLTRACEA", "QUILLTRACERAWA", "QUILLDumptoFile",
                                      "QUILLIsDebugMode", "QUILLDumpFileClose", "QUILLTRACKING_INTERNAL",
                                      "QUILLTRACKING_UPLOAD_INTERNAL", "QUILLTRACKING_UPLOAD_ASYNC_INTERNAL"}));
  EXPECT_NE(binding.trace, nullptr);
  EXPECT_NE(binding.traceA, nullptr);
  EXPECT_NE(binding.dumpToFile, nullptr);
  EXPECT_NE(binding.trackingUploadAsync, nullptr);
  EXPECT_EQ(binding.traceRaw, nullptr);
  EXPECT_EQ(binding.isDebugMode, nullptr);

  w.freed.clear();
  UnbindTraceLibrary(&binding, Api());
  EXPECT_EQ(w.freed, std::vector<HMODULE>{w.library});
  EXPECT_EQ(binding.module, nullptr);
  EXPECT_EQ(binding.trace, nullptr);
  EXPECT_EQ(binding.trackingUploadAsync, nullptr);
  UnbindTraceLibrary(&binding, Api());
  EXPECT_EQ(w.freed.size(), 1u);
}

}  // namespace
