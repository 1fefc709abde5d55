// The dispatcher contract: selectors, argument passing, QTML nesting, path
// conversion, and the shared library's exports and version resource.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <windows.h>
#include <winver.h>

#include <QuickTime/QTDispatch.h>

#include "RuntimeCalls.h"
#include "support/FfmpegTools.h"

namespace tp::test {
namespace {

using namespace qtcall;

std::string RuntimePath() { return std::string(TP_BUILD_DIR) + "/QuickTime/" kQTRuntimeFileName; }

TEST(DispatcherTest, UnknownSelectors_AnswerUnimpErr) {
  EXPECT_EQ(DispatchCall(0x7FFF0001u), unimpErr);
  EXPECT_EQ(DispatchCall(0u), unimpErr);
  EXPECT_TRUE(qt::IsSelectorImplemented(kQTSelGetMediaSample2));
  EXPECT_TRUE(qt::IsSelectorImplemented(kQTSelSoundConverterFillBuffer));
  EXPECT_TRUE(qt::IsSelectorImplemented(kQTSelMovieAudioExtractionBegin));
  EXPECT_FALSE(qt::IsSelectorImplemented(0x00250001u));
}

TEST(DispatcherTest, Qtml_InitialisationNestsAndTheQueryFollowsIt) {
  ASSERT_EQ(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0);
  EXPECT_EQ(DispatchCall(kQTSelInitializeQTML, 0), noErr);
  EXPECT_EQ(DispatchCall(kQTSelInitializeQTML, 0), noErr);
  EXPECT_NE(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0);
  DispatchCall(kQTSelTerminateQTML);
  EXPECT_NE(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0) << "one initialisation is still open";
  DispatchCall(kQTSelTerminateQTML);
  EXPECT_EQ(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0);
  DispatchCall(kQTSelTerminateQTML);  // unbalanced: ignored, the count stays at zero
  EXPECT_EQ(DispatchCall(kQTSelInitializeQTML, 0), noErr);
  EXPECT_NE(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0);
  DispatchCall(kQTSelTerminateQTML);
  EXPECT_EQ(DispatchCall(kQTSelIsQTMLInitialized) & 0xFF, 0);
}

TEST(DispatcherTest, NativePathNameToFSSpec_FillsPathAndLeafName) {
  ff::TempDir dir;
  std::string path = dir.File("movie file.aiff");
  ASSERT_TRUE(ff::WriteFileBytes(path, {1, 2, 3}));
  FSSpec spec;
  std::memset(&spec, 0x55, sizeof spec);
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, path.data(), &spec, kFullNativePath), noErr);
  EXPECT_STREQ(spec.path, path.c_str());
  EXPECT_EQ(std::string(reinterpret_cast<char *>(spec.name + 1), spec.name[0]), "movie file.aiff");

  std::string missing = dir.File("missing.mov");
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, missing.data(), &spec, kFullNativePath), fnfErr);
  EXPECT_STREQ(spec.path, missing.c_str()) << "filled even for a file that does not exist";

  // Windows-style separators reach the same file.
  std::string windows = path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, windows.data(), &spec, kFullNativePath), noErr);
  SInt16 ref = 0;
  EXPECT_EQ(DispatchCall(kQTSelOpenMovieFile, &spec, &ref, 0), noErr);
  EXPECT_EQ(DispatchCall(kQTSelCloseMovieFile, ref), noErr);

  std::string tooLong(kFSSpecMaxPathBytes + 10, 'a');
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, tooLong.data(), &spec, 0), bdNamErr);
  EXPECT_EQ(spec.path[0], '\0');
  char empty[] = "";
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, empty, &spec, 0), bdNamErr);
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, nullptr, &spec, 0), paramErr);
  EXPECT_EQ(DispatchCall(kQTSelNativePathNameToFSSpec, path.data(), nullptr, 0), paramErr);
}

TEST(DispatcherTest, GetMediaSample2_ResultGoesToTheSlotAndMissingAddressesAreRefused) {
  OSErr slot = 1;
  Media bogus = reinterpret_cast<Media>(&slot);  // not a media of this runtime
  UInt8 *data = nullptr;
  ByteCount max = 0, *size = nullptr;
  TimeValue64 time = 0, *t1 = nullptr, *t2 = nullptr, *t3 = nullptr;
  SampleDescriptionHandle desc = nullptr;
  ItemCount *index = nullptr, maxCount = 1, *count = nullptr;
  MediaSampleFlags *flags = nullptr;
  intptr_t r = DispatchCall(kQTSelGetMediaSample2, &slot, &bogus, &data, &max, &size, &time, &t1, &t2, &t3, &desc,
                            &index, &maxCount, &count, &flags);
  EXPECT_EQ(slot, invalidMedia);
  EXPECT_EQ(r, invalidMedia);
  slot = 1;
  r = DispatchCall(kQTSelGetMediaSample2, &slot, &bogus, &data, &max, &size, &time, &t1, &t2, &t3, &desc, &index,
                   nullptr, &count, &flags);
  EXPECT_EQ(slot, paramErr);
  EXPECT_EQ(r, paramErr);
}

class SharedLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = ::dlopen(RuntimePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (lib_) ::dlclose(lib_);
  }
  void *lib_ = nullptr;
};

TEST_F(SharedLibraryTest, ExportsTheThreeEntryPointsAndNoApiNames) {
  auto dispatcher = reinterpret_cast<QTDispatcherProc>(::dlsym(lib_, kQTDispatcherExportName));
  ASSERT_NE(dispatcher, nullptr);
  auto call = reinterpret_cast<QTCallComponentProc>(::dlsym(lib_, kQTCallComponentExportName));
  ASSERT_NE(call, nullptr);
  auto withStorage = reinterpret_cast<QTCallComponentFunctionWithStorageProc>(
      ::dlsym(lib_, kQTCallComponentFunctionWithStorageExportName));
  ASSERT_NE(withStorage, nullptr);
  EXPECT_EQ(call(nullptr, nullptr), badComponentSelector);
  EXPECT_EQ(withStorage(nullptr, nullptr, nullptr), badComponentSelector);

  // The engine defines functions with the API's names; the runtime must not
  // export any, or the dynamic linker could bind one to the other.
  for (const char *name : {"EnterMovies", "NewHandle", "GetMediaSample2", "InitializeQTML", "MemError"})
    EXPECT_EQ(::dlsym(lib_, name), nullptr) << name;

  EXPECT_EQ(dispatcher(0x7FFF0001u), unimpErr);
  EXPECT_EQ(dispatcher(kQTSelInitializeQTML, 0), noErr);
  EXPECT_EQ(dispatcher(kQTSelEnterMovies), noErr);
  Handle h = reinterpret_cast<Handle>(dispatcher(kQTSelNewHandle, 24));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dispatcher(kQTSelGetHandleSize, h), 24);
  dispatcher(kQTSelDisposeHandle, h);
  EXPECT_EQ(dispatcher(kQTSelMemError), noErr);
  dispatcher(kQTSelExitMovies);
  dispatcher(kQTSelTerminateQTML);
}

TEST_F(SharedLibraryTest, CarriesAVersionOfAtLeast7_0_2_0) {
  std::string path = RuntimePath();
  std::u16string wide(path.begin(), path.end());  // the build path is ASCII
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(reinterpret_cast<LPCWSTR>(wide.c_str()), &handle);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(reinterpret_cast<LPCWSTR>(wide.c_str()), 0, size, block.data()));
  VS_FIXEDFILEINFO *info = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", reinterpret_cast<LPVOID *>(&info), &len));
  ASSERT_NE(info, nullptr);
  uint32_t packed = ((info->dwFileVersionMS >> 16 & 0xFF) << 24) | ((info->dwFileVersionMS & 0xFF) << 16) |
                    ((info->dwFileVersionLS >> 16 & 0xFF) << 8) | (info->dwFileVersionLS & 0xFF);
  EXPECT_GE(packed, 0x07000200u);
}

}  // namespace
}  // namespace tp::test
