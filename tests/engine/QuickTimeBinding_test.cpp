// The runtime binding against scripted runtimes: finding the library,
// binding its entries, the initialisation count and the unbound state.
#include <windows.h>

#include <thread>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "QuickTime/Movies.h"
#include "QuickTime/QTML.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;

namespace {

const std::string kFakeDir = TP_FAKEQT_DIR;
const std::string kNoDispatcherDir = TP_FAKEQT_NODISPATCH_DIR;

class QuickTimeBindingTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetQuickTimeBindingForTesting(); }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }
  EngineEnvironment env;
};

TEST_F(QuickTimeBindingTest, NoRuntime_InitializeFailsWith2093_AndEveryLaterCallWith2095) {
  SetQuickTimeValue("QTSysDir", (env.Dir() / "nowhere").string());
  EXPECT_EQ(InitializeQTML(0), kQTLoadFailedErr);
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
  EXPECT_EQ(GetMovieTrackCount(nullptr), kQTNotBoundErr);
  EXPECT_EQ(InitializeQTML(0), kQTLoadFailedErr);
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
}

TEST_F(QuickTimeBindingTest, MissingEntryPoint_InitializeFailsWith2094_AndReleasesTheLibrary) {
  SetQuickTimeValue("QTSysDir", kNoDispatcherDir);
  EXPECT_EQ(InitializeQTML(0), kQTEntryMissingErr);
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
}

TEST_F(QuickTimeBindingTest, RuntimeRefusesInitialisation_ErrorReturned_NothingStaysBound) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  setenv("FAKEQT_FAIL", "1d0008=-108", 1);
  EXPECT_EQ(InitializeQTML(0), -108);
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
  // The next call tries to bind again, finds no library and fails.
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
}

TEST_F(QuickTimeBindingTest, TwoInitialisations_RuntimeStartedOnce_StoppedAndReleasedByTheLast) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  ASSERT_EQ(InitializeQTML(0), 0);
  ASSERT_EQ(InitializeQTML(0), 0);
  EXPECT_EQ(QuickTimeInitCountForTesting(), 2);
  EXPECT_EQ(EnterMovies(), 0);
  TerminateQTML();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 1);
  EXPECT_NE(GetModuleHandleA("QuickTime.qts"), nullptr);
  EXPECT_EQ(EnterMovies(), 0);
  TerminateQTML();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
  const auto calls = env.Calls();
  EXPECT_EQ(CountOf(calls, "1d0008"), 1);
  EXPECT_EQ(CountOf(calls, "1d0009"), 1);
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
}

TEST_F(QuickTimeBindingTest, TerminateWithoutInitialise_LeavesCountAtZero_AndCallsNothing) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  TerminateQTML();
  TerminateQTML();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  EXPECT_TRUE(env.Calls().empty());
  ASSERT_EQ(InitializeQTML(0), 0);
  EXPECT_EQ(QuickTimeInitCountForTesting(), 1);
  TerminateQTML();
}

TEST_F(QuickTimeBindingTest, ConcurrentInitialisations_AreCountedOnce_Each) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([] { EXPECT_EQ(InitializeQTML(0), 0); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 4);
  threads.clear();
  for (int i = 0; i < 4; ++i) threads.emplace_back([] { TerminateQTML(); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
  const auto calls = env.Calls();
  EXPECT_EQ(CountOf(calls, "1d0008"), 1);
  EXPECT_EQ(CountOf(calls, "1d0009"), 1);
}

TEST_F(QuickTimeBindingTest, CallBeforeInitialise_BindsOnDemand) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  // The scripted runtime is not initialised, so the start-up hook keeps the
  // library it loaded and the call reaches it.
  EXPECT_EQ(EnterMovies(), 0);
  EXPECT_EQ(TheQuickTimeBinding().bindHook.load(), nullptr);
  EXPECT_NE(GetModuleHandleA("QuickTime.qts"), nullptr);
  // A later initialisation reuses the held library and the last
  // termination releases it.
  ASSERT_EQ(InitializeQTML(0), 0);
  TerminateQTML();
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(QuickTimeBindingTest, CallBeforeInitialise_RuntimeRunningElsewhere_ReferenceDroppedButEntriesStayValid) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  setenv("FAKEQT_FAIL", "1d0059=1", 1);
  HMODULE other = LoadLibraryA((kFakeDir + "/QuickTime.qts").c_str());  // another user of the runtime
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(EnterMovies(), 0);
  EXPECT_EQ(TheQuickTimeBinding().module.load(), nullptr);  // our reference was given back
  EXPECT_EQ(GetMoviesError(), unimpErr);                    // and the entries still answer
  ResetQuickTimeBindingForTesting();
  FreeLibrary(other);
}

TEST_F(QuickTimeBindingTest, CallBeforeInitialise_RuntimeClaimsToRunButNobodyHoldsIt_NoDanglingEntries) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  setenv("FAKEQT_FAIL", "1d0059=1", 1);
  // Dropping the only reference unloads the library: the entries must not
  // be left pointing into it.
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
  EXPECT_EQ(TheQuickTimeBinding().theQuickTimeDispatcher.load(), &NotBoundDispatcher);
  unsetenv("FAKEQT_FAIL");
  ASSERT_EQ(InitializeQTML(0), 0);
  EXPECT_EQ(EnterMovies(), 0);
  TerminateQTML();
}

TEST_F(QuickTimeBindingTest, SystemFolder_MissingFolderSkipped_SeparatorAppended) {
  SetQuickTimeValue("QTSysDir", (env.Dir() / "missing").string());
  SetQuickTimeValue("QuickTime.qts folder", kFakeDir);
  char folder[MAX_PATH];
  ASSERT_EQ(GetQuickTimeSystemFolder(folder, sizeof(folder)), 1);
  EXPECT_EQ(std::string(folder), kFakeDir + "\\");
  ASSERT_EQ(InitializeQTML(0), 0);
  TerminateQTML();
}

TEST_F(QuickTimeBindingTest, SystemFolder_KeepsAnExistingSeparator_AndRefusesASmallBuffer) {
  SetQuickTimeValue("QTSysDir", kFakeDir + "/");
  char folder[MAX_PATH];
  ASSERT_EQ(GetQuickTimeSystemFolder(folder, sizeof(folder)), 1);
  EXPECT_EQ(std::string(folder), kFakeDir + "/");
  char small[8] = "xxxxxxx";
  EXPECT_EQ(GetQuickTimeSystemFolder(small, sizeof(small)), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(GetQuickTimeSystemFolder(nullptr, 0), 0);
}

TEST_F(QuickTimeBindingTest, SystemFolder_OfALoadedRuntimeComesFirst) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  ASSERT_EQ(InitializeQTML(0), 0);
  SetQuickTimeValue("QTSysDir", kNoDispatcherDir);
  char folder[MAX_PATH];
  ASSERT_EQ(GetQuickTimeSystemFolder(folder, sizeof(folder)), 1);
  EXPECT_EQ(std::string(folder).substr(0, kFakeDir.size()), kFakeDir);
  TerminateQTML();
}

TEST_F(QuickTimeBindingTest, LoadComponent_FallsBackToTheExtensionFolder) {
  SetQuickTimeValue("QTSysDir", env.Dir().string());  // exists, holds no runtime
  SetQuickTimeValue("QTExtDir", kFakeDir);
  char ext[MAX_PATH];
  ASSERT_EQ(GetQuickTimeExtensionFolder(ext, sizeof(ext)), 1);
  EXPECT_EQ(std::string(ext), kFakeDir + "\\");
  HMODULE module = LoadQuickTimeComponent("QuickTime.qts");
  ASSERT_NE(module, nullptr);
  FreeLibrary(module);
  EXPECT_EQ(LoadQuickTimeComponent(nullptr), nullptr);
  EXPECT_EQ(LoadQuickTimeComponent(std::string(300, 'a').c_str()), nullptr);
}

TEST_F(QuickTimeBindingTest, VersionCheck_AcceptsTheRuntimesVersionResource) {
  SetQuickTimeValue("QTSysDir", kFakeDir);
  EXPECT_TRUE(CheckQuickTimeVersion());  // 7.6.9.0, loaded for the check only
  EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
  // The verdict is kept for the process.
  SetQuickTimeValue("QTSysDir", std::string(TP_FAKEQT_OLD_DIR));
  EXPECT_TRUE(CheckQuickTimeVersion());
}

TEST_F(QuickTimeBindingTest, VersionCheck_OldRuntime_StartUpBindingKeepsItsReference) {
  SetQuickTimeValue("QTSysDir", std::string(TP_FAKEQT_OLD_DIR));
  EXPECT_FALSE(CheckQuickTimeVersion());  // 7.0.1.255
  // Not trusted to be running elsewhere, so the reference stays held.
  setenv("FAKEQT_FAIL", "1d0059=1", 1);
  EXPECT_EQ(EnterMovies(), 0);
  EXPECT_NE(TheQuickTimeBinding().module.load(), nullptr);
}

}  // namespace
