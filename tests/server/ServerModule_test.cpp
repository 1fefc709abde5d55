// The COM server module seen from outside, as a host sees it: this process
// links no module. It registers the module with bin/regsvr32 (registry in a
// temporary store), creates the filter through COM, which loads the module
// from "InprocServer32", and checks what registration wrote and removed.
// The class factory's failure paths run on TidepoolTest.ax, the server layer
// with a pin-less stand-in filter and two classes whose creation fails.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "peers/TestGraph.h"
#include "peers/TestInputPin.h"
#include "support/FfmpegTools.h"
#include "support/MovieFileTypes.h"
#include <tidepool/Tidepool.h>

namespace {

namespace ff = tp::test::ff;

const std::string kBin = std::string(TP_BUILD_DIR) + "/bin";
const std::string kModule = kBin + "/Tidepool.ax";
const std::string kTestModule = kBin + "/TidepoolTest.ax";

const std::u16string kBraced = u"{8E1D106D-D80C-4AB5-965B-193E135630C2}";
const std::u16string kClassKey = u"CLSID\\" + kBraced;
const std::u16string kMapperKey = u"CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\" + kBraced;
const char16_t *const kExtensions[] = {u".264", u".3g2", u".3gp", u".3gp2", u".aif", u".aiff", u".amr", u".cif",
                                       u".dif", u".dv",  u".flc", u".m4a",  u".m4v", u".mov",  u".mp4", u".qt"};

std::u16string Wide(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

int Regsvr32(const std::string &args, std::string *out = nullptr) {
  return ff::RunCommand(ff::ShellQuote(kBin + "/regsvr32") + " " + args + " 2>&1", out);
}

bool KeyExists(const std::u16string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A value under HKEY_CLASSES_ROOT\path as text: strings as they are, DWORDs
// in hex ("0x200000"); nullopt when missing.
std::optional<std::u16string> ReadValue(const std::u16string &path, const char16_t *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  BYTE data[2048] = {};
  DWORD size = sizeof data - 2, type = 0;
  const LSTATUS st = RegQueryValueExW(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (st != ERROR_SUCCESS) return std::nullopt;
  if (type == REG_DWORD) {
    DWORD v = 0;
    std::memcpy(&v, data, sizeof v);
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return Wide(text);
  }
  // A string must be stored with its terminator.
  const auto *text = reinterpret_cast<const char16_t *>(data);
  if (type != REG_SZ || size < 2 || text[size / 2 - 1] != 0) return u"<bad string>";
  return std::u16string(text);
}

struct Expected {
  std::u16string key;
  const char16_t *name;  // null: the default value
  std::u16string value;
};

// Everything registering the module writes (besides the mapper's own keys).
std::vector<Expected> CompleteSet(const std::string &modulePath) {
  std::vector<Expected> set;
  for (const char16_t *ext : kExtensions)
    set.push_back({u"Media Type\\Extensions\\" + std::u16string(ext), u"Source Filter", kBraced});
  const std::u16string audio = u"{73647561-0000-0010-8000-00AA00389B71}";
  const std::u16string video = u"{73646976-0000-0010-8000-00AA00389B71}";
  const std::u16string null = u"{00000000-0000-0000-0000-000000000000}";
  const std::vector<Expected> rest = {
      {kClassKey, nullptr, u"Tidepool"},
      {kClassKey + u"\\InprocServer32", nullptr, Wide(modulePath)},
      {kClassKey + u"\\InprocServer32", u"ThreadingModel", u"Both"},
      {kMapperKey, u"FriendlyName", u"Tidepool"},
      {kMapperKey, u"CLSID", kBraced},
      {kMapperKey, u"Merit", u"0x200000"},
      {kMapperKey + u"\\Pins\\0", u"Name", u"Audio"},
      {kMapperKey + u"\\Pins\\0", u"Flags", u"0xA"},  // rendered, output
      {kMapperKey + u"\\Pins\\0\\Types\\0", u"Major", audio},
      {kMapperKey + u"\\Pins\\0\\Types\\0", u"Minor", null},
      {kMapperKey + u"\\Pins\\1", u"Name", u"Video"},
      {kMapperKey + u"\\Pins\\1", u"Flags", u"0xA"},
      {kMapperKey + u"\\Pins\\1\\Types\\0", u"Major", video},
      {kMapperKey + u"\\Pins\\1\\Types\\0", u"Minor", null},
  };
  set.insert(set.end(), rest.begin(), rest.end());
  return set;
}

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

void ExpectComplete(const std::string &modulePath) {
  for (const Expected &e : CompleteSet(modulePath)) {
    const std::optional<std::u16string> got = ReadValue(e.key, e.name);
    EXPECT_EQ(got.value_or(u"<missing>"), e.value) << Narrow(e.key) << " " << Narrow(e.name ? e.name : u"@");
  }
  EXPECT_FALSE(KeyExists(kMapperKey + u"\\Pins\\2"));
  EXPECT_FALSE(KeyExists(kMapperKey + u"\\Pins\\0\\Types\\1"));
}

void ExpectNothingRegistered() {
  for (const char16_t *ext : kExtensions)
    EXPECT_FALSE(KeyExists(u"Media Type\\Extensions\\" + std::u16string(ext))) << Narrow(ext);
  EXPECT_FALSE(KeyExists(kClassKey));
  EXPECT_FALSE(KeyExists(kMapperKey));
}

class ServerModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", dir_.File("registry.reg").c_str()));
  }
  void TearDown() override { SetEnvironmentVariableA("TP_REGISTRY_FILE", nullptr); }

  ff::TempDir dir_;
};

// ---- registration ------------------------------------------------------------

struct MapperCase {
  const char *name;
  bool breakNewMapper;  // the new mapper cannot be created: the old one serves
};

class RegistrationTest : public ServerModuleTest, public ::testing::WithParamInterface<MapperCase> {};

TEST_P(RegistrationTest, RegisterWritesTheSetAndUnregisterRemovesIt) {
  if (GetParam().breakNewMapper) {
    // A registered server takes the place of the built-in class, as on
    // Windows; this one cannot be loaded.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{CDA42200-BD88-11D0-BD4E-00A0C911CE86}\\InprocServer32", &key),
              ERROR_SUCCESS);
    const std::u16string missing = u"/nonexistent/quartz.dll";
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(missing.c_str()),
                             static_cast<DWORD>((missing.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  const std::string &module = kModule;
  std::string out;
  ASSERT_EQ(Regsvr32(ff::ShellQuote(module), &out), 0) << out;
  EXPECT_NE(out.find("DllRegisterServer in \"" + module + "\" succeeded."), std::string::npos) << out;
  ExpectComplete(module);
  // Registering again replaces, leaving one entry.
  ASSERT_EQ(Regsvr32("/s " + ff::ShellQuote(module)), 0);
  ExpectComplete(module);

  // Extension keys go whatever they hold.
  HKEY mov = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Media Type\\Extensions\\.mov", 0, KEY_ALL_ACCESS, &mov), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(mov, u"Other", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"x"), 4), ERROR_SUCCESS);
  RegCloseKey(mov);
  ASSERT_EQ(Regsvr32("/u /s " + ff::ShellQuote(module), &out), 0) << out;
  ExpectNothingRegistered();
  ASSERT_EQ(Regsvr32("/u " + ff::ShellQuote(module), &out), 0) << out;
  EXPECT_NE(out.find("DllUnregisterServer in \"" + module + "\" succeeded."), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Mappers, RegistrationTest,
                         ::testing::Values(MapperCase{"FilterMapper2", false}, MapperCase{"OldFilterMapper", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A module path that does not fit the 260-character buffer is refused
// before anything is written; one that fits is registered as it is.
TEST_F(ServerModuleTest, Register_ModulePathLengths) {
  struct Case {
    size_t length;
    int exitCode;
  };
  for (const Case c : {Case{259, 0}, Case{260, 5}, Case{400, 5}}) {
    SCOPED_TRACE(c.length);
    const std::string name = "/Tidepool.ax";
    std::string folder = dir_.File("m" + std::to_string(c.length));
    while (folder.size() + name.size() < c.length) {
      folder += "/" + std::string(std::min<size_t>(60, c.length - folder.size() - name.size() - 1), 'd');
      if (folder.back() == '/') folder.pop_back();
    }
    ASSERT_EQ(folder.size() + name.size(), c.length);
    std::filesystem::create_directories(folder);
    const std::string link = folder + name;
    std::filesystem::create_symlink(kModule, link);
    std::string out;
    EXPECT_EQ(Regsvr32(ff::ShellQuote(link), &out), c.exitCode) << out;
    if (c.exitCode == 0) {
      ExpectComplete(link);
      ASSERT_EQ(Regsvr32("/u /s " + ff::ShellQuote(link)), 0);
    } else {
      EXPECT_NE(out.find("failed: 0x800700CE"), std::string::npos) << out;
      ExpectNothingRegistered();
    }
  }
}

TEST_F(ServerModuleTest, Regsvr32_ArgumentsAndFailures) {
  struct Case {
    std::string args;
    int exitCode;
    const char *output;  // a part of what it prints; "" for nothing at all
  };
  const std::string module = ff::ShellQuote(kModule);
  const Case cases[] = {
      {"", 1, "usage: regsvr32"},
      {"/x " + module, 1, "usage: regsvr32"},
      {module + " " + module, 1, "usage: regsvr32"},
      {ff::ShellQuote(dir_.File("missing.ax")), 3, "failed to load: 0x8007007E"},
      {"/s " + ff::ShellQuote(dir_.File("missing.ax")), 3, ""},
      {ff::ShellQuote(kBin + "/libtpplatform.so"), 4, "entry point DllRegisterServer was not found"},
      {"-S " + module, 0, ""},
      {"/U /s " + module, 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    std::string out;
    EXPECT_EQ(Regsvr32(c.args, &out), c.exitCode);
    if (*c.output)
      EXPECT_NE(out.find(c.output), std::string::npos) << out;
    else
      EXPECT_EQ(out, "");
  }
}

// 8 processes register and unregister at once; the store stays readable
// throughout and one final registration leaves the complete set.
TEST_F(ServerModuleTest, Register_ConcurrentProcesses) {
  const std::string r = ff::ShellQuote(kBin + "/regsvr32"), m = ff::ShellQuote(kModule);
  const std::string loop = "end=$(( $(date +%s) + 10 )); while [ $(date +%s) -lt $end ]; do " + r + " /s " + m + "; " +
                           r + " /u /s " + m + "; done";
  std::atomic<bool> done{false};
  std::thread writers([&] {
    ff::RunCommand("for i in 1 2 3 4 5 6 7 8; do (" + loop + ") & done; wait");
    done = true;
  });
  long reads = 0, unreadable = 0;
  while (!done) {
    HKEY key = nullptr;
    LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Media Type\\Extensions\\.mov", 0, KEY_READ, &key);
    if (st == ERROR_SUCCESS) {
      BYTE data[256];
      DWORD size = sizeof data;
      st = RegQueryValueExW(key, u"Source Filter", nullptr, nullptr, data, &size);
      RegCloseKey(key);
    }
    ++reads;
    if (st == ERROR_REGISTRY_CORRUPT || st == ERROR_CANTREAD) ++unreadable;
    std::this_thread::yield();
  }
  writers.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(unreadable, 0);
  ASSERT_EQ(Regsvr32("/s " + m), 0);
  ExpectComplete(kModule);
}

// ---- activation ----------------------------------------------------------------

// Loads a movie into the filter and plays it to the end into recording
// peers, through the filter's COM interfaces only.
void PlayMovie(IBaseFilter *filter, const std::string &movie) {
  IFileSourceFilter *source = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&source)), S_OK);
  EXPECT_EQ(source->Load(Wide(movie).c_str(), nullptr), S_OK);
  source->Release();
  tp::test::TestGraph graph;
  ASSERT_EQ(filter->JoinFilterGraph(&graph, u"Tidepool"), S_OK);

  struct Output {
    const char16_t *name;
    IPin *pin = nullptr;
    tp::test::TestInputPin *peer = nullptr;
  };
  Output outputs[] = {{u"Video"}, {u"Audio"}};
  for (Output &o : outputs) {
    PIN_INFO info{};
    o.peer = new tp::test::TestInputPin;
    if (filter->FindPin(o.name == std::u16string(u"Video") ? u"1" : u"2", &o.pin) != S_OK) continue;
    EXPECT_EQ(o.pin->QueryPinInfo(&info), S_OK);
    if (info.pFilter) info.pFilter->Release();
    EXPECT_EQ(std::u16string(info.achName), o.name);
    EXPECT_EQ(o.pin->Connect(o.peer, nullptr), S_OK);
  }
  ASSERT_TRUE(outputs[0].pin && outputs[1].pin) << "the movie has video and sound";
  ASSERT_EQ(filter->Run(0), S_OK);
  for (Output &o : outputs) {
    EXPECT_TRUE(o.peer->WaitForEndOfStream(1, std::chrono::seconds(60))) << Narrow(o.name);
    EXPECT_GT(o.peer->Received().size(), 0u) << Narrow(o.name);
  }
  EXPECT_EQ(outputs[0].peer->Received().size(), 25u)
      << "all of the one second at 25 frames a second (the sound is longer)";
  EXPECT_EQ(filter->Stop(), S_OK);
  for (Output &o : outputs) {
    if (o.pin) {
      o.pin->Disconnect();
      o.pin->Release();
    }
    o.peer->Disconnect();
    o.peer->Release();
  }
  EXPECT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
}

// COM loads the registered module for CoCreateInstance, the filter plays a
// movie, and CoFreeUnusedLibraries unloads the module once the last object
// is gone; a new CoCreateInstance loads it again.
TEST_F(ServerModuleTest, Activation_LoadsThroughInprocServerAndUnloadsWhenUnused) {
  const std::string &module = kModule;
  if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string movie = dir_.File("av.mp4");
  ASSERT_TRUE(
      ff::RunFfmpeg("-f lavfi -i testsrc=size=176x144:rate=25:duration=1 "
                    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
                    "-c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac " +
                    ff::ShellQuote(movie)));
  // Where the module finds the runtime, as its installation writes it.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apple Computer, Inc.\\QuickTime", &key), ERROR_SUCCESS);
  const std::u16string runtime = Wide(std::string(TP_QUICKTIME_DIR) + "/");
  ASSERT_EQ(RegSetValueExW(key, u"QTSysDir", 0, REG_SZ, reinterpret_cast<const BYTE *>(runtime.c_str()),
                           static_cast<DWORD>((runtime.size() + 1) * 2)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Regsvr32("/s " + ff::ShellQuote(module)), 0);
  EXPECT_EQ(ReadValue(u"Media Type\\Extensions\\.mov", u"Source Filter").value_or(u""), kBraced);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(GetModuleHandleA(module.c_str()), nullptr);
    IBaseFilter *filter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Tidepool, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void **>(&filter)),
              S_OK);
    EXPECT_NE(GetModuleHandleA(module.c_str()), nullptr);
    CLSID id{};
    EXPECT_EQ(filter->GetClassID(&id), S_OK);
    EXPECT_TRUE(IsEqualCLSID(id, CLSID_Tidepool));
    PlayMovie(filter, movie);
    CoFreeUnusedLibraries();
    EXPECT_NE(GetModuleHandleA(module.c_str()), nullptr) << "unloaded under a live object";
    EXPECT_EQ(filter->Release(), 0u);
    CoFreeUnusedLibraries();
    EXPECT_EQ(GetModuleHandleA(module.c_str()), nullptr) << "still loaded after the last release";
    // What the module loaded went with it.
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
    EXPECT_EQ(GetModuleHandleA("quilltrace.dll"), nullptr);
  }
  CoUninitialize();
}

// The graph manager finds the registered filter for a movie of each of the
// sixteen extensions, by AddSourceFilter and by RenderFile; an extension
// nobody registered is refused.
TEST_F(ServerModuleTest, SourceLookup_EveryExtensionFindsTheFilter) {
  if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apple Computer, Inc.\\QuickTime", &key), ERROR_SUCCESS);
  const std::u16string runtime = Wide(std::string(TP_QUICKTIME_DIR) + "/");
  ASSERT_EQ(RegSetValueExW(key, u"QTSysDir", 0, REG_SZ, reinterpret_cast<const BYTE *>(runtime.c_str()),
                           static_cast<DWORD>((runtime.size() + 1) * 2)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Regsvr32("/s " + ff::ShellQuote(kModule)), 0);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  // The class id of the graph's filter that took the file, or GUID_NULL.
  auto sourceOf = [](IGraphBuilder *graph) {
    CLSID found = GUID_NULL;
    IEnumFilters *filters = nullptr;
    if (graph->EnumFilters(&filters) != S_OK) return found;
    IBaseFilter *f = nullptr;
    while (filters->Next(1, &f, nullptr) == S_OK) {
      CLSID id{};
      if (f->GetClassID(&id) == S_OK && IsEqualCLSID(id, CLSID_Tidepool)) found = id;
      f->Release();
    }
    filters->Release();
    return found;
  };
  for (const tp::test::MovieFileType &type : tp::test::MovieFileTypes()) {
    SCOPED_TRACE(type.ext);
    const std::string movie = dir_.File(std::string("movie") + type.ext);
    ASSERT_TRUE(type.make(movie));
    for (const bool render : {false, true}) {
      IGraphBuilder *graph = nullptr;
      ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                 reinterpret_cast<void **>(&graph)),
                S_OK);
      if (render) {
        EXPECT_TRUE(SUCCEEDED(graph->RenderFile(Wide(movie).c_str(), nullptr)));
      } else {
        IBaseFilter *source = nullptr;
        EXPECT_EQ(graph->AddSourceFilter(Wide(movie).c_str(), u"source", &source), S_OK);
        if (source) source->Release();
      }
      EXPECT_TRUE(IsEqualCLSID(sourceOf(graph), CLSID_Tidepool)) << (render ? "RenderFile" : "AddSourceFilter");
      EXPECT_EQ(graph->Release(), 0u);
    }
  }
  const std::string unknown = dir_.File("movie.xyz");
  ASSERT_TRUE(ff::RunCommand("cp " + ff::ShellQuote(dir_.File("movie.mov")) + " " + ff::ShellQuote(unknown)) == 0);
  IGraphBuilder *graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void **>(&graph)),
            S_OK);
  IBaseFilter *source = nullptr;
  EXPECT_EQ(graph->AddSourceFilter(Wide(unknown).c_str(), u"source", &source), VFW_E_UNKNOWN_FILE_TYPE);
  EXPECT_EQ(source, nullptr);
  graph->Release();
  CoFreeUnusedLibraries();
  CoUninitialize();
}

// ---- module entry and class factory ------------------------------------------------

// {0C5E8B0A-61F3-4E3B-9C0D-3A1E7F2B6D01}, {...02}: the test module's failing classes.
const GUID kFailsWithObject = {0x0c5e8b0a, 0x61f3, 0x4e3b, {0x9c, 0x0d, 0x3a, 0x1e, 0x7f, 0x2b, 0x6d, 0x01}};
const GUID kFailsWithoutResult = {0x0c5e8b0a, 0x61f3, 0x4e3b, {0x9c, 0x0d, 0x3a, 0x1e, 0x7f, 0x2b, 0x6d, 0x02}};

// An aggregating object: only its identity matters.
struct Outer : IUnknown {
  STDMETHODIMP QueryInterface(REFIID, void **ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST_F(ServerModuleTest, ModuleEntryAndClassFactory) {
  typedef HRESULT(STDAPICALLTYPE * GetClassObjectFn)(REFCLSID, REFIID, LPVOID *);
  typedef HRESULT(STDAPICALLTYPE * CanUnloadFn)();
  SetEnvironmentVariableA("TP_SERVER_TEST_INIT", nullptr);
  HMODULE module = LoadLibraryA(kTestModule.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_STREQ(getenv("TP_SERVER_TEST_INIT"), "attach");
  auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void *>(GetProcAddress(module, "DllGetClassObject")));
  auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void *>(GetProcAddress(module, "DllCanUnloadNow")));
  ASSERT_TRUE(getClassObject && canUnload);
  EXPECT_EQ(GetProcAddress(module, "g_Templates"), nullptr) << "only the entry points are exported";

  struct GetCase {
    const GUID &clsid;
    const IID &iid;
    HRESULT expected;
  };
  for (const GetCase &c :
       {GetCase{CLSID_Tidepool, IID_IClassFactory, S_OK}, GetCase{CLSID_Tidepool, IID_IUnknown, S_OK},
        GetCase{IID_IBaseFilter, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        GetCase{IID_IBaseFilter, IID_IBaseFilter, E_NOINTERFACE}}) {
    IUnknown *factory = reinterpret_cast<IUnknown *>(1);
    EXPECT_EQ(getClassObject(c.clsid, c.iid, reinterpret_cast<void **>(&factory)), c.expected);
    if (c.expected == S_OK) {
      ASSERT_NE(factory, nullptr);
      EXPECT_EQ(canUnload(), S_FALSE) << "a live factory keeps the module";
      EXPECT_EQ(factory->AddRef(), 2u);
      factory->Release();
      EXPECT_EQ(factory->Release(), 0u);
    } else {
      EXPECT_EQ(factory, nullptr);
    }
    EXPECT_EQ(canUnload(), S_OK);
  }
  EXPECT_EQ(getClassObject(CLSID_Tidepool, IID_IClassFactory, nullptr), E_POINTER);

  struct CreateCase {
    const char *what;
    const GUID &clsid;
    bool aggregated;
    const IID &iid;
    HRESULT expected;
  };
  Outer outer;
  const CreateCase cases[] = {
      {"filter", CLSID_Tidepool, false, IID_IBaseFilter, S_OK},
      {"aggregated, inner unknown", CLSID_Tidepool, true, IID_IUnknown, S_OK},
      {"aggregated, other interface", CLSID_Tidepool, true, IID_IBaseFilter, E_NOINTERFACE},
      {"interface the object lacks", CLSID_Tidepool, false, IID_IFileSourceFilter, E_NOINTERFACE},
      {"failure with an object", kFailsWithObject, false, IID_IUnknown, E_FAIL},
      {"no object, no result", kFailsWithoutResult, false, IID_IUnknown, E_OUTOFMEMORY},
  };
  for (const CreateCase &c : cases) {
    SCOPED_TRACE(c.what);
    IClassFactory *factory = nullptr;
    ASSERT_EQ(getClassObject(c.clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    IUnknown *object = reinterpret_cast<IUnknown *>(1);
    EXPECT_EQ(factory->CreateInstance(c.aggregated ? &outer : nullptr, c.iid, reinterpret_cast<void **>(&object)),
              c.expected);
    EXPECT_EQ(factory->CreateInstance(nullptr, c.iid, nullptr), E_POINTER);
    factory->Release();
    if (c.expected == S_OK) {
      ASSERT_NE(object, nullptr);
      EXPECT_EQ(canUnload(), S_FALSE) << "a live object keeps the module";
      EXPECT_EQ(object->Release(), 0u);
    } else {
      EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(canUnload(), S_OK) << "an object was left behind";
  }

  IClassFactory *factory = nullptr;
  ASSERT_EQ(getClassObject(CLSID_Tidepool, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnload(), S_FALSE) << "a server lock keeps the module";
  ASSERT_EQ(getClassObject(CLSID_Tidepool, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnload(), S_OK);

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_STREQ(getenv("TP_SERVER_TEST_INIT"), "detach");
  EXPECT_EQ(GetModuleHandleA(kTestModule.c_str()), nullptr);
}

}  // namespace
