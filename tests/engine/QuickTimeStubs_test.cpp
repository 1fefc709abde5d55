// Every runtime function the engine calls must reach the dispatcher with its
// own selector and the caller's arguments in order.
#include <cstdarg>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "QuickTime/Movies.h"
#include "QuickTime/QTML.h"
#include "EngineTestEnv.h"
#include "engine/QuickTimeBinding.h"

namespace {

struct Arg {
  uint64_t value;
  int bits;
};
Arg P(uintptr_t v) { return {v, 64}; }
Arg I(uint32_t v) { return {v, 32}; }

uint32_t g_selector;
std::vector<uint64_t> g_args;
size_t g_wanted;
intptr_t g_answer;

intptr_t Recorder(uint32_t selector, ...) {
  va_list ap;
  va_start(ap, selector);
  g_selector = selector;
  g_args.clear();
  for (size_t i = 0; i < g_wanted; ++i) g_args.push_back(va_arg(ap, uint64_t));
  va_end(ap);
  return g_answer;
}

struct StubCase {
  const char *name;
  uint32_t selector;
  std::function<intptr_t()> call;
  std::vector<Arg> args;
};

constexpr OSType FC(const char (&s)[5]) { return QT_FOUR_CHAR_CODE(s[0], s[1], s[2], s[3]); }

template <typename T>
T *Fake(uintptr_t v) {
  return reinterpret_cast<T *>(v);
}

class QuickTimeStubs : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    QuickTimeBinding &b = TheQuickTimeBinding();
    b.bindHook.store(nullptr);
    b.theQuickTimeDispatcher.store(&Recorder);
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }
  enginetest::EngineEnvironment env;  // a private registry, in case a stub binds
};

TEST_F(QuickTimeStubs, EveryStub_PassesItsSelectorAndArgumentsInOrder) {
  const Movie mv = Fake<MovieType *>(0x1110);
  const Media md = Fake<MediaType>(0x2220);
  const Handle h = Fake<char *>(0x3330);
  const uintptr_t p1 = 0x4440, p2 = 0x5550, p3 = 0x6660, p4 = 0x7770, p5 = 0x8880;
  const uintptr_t m = reinterpret_cast<uintptr_t>(mv), d = reinterpret_cast<uintptr_t>(md),
                  hh = reinterpret_cast<uintptr_t>(h);
  const std::vector<StubCase> cases = {
      {"EnterMovies", 0x20001, [] { return intptr_t(EnterMovies()); }, {}},
      {"ExitMovies",
       0x20002,
       [] {
         ExitMovies();
         return intptr_t(0);
       },
       {}},
      {"GetMoviesError", 0x20003, [] { return intptr_t(GetMoviesError()); }, {}},
      {"DisposeMovie",
       0x20023,
       [&] {
         DisposeMovie(mv);
         return intptr_t(0);
       },
       {P(m)}},
      {"GetMovieTimeScale", 0x20029, [&] { return intptr_t(GetMovieTimeScale(mv)); }, {P(m)}},
      {"GetMovieDuration", 0x2002b, [&] { return intptr_t(GetMovieDuration(mv)); }, {P(m)}},
      {"GetMovieTrackCount", 0x2003f, [&] { return intptr_t(GetMovieTrackCount(mv)); }, {P(m)}},
      {"GetTrackMedia",
       0x20062,
       [&] { return reinterpret_cast<intptr_t>(GetTrackMedia(Fake<TrackType>(p1))); },
       {P(p1)}},
      {"GetMediaTimeScale", 0x20068, [&] { return intptr_t(GetMediaTimeScale(md)); }, {P(d)}},
      {"GetMediaDuration", 0x2006a, [&] { return intptr_t(GetMediaDuration(md)); }, {P(d)}},
      {"GetMediaHandlerDescription",
       0x2006f,
       [&] {
         GetMediaHandlerDescription(md, Fake<OSType>(p1), Fake<unsigned char>(p2), Fake<OSType>(p3));
         return intptr_t(0);
       },
       {P(d), P(p1), P(p2), P(p3)}},
      {"GetMediaSampleDescription",
       0x20078,
       [&] {
         GetMediaSampleDescription(md, 1, Fake<SampleDescription *>(p1));
         return intptr_t(0);
       },
       {P(d), I(1), P(p1)}},
      {"GetMediaSample",
       0x2007e,
       [&] {
         return intptr_t(GetMediaSample(md, h, 77, Fake<SInt32>(p1), 99, Fake<TimeValue>(p2), Fake<TimeValue>(p3),
                                        Fake<SampleDescription *>(p4), Fake<SInt32>(p5), 5, Fake<SInt32>(p1 + 8),
                                        Fake<SInt16>(p2 + 8)));
       },
       {P(d), P(hh), I(77), P(p1), I(99), P(p2), P(p3), P(p4), P(p5), I(5), P(p1 + 8), P(p2 + 8)}},
      {"CloseMovieFile", 0x200d5, [] { return intptr_t(CloseMovieFile(-3)); }, {I(uint32_t(-3))}},
      {"NewMovieFromFile",
       0x200f0,
       [&] {
         return intptr_t(
             NewMovieFromFile(Fake<Movie>(p1), 7, Fake<SInt16>(p2), Fake<unsigned char>(p3), 1, Fake<Boolean>(p4)));
       },
       {P(p1), I(7), P(p2), P(p3), I(1), P(p4)}},
      {"GetMovieNextInterestingTime",
       0x2010e,
       [&] {
         GetMovieNextInterestingTime(mv, 9, 1, Fake<const OSType>(p1), 1234, 0x10000, Fake<TimeValue>(p2),
                                     Fake<TimeValue>(p3));
         return intptr_t(0);
       },
       {P(m), I(9), I(1), P(p1), I(1234), I(0x10000), P(p2), P(p3)}},
      {"GetMovieIndTrack", 0x20117, [&] { return reinterpret_cast<intptr_t>(GetMovieIndTrack(mv, 3)); }, {P(m), I(3)}},
      {"GetTrackEnabled", 0x20050, [&] { return intptr_t(GetTrackEnabled(Fake<TrackType>(p1))); }, {P(p1)}},
      {"SetTrackEnabled",
       0x2004f,
       [&] {
         SetTrackEnabled(Fake<TrackType>(p1), 1);
         return intptr_t(0);
       },
       {P(p1), I(1)}},
      {"GetTrackAlternate",
       0x2005f,
       [&] { return reinterpret_cast<intptr_t>(GetTrackAlternate(Fake<TrackType>(p1))); },
       {P(p1)}},
      {"GetTrackReferenceCount",
       0x20222,
       [&] { return intptr_t(GetTrackReferenceCount(Fake<TrackType>(p1), FC("chap"))); },
       {P(p1), I(FC("chap"))}},
      {"GetTrackReference",
       0x20220,
       [&] { return reinterpret_cast<intptr_t>(GetTrackReference(Fake<TrackType>(p1), FC("chap"), 2)); },
       {P(p1), I(FC("chap")), I(2)}},
      {"GetMediaLanguage", 0x20071, [&] { return intptr_t(GetMediaLanguage(md)); }, {P(d)}},
      {"GetMovieUserData", 0x20035, [&] { return reinterpret_cast<intptr_t>(GetMovieUserData(mv)); }, {P(m)}},
      {"GetTrackUserData",
       0x20065,
       [&] { return reinterpret_cast<intptr_t>(GetTrackUserData(Fake<TrackType>(p1))); },
       {P(p1)}},
      {"CountUserDataType",
       0x20127,
       [&] { return intptr_t(CountUserDataType(Fake<UserDataRecord *>(p1), FC("name"))); },
       {P(p1), I(FC("name"))}},
      {"GetUserData",
       0x20126,
       [&] { return intptr_t(GetUserData(Fake<UserDataRecord *>(p1), h, FC("name"), 2)); },
       {P(p1), P(hh), I(FC("name")), I(2)}},
      {"GetUserDataText",
       0x20129,
       [&] { return intptr_t(GetUserDataText(Fake<UserDataRecord *>(p1), h, FC("name"), 1, 0)); },
       {P(p1), P(hh), I(FC("name")), I(1), I(0)}},
      {"OpenMovieFile",
       0x20192,
       [&] { return intptr_t(OpenMovieFile(Fake<const FSSpec>(p1), Fake<SInt16>(p2), 1)); },
       {P(p1), P(p2), I(1)}},
      {"GetSoundDescriptionExtension",
       0x202d0,
       [&] {
         return intptr_t(GetSoundDescriptionExtension(Fake<SoundDescription *>(p1), Fake<Handle>(p2), FC("esds")));
       },
       {P(p1), P(p2), I(FC("esds"))}},
      {"MovieAudioExtractionBegin",
       0x204b4,
       [&] { return intptr_t(MovieAudioExtractionBegin(mv, 0, Fake<MovieAudioExtractionRef>(p1))); },
       {P(m), I(0), P(p1)}},
      {"MovieAudioExtractionEnd",
       0x204b5,
       [&] { return intptr_t(MovieAudioExtractionEnd(Fake<OpaqueMovieAudioExtraction>(p1))); },
       {P(p1)}},
      {"MovieAudioExtractionFillBuffer",
       0x204b6,
       [&] {
         return intptr_t(MovieAudioExtractionFillBuffer(Fake<OpaqueMovieAudioExtraction>(p1), Fake<UInt32>(p2),
                                                        Fake<AudioBufferList>(p3), Fake<UInt32>(p4)));
       },
       {P(p1), P(p2), P(p3), P(p4)}},
      {"MovieAudioExtractionGetPropertyInfo",
       0x204b7,
       [&] {
         return intptr_t(MovieAudioExtractionGetPropertyInfo(Fake<OpaqueMovieAudioExtraction>(p1), FC("xaud"),
                                                             FC("asbd"), Fake<OSType>(p2), Fake<ByteCount>(p3),
                                                             Fake<UInt32>(p4)));
       },
       {P(p1), I(FC("xaud")), I(FC("asbd")), P(p2), P(p3), P(p4)}},
      {"MovieAudioExtractionGetProperty",
       0x204b8,
       [&] {
         return intptr_t(MovieAudioExtractionGetProperty(Fake<OpaqueMovieAudioExtraction>(p1), FC("xaud"), FC("asbd"),
                                                         40, Fake<void>(p2), Fake<ByteCount>(p3)));
       },
       {P(p1), I(FC("xaud")), I(FC("asbd")), I(40), P(p2), P(p3)}},
      {"MovieAudioExtractionSetProperty",
       0x204b9,
       [&] {
         return intptr_t(MovieAudioExtractionSetProperty(Fake<OpaqueMovieAudioExtraction>(p1), FC("xmov"), FC("time"),
                                                         24, Fake<const void>(p2)));
       },
       {P(p1), I(FC("xmov")), I(FC("time")), I(24), P(p2)}},
      {"IsQTMLInitialized", 0x1d0059, [] { return intptr_t(IsQTMLInitialized()); }, {}},
      {"NativePathNameToFSSpec",
       0x1d002e,
       [&] {
         return intptr_t(NativePathNameToFSSpec(Fake<char>(p1), Fake<FSSpec>(p2), static_cast<SInt32>(0x80000000u)));
       },
       {P(p1), P(p2), I(0x80000000u)}},
      {"NewGWorldFromHBITMAP",
       0x170001,
       [&] {
         return intptr_t(NewGWorldFromHBITMAP(Fake<GWorldPtr>(p1), Fake<OpaqueColorTable *>(p2),
                                              Fake<OpaqueGDevice *>(p3), 4, Fake<void>(p4), Fake<void>(p5)));
       },
       {P(p1), P(p2), P(p3), I(4), P(p4), P(p5)}},
      {"MemError", 0x150006, [] { return intptr_t(MemError()); }, {}},
      {"NewHandle", 0x150008, [] { return reinterpret_cast<intptr_t>(NewHandle(4096)); }, {I(4096)}},
      {"NewPtr", 0x15000f, [] { return reinterpret_cast<intptr_t>(NewPtr(512)); }, {I(512)}},
      {"HLock",
       0x150019,
       [&] {
         HLock(h);
         return intptr_t(0);
       },
       {P(hh)}},
      {"HUnlock",
       0x15001a,
       [&] {
         HUnlock(h);
         return intptr_t(0);
       },
       {P(hh)}},
      {"HLockHi",
       0x15001d,
       [&] {
         HLockHi(h);
         return intptr_t(0);
       },
       {P(hh)}},
      {"DisposePtr",
       0x15002f,
       [&] {
         DisposePtr(Fake<char>(p1));
         return intptr_t(0);
       },
       {P(p1)}},
      {"DisposeHandle",
       0x150032,
       [&] {
         DisposeHandle(h);
         return intptr_t(0);
       },
       {P(hh)}},
      {"GetHandleSize", 0x150034, [&] { return intptr_t(GetHandleSize(h)); }, {P(hh)}},
      {"BlockMoveData",
       0x15003f,
       [&] {
         BlockMoveData(Fake<const void>(p1), Fake<void>(p2), 64);
         return intptr_t(0);
       },
       {P(p1), P(p2), I(64)}},
      {"SoundConverterOpen",
       0x250027,
       [&] {
         return intptr_t(SoundConverterOpen(Fake<const SoundComponentData>(p1), Fake<const SoundComponentData>(p2),
                                            Fake<SoundConverter>(p3)));
       },
       {P(p1), P(p2), P(p3)}},
      {"SoundConverterClose",
       0x250028,
       [&] { return intptr_t(SoundConverterClose(Fake<OpaqueSoundConverter>(p1))); },
       {P(p1)}},
      {"SoundConverterGetBufferSizes",
       0x250029,
       [&] {
         return intptr_t(SoundConverterGetBufferSizes(Fake<OpaqueSoundConverter>(p1), 65536, Fake<UInt32>(p2),
                                                      Fake<UInt32>(p3), Fake<UInt32>(p4)));
       },
       {P(p1), I(65536), P(p2), P(p3), P(p4)}},
      {"SoundConverterBeginConversion",
       0x25002a,
       [&] { return intptr_t(SoundConverterBeginConversion(Fake<OpaqueSoundConverter>(p1))); },
       {P(p1)}},
      {"SoundConverterEndConversion",
       0x25002c,
       [&] {
         return intptr_t(SoundConverterEndConversion(Fake<OpaqueSoundConverter>(p1), Fake<void>(p2), Fake<UInt32>(p3),
                                                     Fake<UInt32>(p4)));
       },
       {P(p1), P(p2), P(p3), P(p4)}},
      {"SoundConverterGetInfo",
       0x25002d,
       [&] { return intptr_t(SoundConverterGetInfo(Fake<OpaqueSoundConverter>(p1), FC("wave"), Fake<void>(p2))); },
       {P(p1), I(FC("wave")), P(p2)}},
      {"SoundConverterSetInfo",
       0x25002e,
       [&] { return intptr_t(SoundConverterSetInfo(Fake<OpaqueSoundConverter>(p1), FC("wave"), Fake<void>(p2))); },
       {P(p1), I(FC("wave")), P(p2)}},
      {"SoundConverterFillBuffer",
       0x25003f,
       [&] {
         return intptr_t(SoundConverterFillBuffer(
             Fake<OpaqueSoundConverter>(p1), reinterpret_cast<SoundConverterFillBufferDataUPP>(p2), Fake<void>(p3),
             Fake<void>(p4), 8192, Fake<UInt32>(p5), Fake<UInt32>(p1 + 8), Fake<UInt32>(p2 + 8)));
       },
       {P(p1), P(p2), P(p3), P(p4), I(8192), P(p5), P(p1 + 8), P(p2 + 8)}},
      {"CDSequenceEnd", 0x3001b, [] { return intptr_t(CDSequenceEnd(42)); }, {I(42)}},
      {"CDSequenceBusy", 0x30028, [] { return intptr_t(CDSequenceBusy(42)); }, {I(42)}},
      {"CDSequenceFlush", 0x30074, [] { return intptr_t(CDSequenceFlush(42)); }, {I(42)}},
      {"ICMSequenceGetInfo",
       0x301a3,
       [&] { return intptr_t(ICMSequenceGetInfo(42, FC("pend"), Fake<void>(p1))); },
       {I(42), I(FC("pend")), P(p1)}},
      {"DecompressSequenceBeginS",
       0x3005d,
       [&] {
         return intptr_t(DecompressSequenceBeginS(Fake<ImageSequence>(p1), Fake<ImageDescription *>(p2), Fake<char>(p3),
                                                  1000, Fake<OpaqueGrafPort>(p4), nullptr, Fake<const Rect>(p5),
                                                  nullptr, 64, nullptr, 1, 0x200, nullptr));
       },
       {P(p1), P(p2), P(p3), I(1000), P(p4), P(0), P(p5), P(0), I(64), P(0), I(1), I(0x200), P(0)}},
      {"DecompressSequenceFrameWhen",
       0x3005e,
       [&] {
         return intptr_t(DecompressSequenceFrameWhen(42, Fake<char>(p1), 2000, 1, Fake<CodecFlags>(p2), nullptr,
                                                     Fake<const ICMFrameTimeRecord>(p3)));
       },
       {I(42), P(p1), I(2000), I(1), P(p2), P(0), P(p3)}},
      {"QTNewGWorld",
       0x30080,
       [&] {
         return intptr_t(QTNewGWorld(Fake<GWorldPtr>(p1), FC("yuvs"), Fake<const Rect>(p2), nullptr, nullptr, 0));
       },
       {P(p1), I(FC("yuvs")), P(p2), P(0), P(0), I(0)}},
      {"QTGetPixMapHandleRowBytes",
       0x3008e,
       [&] { return intptr_t(QTGetPixMapHandleRowBytes(Fake<PixMap *>(p1))); },
       {P(p1)}},
      {"LockPixels", 0x1c0002, [&] { return intptr_t(LockPixels(Fake<PixMap *>(p1))); }, {P(p1)}},
      {"UnlockPixels",
       0x1c0003,
       [&] {
         UnlockPixels(Fake<PixMap *>(p1));
         return intptr_t(0);
       },
       {P(p1)}},
      {"DisposeGWorld",
       0x1c0005,
       [&] {
         DisposeGWorld(Fake<OpaqueGrafPort>(p1));
         return intptr_t(0);
       },
       {P(p1)}},
      {"GetPixBaseAddr",
       0x1c0010,
       [&] { return reinterpret_cast<intptr_t>(GetPixBaseAddr(Fake<PixMap *>(p1))); },
       {P(p1)}},
      {"GetGWorldPixMap",
       0x1c0018,
       [&] { return reinterpret_cast<intptr_t>(GetGWorldPixMap(Fake<OpaqueGrafPort>(p1))); },
       {P(p1)}},
  };
  for (const StubCase &c : cases) {
    SCOPED_TRACE(c.name);
    g_wanted = c.args.size();
    g_selector = 0;
    g_answer = 0;
    c.call();
    EXPECT_EQ(g_selector, c.selector);
    ASSERT_EQ(g_args.size(), c.args.size());
    for (size_t i = 0; i < c.args.size(); ++i) {
      const uint64_t mask = c.args[i].bits == 64 ? ~0ull : 0xffffffffull;
      EXPECT_EQ(g_args[i] & mask, c.args[i].value & mask) << "argument " << i;
    }
  }
}

TEST_F(QuickTimeStubs, Results_ComeBackWithTheirDeclaredWidth) {
  g_wanted = 0;
  g_answer = -50;
  EXPECT_EQ(EnterMovies(), -50);
  g_answer = 0x12345678;
  EXPECT_EQ(GetMovieTrackCount(nullptr), 0x12345678);
  g_answer = 0x7000;
  EXPECT_EQ(reinterpret_cast<intptr_t>(NewHandle(1)), 0x7000);
}

// GetMediaSample2: a result slot and the address of each argument.
OSErr g_slotAnswer;
uint64_t g_decodeTimeSeen;
std::vector<void *> g_addresses;

intptr_t AddressRecorder(uint32_t selector, ...) {
  va_list ap;
  va_start(ap, selector);
  g_selector = selector;
  auto *slot = va_arg(ap, OSErr *);
  g_addresses.clear();
  for (int i = 0; i < 13; ++i) g_addresses.push_back(va_arg(ap, void *));
  va_end(ap);
  g_decodeTimeSeen = *static_cast<TimeValue64 *>(g_addresses[4]);
  *static_cast<ByteCount *>(*static_cast<ByteCount **>(g_addresses[3])) = 321;
  *slot = g_slotAnswer;
  return g_slotAnswer;
}

TEST_F(QuickTimeStubs, GetMediaSample2_PassesASlotAndTheAddressOfEveryArgument) {
  TheQuickTimeBinding().theQuickTimeDispatcher.store(&AddressRecorder);
  ByteCount size = 0;
  g_slotAnswer = -2014;
  const TimeValue64 when = 0x123456789abLL;
  OSErr err = GetMediaSample2(nullptr, nullptr, 10, &size, when, nullptr, nullptr, nullptr, nullptr, nullptr, 1,
                              nullptr, nullptr);
  EXPECT_EQ(g_selector, 0x20459u);
  EXPECT_EQ(err, -2014);
  EXPECT_EQ(g_decodeTimeSeen, static_cast<uint64_t>(when));
  EXPECT_EQ(size, 321u);
  EXPECT_EQ(g_addresses.size(), 13u);
}

TEST_F(QuickTimeStubs, Unbound_EveryCallFailsWithNotBound) {
  ResetQuickTimeBindingForTesting();
  TheQuickTimeBinding().bindHook.store(nullptr);
  EXPECT_EQ(EnterMovies(), kQTNotBoundErr);
  EXPECT_EQ(OpenMovieFile(nullptr, nullptr, 0), kQTNotBoundErr);
  // The slot of GetMediaSample2 is never written by the unbound dispatcher:
  // the call must still fail rather than report success.
  ByteCount size = 0;
  EXPECT_EQ(
      GetMediaSample2(nullptr, nullptr, 0, &size, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 1, nullptr, nullptr),
      kQTNotBoundErr);
}

}  // namespace
