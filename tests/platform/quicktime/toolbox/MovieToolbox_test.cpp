// Movie toolbox calls through the dispatcher: opening and refusing files,
// stale and foreign values, sample access with its limits, descriptions and
// extensions, interesting times, a track's edits, and concurrent readers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "toolbox/MemoryManager.h"
#include "toolbox/MovieToolbox.h"
#include "container/SampleDescriptions.h"
#include "RuntimeCalls.h"
#include "support/FfmpegTools.h"
#include "support/FlicWriter.h"
#include "support/MovieWriter.h"

namespace tp::test {
namespace {

using namespace qtcall;

class MovieToolboxTest : public ::testing::Test {
 protected:
  void SetUp() override { movies_ = qt::MovieToolbox::Instance().OpenMovieCount(); }
  void TearDown() override {
    EXPECT_EQ(qt::MovieToolbox::Instance().OpenMovieCount(), movies_) << "a movie was left open";
  }
  // A mono 22,050 Hz AIFF of 1 s: packets of 2,048 frames (4,096 bytes).
  std::string MakeAiff() {
    std::string p = dir_.File("tone.aiff");
    EXPECT_TRUE(ff::RunFfmpeg("-f lavfi -i sine=sample_rate=22050 -t 1 -c:a pcm_s16be " + ff::ShellQuote(p)));
    return p;
  }
  std::string MakeDv() {
    std::string p = dir_.File("clip.dv");
    EXPECT_TRUE(ff::RunFfmpeg(
        "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 0.4 -pix_fmt yuv420p "
        "-c:v dvvideo -c:a pcm_s16le -ac 2 -f dv " +
        ff::ShellQuote(p)));
    return p;
  }
  ff::TempDir dir_;
  size_t movies_ = 0;
};

TEST_F(MovieToolboxTest, BadFiles_GiveErrorNumbersNotMovies) {
  std::vector<uint8_t> aiff = ff::ReadFileBytes(MakeAiff());
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> garbage(5000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 131 + 7);
  const Case cases[] = {
      {"empty.mov", {}},
      {"unknown.xyz", garbage},
      {"garbage.aiff", garbage},
      {"garbage.dv", garbage},
      {"garbage.flc", garbage},
      {"garbage.amr", garbage},
      {"cut.aiff", std::vector<uint8_t>(aiff.begin(), aiff.begin() + 30)},
      {"header-only.amr", {'#', '!', 'A', 'M', 'R', '\n'}},
      {"oddsize.cif", std::vector<uint8_t>(1000, 0x80)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.File(c.name);
    ASSERT_TRUE(ff::WriteFileBytes(path, c.bytes));
    Movie movie = nullptr;
    OSErr err = QOpenMovie(path, &movie);
    EXPECT_NE(err, noErr);
    EXPECT_LT(err, 0);
    EXPECT_EQ(movie, nullptr);
  }
  Movie movie = nullptr;
  EXPECT_EQ(QOpenMovie(dir_.File("absent.mov"), &movie), fnfErr);
  EXPECT_EQ(QOpenMovie(dir_.path(), &movie), fnfErr) << "a folder is not a movie file";
  EXPECT_EQ(qt::MovieToolbox::Instance().OpenFileCount(), 0u) << "every reference number was closed";
}

TEST_F(MovieToolboxTest, FileReferences_AreCheckedAndNotNeededByTheMovie) {
  std::string path = MakeAiff();
  FSSpec spec;
  DispatchCall(kQTSelNativePathNameToFSSpec, path.data(), &spec, 0);
  SInt16 ref = 0;
  ASSERT_EQ(DispatchCall(kQTSelOpenMovieFile, &spec, &ref, 0), noErr);
  Movie movie = nullptr;
  ASSERT_EQ(DispatchCall(kQTSelNewMovieFromFile, &movie, ref, nullptr, nullptr, newMovieActive, nullptr), noErr);
  EXPECT_EQ(DispatchCall(kQTSelCloseMovieFile, ref), noErr);
  EXPECT_EQ(DispatchCall(kQTSelCloseMovieFile, ref), rfNumErr);
  Movie again = nullptr;
  EXPECT_EQ(DispatchCall(kQTSelNewMovieFromFile, &again, ref, nullptr, nullptr, 0, nullptr), rfNumErr);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(DispatchCall(kQTSelOpenMovieFile, nullptr, &ref, 0), paramErr);

  // Samples are read when asked for, from the movie's own descriptor: the
  // movie keeps working after the file reference is closed and even after
  // the file's name is gone.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  Media sound = QFindMedia(movie, SoundMediaType);
  ASSERT_NE(sound, nullptr);
  std::vector<UInt8> buf(8192);
  ByteCount size = 0;
  EXPECT_EQ(QGetMediaSample2(sound, buf.data(), ByteCount(buf.size()), &size, 4096, nullptr, nullptr, nullptr, nullptr,
                             nullptr, 1, nullptr, nullptr),
            noErr);
  EXPECT_EQ(size, 4096u);
  DispatchCall(kQTSelDisposeMovie, movie);
}

TEST_F(MovieToolboxTest, DisposedAndForeignValues_AreRefused) {
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(MakeAiff(), &movie), noErr);
  Track track = QGetMovieIndTrack(movie, 1);
  Media media = QGetTrackMedia(track);
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(QGetMovieIndTrack(movie, 0), nullptr);
  EXPECT_EQ(QGetMoviesError(), badTrackIndex);
  EXPECT_EQ(QGetMovieIndTrack(movie, 2), nullptr);
  EXPECT_EQ(QGetMoviesError(), badTrackIndex);
  DispatchCall(kQTSelDisposeMovie, movie);

  EXPECT_EQ(QGetMovieTrackCount(movie), 0);
  EXPECT_EQ(QGetMoviesError(), invalidMovie);
  EXPECT_EQ(QGetTrackMedia(track), nullptr);
  EXPECT_EQ(QGetMoviesError(), invalidTrack);
  EXPECT_EQ(QGetMediaTimeScale(media), 0);
  EXPECT_EQ(QGetMoviesError(), invalidMedia);
  DispatchCall(kQTSelDisposeMovie, movie);
  EXPECT_EQ(QGetMoviesError(), invalidMovie) << "a second dispose is refused";

  int local = 0;
  EXPECT_EQ(QGetMediaDuration(reinterpret_cast<Media>(&local)), 0);
  EXPECT_EQ(QGetMoviesError(), invalidMedia);
  EXPECT_EQ(QHandlerType(nullptr), 0u);
  EXPECT_EQ(QGetMoviesError(), invalidMedia);
}

TEST_F(MovieToolboxTest, GetMediaSample_GathersSoundSamplesWithinTheLimits) {
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(MakeAiff(), &movie), noErr);
  Media sound = QFindMedia(movie, SoundMediaType);
  ASSERT_NE(sound, nullptr);
  ASSERT_EQ(QGetMediaTimeScale(sound), 22050);
  Handle h = QNewHandle(0);
  SInt32 size = -1, count = -1, descIndex = -1;
  TimeValue sampleTime = -1, durationPerSample = -1;
  SInt16 flags = -1;
  // Room for three packets: three come back, read at the time inside the second.
  ASSERT_EQ(DispatchCall(kQTSelGetMediaSample, sound, h, 3 * 4096, &size, 3000, &sampleTime, &durationPerSample,
                         nullptr, &descIndex, 0, &count, &flags),
            noErr);
  EXPECT_EQ(sampleTime, 2048);
  EXPECT_EQ(durationPerSample, 2048);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(size, 3 * 4096);
  EXPECT_EQ(QGetHandleSize(h), 3 * 4096);
  EXPECT_EQ(descIndex, 1);
  EXPECT_EQ(flags, 0);
  // A count limit wins over the byte limit.
  ASSERT_EQ(DispatchCall(kQTSelGetMediaSample, sound, h, 0, &size, 0, &sampleTime, nullptr, nullptr, nullptr, 2, &count,
                         nullptr),
            noErr);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(size, 2 * 4096);
  // Less room than one sample: refused, with the size that is needed.
  EXPECT_EQ(DispatchCall(kQTSelGetMediaSample, sound, h, 100, &size, 0, nullptr, nullptr, nullptr, nullptr, 0, &count,
                         nullptr),
            maxSizeToGrowTooSmall);
  EXPECT_EQ(size, 4096);
  // A locked handle that would have to move is not moved.
  Handle locked = QNewHandle(16);
  DispatchCall(kQTSelHLock, locked);
  char *before = *locked;
  EXPECT_EQ(DispatchCall(kQTSelGetMediaSample, sound, locked, 4096, &size, 0, nullptr, nullptr, nullptr, nullptr, 1,
                         &count, nullptr),
            memLockedErr);
  EXPECT_EQ(*locked, before);
  // Past the end: an error, not a sample.
  EXPECT_NE(DispatchCall(kQTSelGetMediaSample, sound, h, 0, &size, QGetMediaDuration(sound), nullptr, nullptr, nullptr,
                         nullptr, 0, &count, nullptr),
            noErr);
  EXPECT_EQ(DispatchCall(kQTSelGetMediaSample, sound, h, 0, &size, -1, nullptr, nullptr, nullptr, nullptr, 0, &count,
                         nullptr),
            invalidTime);
  QDisposeHandle(locked);
  QDisposeHandle(h);
  DispatchCall(kQTSelDisposeMovie, movie);
}

TEST_F(MovieToolboxTest, GetMediaSample2_SizeQueryTooSmallBufferAndFixedSizeRuns) {
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(MakeDv(), &movie), noErr);
  Media video = QFindMedia(movie, VideoMediaType);
  ASSERT_NE(video, nullptr);
  ByteCount size = 0;
  ItemCount count = 0;
  // No buffer: the size is reported.
  ASSERT_EQ(
      QGetMediaSample2(video, nullptr, 0, &size, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 1, &count, nullptr),
      noErr);
  EXPECT_EQ(size, 144000u);
  std::vector<UInt8> small(1000);
  EXPECT_EQ(QGetMediaSample2(video, small.data(), ByteCount(small.size()), &size, 0, nullptr, nullptr, nullptr, nullptr,
                             nullptr, 1, &count, nullptr),
            maxSizeToGrowTooSmall);
  EXPECT_EQ(size, 144000u);
  // DV frames have one size and follow each other: without a count limit
  // several come in one call, as many as the buffer holds.
  std::vector<UInt8> big(144000 * 3 + 10);
  TimeValue64 duration = 0;
  ASSERT_EQ(QGetMediaSample2(video, big.data(), ByteCount(big.size()), &size, 0, nullptr, &duration, nullptr, nullptr,
                             nullptr, 0, &count, nullptr),
            noErr);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(size, 3u * 144000u);

  // The sample description handed along with the sample.
  Handle desc = QNewHandle(0);
  ItemCount index = 0;
  ASSERT_EQ(QGetMediaSample2(video, nullptr, 0, &size, 0, nullptr, nullptr, nullptr,
                             reinterpret_cast<SampleDescriptionHandle>(desc), &index, 1, &count, nullptr),
            noErr);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(reinterpret_cast<ImageDescription *>(*desc)->cType, qt::FourCC("dvcp"));
  QDisposeHandle(desc);
  DispatchCall(kQTSelDisposeMovie, movie);
}

TEST_F(MovieToolboxTest, Descriptions_BadIndexHandleAndExtensions) {
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(MakeAiff(), &movie), noErr);
  Media sound = QFindMedia(movie, SoundMediaType);
  Handle h = QNewHandle(4);
  DispatchCall(kQTSelGetMediaSampleDescription, sound, 2, h);
  EXPECT_EQ(QGetMoviesError(), invalidSampleDescIndex);
  DispatchCall(kQTSelGetMediaSampleDescription, sound, 1, nullptr);
  EXPECT_NE(QGetMoviesError(), noErr);
  char *notAHandleBlock = nullptr;
  DispatchCall(kQTSelGetMediaSampleDescription, sound, 1, &notAHandleBlock);
  EXPECT_EQ(QGetMoviesError(), memWZErr);
  EXPECT_EQ(notAHandleBlock, nullptr);

  DispatchCall(kQTSelGetMediaSampleDescription, sound, 1, h);
  ASSERT_EQ(QGetMoviesError(), noErr);
  auto *sd = reinterpret_cast<SoundDescription *>(*h);
  EXPECT_EQ(sd->dataFormat, qt::FourCC("twos"));
  EXPECT_EQ(sd->numChannels, 1);
  EXPECT_EQ(sd->sampleSize, 16);
  EXPECT_EQ(sd->sampleRate, 22050u << 16);
  EXPECT_EQ(sd->descSize, QGetHandleSize(h));

  Handle ext = nullptr;
  ASSERT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, h, &ext, qt::FourCC("lavc")), noErr);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(std::string(*ext, size_t(QGetHandleSize(ext))), "pcm_s16be");
  QDisposeHandle(ext);
  ext = reinterpret_cast<Handle>(&notAHandleBlock);
  EXPECT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, h, &ext, qt::FourCC("wave")), userDataItemNotFound);
  EXPECT_EQ(ext, nullptr);
  EXPECT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, nullptr, &ext, qt::FourCC("wave")), paramErr);
  EXPECT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, &notAHandleBlock, &ext, qt::FourCC("wave")), memWZErr);

  // A description whose size field claims more than the handle holds is
  // searched only within the handle.
  sd->descSize = 0x7FFFFFFF;
  EXPECT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, h, &ext, qt::FourCC("glbl")), userDataItemNotFound);
  QDisposeHandle(h);
  DispatchCall(kQTSelDisposeMovie, movie);
}

// Descriptions of an ISO-family movie come out in host order with their
// extension atoms: 'avcC' after the image description, 'wave' (holding the
// 'esds') after a version 1 sound description.
TEST_F(MovieToolboxTest, IsoDescriptions_KeepTheirExtensions) {
  std::string path = dir_.File("clip.mov");
  ASSERT_TRUE(
      ff::RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 0.5 "
                    "-c:v libx264 -c:a aac -ac 2 -f mov " +
                    ff::ShellQuote(path)));
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(path, &movie), noErr);
  Media video = QFindMedia(movie, VideoMediaType);
  Media sound = QFindMedia(movie, SoundMediaType);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(sound, nullptr);

  Handle h = QNewHandle(4);
  DispatchCall(kQTSelGetMediaSampleDescription, video, 1, h);
  ASSERT_EQ(QGetMoviesError(), noErr);
  auto *id = reinterpret_cast<ImageDescription *>(*h);
  EXPECT_EQ(id->cType, qt::FourCC("avc1"));
  EXPECT_EQ(id->width, 160);
  EXPECT_EQ(id->height, 120);
  EXPECT_EQ(id->idSize, QGetHandleSize(h));
  std::span<const uint8_t> bytes(reinterpret_cast<uint8_t *>(*h), size_t(QGetHandleSize(h)));
  auto avcC = qt::FindHostExtension(bytes, qt::kVideoMediaType, qt::FourCC("avcC"));
  ASSERT_TRUE(avcC.has_value());
  ASSERT_GE(avcC->size(), 7u);
  EXPECT_EQ((*avcC)[0], 1) << "AVC decoder configuration version";

  DispatchCall(kQTSelGetMediaSampleDescription, sound, 1, h);
  ASSERT_EQ(QGetMoviesError(), noErr);
  auto *sd = reinterpret_cast<SoundDescription *>(*h);
  EXPECT_EQ(sd->dataFormat, qt::FourCC("mp4a"));
  EXPECT_EQ(sd->numChannels, 2);
  EXPECT_EQ(sd->sampleRate, 48000u << 16);
  Handle ext = nullptr;
  OSErr err = OSErr(DispatchCall(kQTSelGetSoundDescriptionExtension, h, &ext, qt::FourCC("wave")));
  if (sd->version == 1) {
    ASSERT_EQ(err, noErr);
    std::string wave(*ext, size_t(QGetHandleSize(ext)));
    EXPECT_NE(wave.find("esds"), std::string::npos) << "the 'wave' payload holds the decoder configuration";
    QDisposeHandle(ext);
  } else {
    EXPECT_EQ(err, userDataItemNotFound);
    ASSERT_EQ(DispatchCall(kQTSelGetSoundDescriptionExtension, h, &ext, qt::FourCC("esds")), noErr);
    QDisposeHandle(ext);
  }
  QDisposeHandle(h);
  DispatchCall(kQTSelDisposeMovie, movie);
}

TEST_F(MovieToolboxTest, NextInterestingTime_CountsTheVideoSamples) {
  std::string path = dir_.File("anim.flc");
  ASSERT_TRUE(ff::WriteFileBytes(path, MakeFlc(32, 24, 9, 50)));
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(path, &movie), noErr);
  OSType vide = VideoMediaType;
  TimeValue t = -1;
  DispatchCall(kQTSelGetMovieNextInterestingTime, movie, nextTimeMediaSample | nextTimeEdgeOK, 1, &vide, 0, 0, &t,
               nullptr);
  ASSERT_EQ(t, 0);
  int count = 0;
  while (t != -1 && count < 1000) {
    ++count;
    DispatchCall(kQTSelGetMovieNextInterestingTime, movie, nextTimeMediaSample, 1, &vide, t, 0, &t, nullptr);
  }
  EXPECT_EQ(count, 9);
  OSType soun = SoundMediaType;
  DispatchCall(kQTSelGetMovieNextInterestingTime, movie, nextTimeMediaSample | nextTimeEdgeOK, 1, &soun, 0, 0, &t,
               nullptr);
  EXPECT_EQ(t, -1) << "no sound track, no sound sample times";
  DispatchCall(kQTSelGetMovieNextInterestingTime, movie, nextTimeMediaSample, 1, nullptr, 0, 0, &t, nullptr);
  EXPECT_EQ(QGetMoviesError(), paramErr);
  DispatchCall(kQTSelDisposeMovie, movie);
}

// Ten samples of 60 units (media and movie at 600 per second) under
// different edit lists: the edit starts a walk finds, forwards and back, and
// the media time that plays at a movie time.
struct EditCase {
  const char *name;
  std::vector<WriterEdit> edits;
  std::vector<std::pair<TimeValue, TimeValue>> starts;   // edit start, length
  std::vector<std::pair<TimeValue, TimeValue>> toMedia;  // movie time, media time (-1: none)
};

TEST_F(MovieToolboxTest, TrackEdits_WalkedAndMappedToMediaTime) {
  const EditCase cases[] = {
      {"no edit list", {}, {{0, 600}}, {{0, 0}, {150, 150}, {599, 599}, {600, -1}, {-1, -1}}},
      {"media offset", {{540, 60}}, {{0, 540}}, {{0, 60}, {100, 160}, {540, -1}}},
      {"empty first", {{300, -1}, {600, 0}}, {{0, 300}, {300, 600}}, {{0, -1}, {299, -1}, {300, 0}, {450, 150}}},
      {"three",
       {{120, 0}, {120, 300}, {60, -1}},
       {{0, 120}, {120, 120}, {240, 60}},
       {{130, 310}, {250, -1}, {300, -1}}},
  };
  for (const EditCase &c : cases) {
    SCOPED_TRACE(c.name);
    WriterTrack track = SimpleVideoTrack(10, 100, 60, 1);
    track.edits = c.edits;
    const std::string path = dir_.File("edits.mov");
    ASSERT_TRUE(WriteFile(path, BuildMovie(WriterOptions{}, {track}).bytes));
    Movie movie = nullptr;
    ASSERT_EQ(QOpenMovie(path, &movie), noErr);
    Track t = QGetMovieIndTrack(movie, 1);
    Media media = QGetTrackMedia(t);
    EXPECT_EQ(reinterpret_cast<Track>(DispatchCall(kQTSelGetMediaTrack, media)), t);

    std::vector<std::pair<TimeValue, TimeValue>> starts;
    TimeValue at = -1, length = 0;
    DispatchCall(kQTSelGetTrackNextInterestingTime, t, nextTimeTrackEdit | nextTimeEdgeOK, 0, 0x10000, &at, &length);
    while (at >= 0 && starts.size() < 10) {
      starts.push_back({at, length});
      DispatchCall(kQTSelGetTrackNextInterestingTime, t, nextTimeTrackEdit, at, 0x10000, &at, &length);
    }
    EXPECT_EQ(starts, c.starts);
    // Backwards from the end finds the last edit's start.
    DispatchCall(kQTSelGetTrackNextInterestingTime, t, nextTimeTrackEdit | nextTimeEdgeOK, 599, -0x10000, &at, &length);
    EXPECT_EQ(at, c.starts.back().first);
    for (const auto &[movieTime, mediaTime] : c.toMedia) {
      EXPECT_EQ(TimeValue(DispatchCall(kQTSelTrackTimeToMediaTime, movieTime, t)), mediaTime) << movieTime;
    }
    DispatchCall(kQTSelDisposeMovie, movie);
  }
}

TEST_F(MovieToolboxTest, ConcurrentReaders_SurviveDisposeOnAnotherThread) {
  Movie movie = nullptr;
  ASSERT_EQ(QOpenMovie(MakeDv(), &movie), noErr);
  Media video = QFindMedia(movie, VideoMediaType);
  Media sound = QFindMedia(movie, SoundMediaType);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(sound, nullptr);
  std::atomic<int> reads{0};
  std::atomic<bool> go{false};
  auto reader = [&](Media m) {
    std::vector<UInt8> buf(200000);
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
      ByteCount size = 0;
      OSErr err = QGetMediaSample2(m, buf.data(), ByteCount(buf.size()), &size, (i % 10), nullptr, nullptr, nullptr,
                                   nullptr, nullptr, 1, nullptr, nullptr);
      if (err == invalidMedia) return;  // disposed meanwhile
      EXPECT_EQ(err, noErr);
      reads.fetch_add(1);
    }
  };
  std::thread a(reader, video), b(reader, sound);
  go.store(true);
  while (reads.load() < 20) std::this_thread::yield();
  DispatchCall(kQTSelDisposeMovie, movie);
  a.join();
  b.join();
  EXPECT_GE(reads.load(), 20);
}

}  // namespace
}  // namespace tp::test
