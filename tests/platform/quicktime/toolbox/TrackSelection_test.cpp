// The calls that describe and choose a movie's tracks, through the
// dispatcher: enabled flags and what Movie Audio Extraction then plays,
// alternate groups, track references (a 'chpl' list answered as a chapter
// track), languages and user data, with stale and missing arguments.
#include <gtest/gtest.h>

#include <string>

#include "RuntimeCalls.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

using namespace test::qtcall;

constexpr OSType kTitle = 0xA96E616D;  // '\xA9nam'

class TrackSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
    const std::string meta =
        ";FFMETADATA1\ntitle=Tide\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=400\ntitle=One\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=400\nEND=1000\ntitle=Two\n";
    test::ff::WriteFileBytes(dir_.File("meta.txt"), std::vector<uint8_t>(meta.begin(), meta.end()));
    const std::string file = dir_.File("movie.mp4");
    ASSERT_TRUE(test::ff::RunFfmpeg(
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
        "-f lavfi -i sine=frequency=660:sample_rate=48000:duration=1 -i " +
        test::ff::ShellQuote(dir_.File("meta.txt")) +
        " -map 0 -map 1 -map_metadata 2 -map_chapters 2 -c:a aac -ac:a:1 1 -metadata:s:a:0 language=eng "
        "-metadata:s:a:1 language=fra " +
        test::ff::ShellQuote(file)));
    // Hide the chapter track's references: the 'chpl' list is left.
    std::vector<uint8_t> bytes = test::ff::ReadFileBytes(file);
    for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
      if (std::string(bytes.begin() + long(i), bytes.begin() + long(i) + 4) == "tref")
        std::copy_n("free", 4, bytes.begin() + long(i));
    }
    test::ff::WriteFileBytes(file, bytes);
    ASSERT_EQ(DispatchCall(kQTSelEnterMovies), 0);
    ASSERT_EQ(QOpenMovie(file, &movie_), noErr);
    first_ = QGetMovieIndTrack(movie_, 1);
    second_ = QGetMovieIndTrack(movie_, 2);
    ASSERT_TRUE(first_ && second_);
  }
  void TearDown() override {
    if (movie_) DispatchCall(kQTSelDisposeMovie, movie_);
    DispatchCall(kQTSelExitMovies);
  }

  bool Enabled(Track t) { return DispatchCall(kQTSelGetTrackEnabled, t) != 0; }
  // The rate Movie Audio Extraction plays at: the chosen track's own.
  double ExtractionRate() {
    MovieAudioExtractionRef session = nullptr;
    if (DispatchCall(kQTSelMovieAudioExtractionBegin, movie_, 0, &session) != noErr) return 0;
    AudioStreamBasicDescription asbd{};
    DispatchCall(kQTSelMovieAudioExtractionGetProperty, session, kQTPropertyClass_MovieAudioExtraction_Audio,
                 kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription, ByteCount(sizeof asbd), &asbd,
                 nullptr);
    DispatchCall(kQTSelMovieAudioExtractionEnd, session);
    return asbd.mSampleRate;
  }
  std::string UserText(UserData ud, OSType type, SInt32 index, OSErr *err) {
    Handle h = QNewHandle(0);
    *err = Err(DispatchCall(kQTSelGetUserDataText, ud, h, type, index, 0));
    std::string text(*h, size_t(QGetHandleSize(h)));
    QDisposeHandle(h);
    return text;
  }

  test::ff::TempDir dir_;
  Movie movie_ = nullptr;
  Track first_ = nullptr, second_ = nullptr;
};

TEST_F(TrackSelectionTest, EnabledFlags_ChooseTheExtractedSoundTrack) {
  // The file enables the first sound track only.
  EXPECT_TRUE(Enabled(first_));
  EXPECT_FALSE(Enabled(second_));
  EXPECT_EQ(ExtractionRate(), 44100.0);
  DispatchCall(kQTSelSetTrackEnabled, first_, 0);
  DispatchCall(kQTSelSetTrackEnabled, second_, 1);
  EXPECT_EQ(QGetMoviesError(), noErr);
  EXPECT_EQ(ExtractionRate(), 48000.0);
  // None enabled: the first plays, as with a file that enables none.
  DispatchCall(kQTSelSetTrackEnabled, second_, 0);
  EXPECT_EQ(ExtractionRate(), 44100.0);

  // The two sound tracks are alternates of each other.
  EXPECT_EQ(reinterpret_cast<Track>(DispatchCall(kQTSelGetTrackAlternate, first_)), second_);
  EXPECT_EQ(reinterpret_cast<Track>(DispatchCall(kQTSelGetTrackAlternate, second_)), first_);
  EXPECT_EQ(SInt16(DispatchCall(kQTSelGetMediaLanguage, QGetTrackMedia(second_))),
            SInt16((('f' - 0x60) << 10) | (('r' - 0x60) << 5) | ('a' - 0x60)));

  // Stale values are refused, not followed.
  Track stale = reinterpret_cast<Track>(uintptr_t(0x1234));
  EXPECT_EQ(DispatchCall(kQTSelGetTrackEnabled, stale), 0);
  EXPECT_EQ(QGetMoviesError(), invalidTrack);
  DispatchCall(kQTSelSetTrackEnabled, stale, 1);
  EXPECT_EQ(QGetMoviesError(), invalidTrack);
  EXPECT_EQ(DispatchCall(kQTSelGetTrackAlternate, stale), 0);
}

TEST_F(TrackSelectionTest, ChapterList_AnsweredAsAChapterTrack) {
  ASSERT_EQ(DispatchCall(kQTSelGetTrackReferenceCount, first_, kTrackReferenceChapterList), 1);
  Track chapters =
      reinterpret_cast<Track>(DispatchCall(kQTSelGetTrackReference, first_, kTrackReferenceChapterList, 1));
  ASSERT_NE(chapters, nullptr);
  EXPECT_EQ(DispatchCall(kQTSelGetTrackReference, first_, kTrackReferenceChapterList, 2), 0);
  // It is not one of the movie's own tracks, and has no chapters itself.
  for (SInt32 i = 1; i <= QGetMovieTrackCount(movie_); ++i) EXPECT_NE(QGetMovieIndTrack(movie_, i), chapters);
  EXPECT_EQ(DispatchCall(kQTSelGetTrackReferenceCount, chapters, kTrackReferenceChapterList), 0);
  Media media = QGetTrackMedia(chapters);
  ASSERT_EQ(QHandlerType(media), TextMediaType);

  const char *titles[] = {"One", "Two"};
  const TimeValue starts[] = {0, QGetMovieTimeScale(movie_) * 2 / 5};
  TimeValue time = 0;
  SInt16 flags = nextTimeMediaSample | nextTimeEdgeOK;
  for (int i = 0; i < 2; ++i) {
    TimeValue next = -1, duration = 0;
    DispatchCall(kQTSelGetTrackNextInterestingTime, chapters, flags, time, 0x10000, &next, &duration);
    ASSERT_EQ(next, starts[i]);
    const TimeValue mediaTime = TimeValue(DispatchCall(kQTSelTrackTimeToMediaTime, next, chapters));
    Handle h = QNewHandle(0);
    SInt32 size = 0, count = 0;
    ASSERT_EQ(Err(DispatchCall(kQTSelGetMediaSample, media, h, 0, &size, mediaTime, nullptr, nullptr, nullptr, nullptr,
                               1, &count, nullptr)),
              noErr);
    EXPECT_EQ(std::string(*h + 2, size_t(size) - 2), titles[i]);
    QDisposeHandle(h);
    time = next;
    flags = nextTimeMediaSample;
  }
}

TEST_F(TrackSelectionTest, UserData_TextItemsFromTheMetadataList) {
  UserData ud = reinterpret_cast<UserData>(DispatchCall(kQTSelGetMovieUserData, movie_));
  ASSERT_NE(ud, nullptr);
  OSErr err = 1;
  EXPECT_EQ(UserText(ud, kTitle, 1, &err), "Tide");
  EXPECT_EQ(err, noErr);
  EXPECT_EQ(DispatchCall(kQTSelCountUserDataType, ud, kTitle), 1);
  UserText(ud, kTitle, 2, &err);
  EXPECT_EQ(err, userDataItemNotFound);
  EXPECT_EQ(Err(DispatchCall(kQTSelGetUserData, ud, nullptr, kTitle, 1)), nilHandleErr);
  UserData trackData = reinterpret_cast<UserData>(DispatchCall(kQTSelGetTrackUserData, first_));
  ASSERT_NE(trackData, nullptr);
  UserText(trackData, kTitle, 1, &err);
  EXPECT_EQ(err, userDataItemNotFound);

  DispatchCall(kQTSelDisposeMovie, movie_);
  movie_ = nullptr;
  UserText(ud, kTitle, 1, &err);
  EXPECT_EQ(err, paramErr);
}

}  // namespace
}  // namespace tp::qt
