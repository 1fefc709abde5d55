#include "container/IsoParser.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/FfmpegTools.h"
#include "support/MovieWriter.h"

namespace tp::qt {
namespace {

using test::BuildMovie;
using test::Fcc;
using test::WriterOptions;
using test::WriterTrack;
using test::WrittenMovie;

ParseResult ParseBytes(const std::vector<uint8_t> &bytes, Movie *movie) {
  MemoryByteSource source(bytes.data(), bytes.size());
  return ParseIsoMovie(source, "memory", movie);
}

// A video track with varied sizes, B-frame-like offsets and a GOP of 5, and
// a sound track; the base of most cases below.
WriterTrack VideoTrack() {
  WriterTrack v = test::SimpleVideoTrack(12, 0, 100, 5);
  for (uint32_t i = 0; i < 12; ++i) v.sizes[i] = 20 + (i * 37) % 50;
  return v;
}
WriterTrack SoundTrack() {
  WriterTrack a;
  a.handler = Fcc("soun");
  a.format = Fcc("sowt");
  a.timeScale = 44100;
  a.durations.assign(9, 1024);
  a.sizes.assign(9, 64);
  a.samplesPerChunk = 4;
  return a;
}

// Checks every sample of every track against what the writer was asked for.
void ExpectTablesMatch(const Movie &movie, const std::vector<WriterTrack> &tracks, const WrittenMovie &written) {
  ASSERT_EQ(movie.tracks.size(), tracks.size());
  for (size_t ti = 0; ti < tracks.size(); ++ti) {
    const WriterTrack &w = tracks[ti];
    const Media &m = movie.tracks[ti].media;
    EXPECT_EQ(m.handlerType, w.handler);
    EXPECT_EQ(m.timeScale, w.timeScale);
    ASSERT_EQ(m.samples.count(), w.sizes.size()) << "track " << ti;
    int64_t time = 0;
    for (uint32_t i = 0; i < w.sizes.size(); ++i) {
      SampleRecord r;
      ASSERT_TRUE(m.samples.Sample(i, &r));
      EXPECT_EQ(r.decodeTime, time) << ti << ":" << i;
      EXPECT_EQ(r.decodeDuration, w.durations[i]) << ti << ":" << i;
      EXPECT_EQ(r.size, w.sizes[i]) << ti << ":" << i;
      EXPECT_EQ(r.position, written.samplePositions[ti][i]) << ti << ":" << i;
      EXPECT_EQ(r.displayOffset, w.compositionOffsets.empty() ? 0 : w.compositionOffsets[i]) << ti << ":" << i;
      bool sync = !w.writeStss;
      for (uint32_t s : w.syncSamples) sync = sync || s == i + 1;
      EXPECT_EQ((r.flags & kMediaSampleNotSync) == 0, sync) << ti << ":" << i;
      time += w.durations[i];
    }
  }
}

struct TableCase {
  const char *name;
  std::function<void(WriterOptions &, WriterTrack &)> change;
};

class IsoParserTablesTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(IsoParserTablesTest, Parse_ReadsExactlyTheWrittenTables) {
  WriterOptions options;
  WriterTrack video = VideoTrack();
  GetParam().change(options, video);
  const std::vector<WriterTrack> tracks = {video, SoundTrack()};
  const WrittenMovie written = BuildMovie(options, tracks);
  Movie movie;
  const ParseResult r = ParseBytes(written.bytes, &movie);
  ASSERT_EQ(r.error, kNoErr) << r.message;
  EXPECT_EQ(movie.timeScale, options.movieTimeScale);
  ExpectTablesMatch(movie, tracks, written);
}

const TableCase kTableCases[] = {
    {"plain", [](WriterOptions &, WriterTrack &) {}},
    {"moov_first", [](WriterOptions &o, WriterTrack &) { o.mdatFirst = false; }},
    {"mdat_size_zero",
     [](WriterOptions &o, WriterTrack &) {
       o.mdatFirst = false;
       o.mdatSizeZero = true;
     }},
    {"mdat_64bit_size", [](WriterOptions &o, WriterTrack &) { o.largeMdatHeader = true; }},
    {"no_ftyp", [](WriterOptions &o, WriterTrack &) { o.writeFtyp = false; }},
    {"moov_64bit_size_first",
     [](WriterOptions &o, WriterTrack &) {
       o.largeMoovHeader = true;
       o.mdatFirst = false;
     }},
    {"co64", [](WriterOptions &, WriterTrack &t) { t.co64 = true; }},
    {"stz2_16", [](WriterOptions &, WriterTrack &t) { t.stz2FieldSize = 16; }},
    {"stz2_8", [](WriterOptions &, WriterTrack &t) { t.stz2FieldSize = 8; }},
    {"stz2_4",
     [](WriterOptions &, WriterTrack &t) {
       t.stz2FieldSize = 4;
       for (uint32_t i = 0; i < t.sizes.size(); ++i) t.sizes[i] = 1 + i % 15;
     }},
    {"ctts_v0_positive",
     [](WriterOptions &, WriterTrack &t) { t.compositionOffsets = {200, 500, 0, 0, 100, 200, 500, 0, 0, 100, 0, 0}; }},
    {"ctts_v1_negative",
     [](WriterOptions &, WriterTrack &t) {
       t.cttsVersion = 1;
       t.compositionOffsets = {0, 300, -100, -100, 0, 0, 300, -100, -100, 0, 0, 0};
     }},
    {"no_stss_all_sync", [](WriterOptions &, WriterTrack &t) { t.writeStss = false; }},
    {"uncompressed_stts", [](WriterOptions &, WriterTrack &t) { t.compactDurations = false; }},
    {"varied_durations_and_chunks",
     [](WriterOptions &, WriterTrack &t) {
       t.durations = {1, 2, 3, 0, 5, 5, 5, 100000, 1, 1, 7, 7};
       t.samplesPerChunk = 5;
     }},
    {"constant_size", [](WriterOptions &, WriterTrack &t) { t.sizes.assign(t.sizes.size(), 33); }},
};
INSTANTIATE_TEST_SUITE_P(Writer, IsoParserTablesTest, ::testing::ValuesIn(kTableCases),
                         [](const auto &info) { return std::string(info.param.name); });

class IsoParserTest : public ::testing::Test {
 protected:
  Movie Parse(const WrittenMovie &w) {
    Movie movie;
    const ParseResult r = ParseBytes(w.bytes, &movie);
    EXPECT_EQ(r.error, kNoErr) << r.message;
    return movie;
  }
};

TEST_F(IsoParserTest, Parse_EmptySyncTablePartialSyncAndDependencyFlags) {
  WriterTrack v = VideoTrack();
  v.writeStss = true;
  v.syncSamples.clear();
  v.partialSyncSamples = {6};
  v.sdtp.assign(12, 0x18);  // depends on others, not depended on
  v.sdtp[0] = 0x24;
  const Movie m = Parse(BuildMovie({}, {v}));
  ASSERT_EQ(m.tracks.size(), 1u);
  SampleRecord r;
  ASSERT_TRUE(m.tracks[0].media.samples.Sample(0, &r));
  EXPECT_EQ(r.flags, kMediaSampleNotSync | kMediaSampleDoesNotDependOnOthers | kMediaSampleIsDependedOnByOthers);
  ASSERT_TRUE(m.tracks[0].media.samples.Sample(5, &r));
  EXPECT_EQ(r.flags, kMediaSampleNotSync | kMediaSamplePartialSync | kMediaSampleDependsOnOthers |
                         kMediaSampleIsNotDependedOnByOthers);
}

TEST_F(IsoParserTest, Parse_EditListsOfBothVersionsIncludingEmptyEdits) {
  for (int version : {0, 1}) {
    WriterTrack v = VideoTrack();
    v.elstVersion = version;
    v.edits = {{300, -1, 0x10000}, {600, 200, 0x10000}, {100, 0, 0x8000}};
    const Movie m = Parse(BuildMovie({}, {v}));
    ASSERT_EQ(m.tracks.size(), 1u);
    const Track &t = m.tracks[0];
    EXPECT_TRUE(t.hasEditList);
    ASSERT_EQ(t.edits.size(), 3u);
    EXPECT_EQ(t.edits[0].mediaTime, -1);
    EXPECT_EQ(t.edits[1].movieDuration, 600);
    EXPECT_EQ(t.edits[1].mediaTime, 200);
    EXPECT_EQ(t.edits[2].mediaRate, 0x8000);
    EXPECT_EQ(t.duration, 1000);
  }
}

TEST_F(IsoParserTest, Parse_WithoutEditListMakesOneImplicitEdit) {
  WriterTrack v = VideoTrack();
  v.timeScale = 1200;  // 12 samples x 100 = 1 s = 600 movie units
  const Movie m = Parse(BuildMovie({}, {v}));
  ASSERT_EQ(m.tracks.size(), 1u);
  EXPECT_FALSE(m.tracks[0].hasEditList);
  ASSERT_EQ(m.tracks[0].edits.size(), 1u);
  EXPECT_EQ(m.tracks[0].edits[0].movieDuration, 600);
  EXPECT_EQ(m.tracks[0].edits[0].mediaTime, 0);
  EXPECT_EQ(m.tracks[0].media.duration, 1200);
}

TEST_F(IsoParserTest, Parse_KeepsDescriptionsWithExtensions) {
  WriterTrack v = VideoTrack();
  v.format = Fcc("avc1");
  v.width = 321;
  v.height = 241;
  v.extensions = {0, 0, 0, 12, 'a', 'v', 'c', 'C', 1, 2, 3, 4};
  WriterTrack a = SoundTrack();
  a.format = Fcc("mp4a");
  a.soundVersion = 1;
  a.compressionId = -2;
  // 'wave' holding 'frma' and 'esds' and a terminator.
  a.extensions = {0, 0, 0, 40, 'w', 'a', 'v', 'e', 0, 0, 0, 12, 'f', 'r', 'm', 'a', 'm', 'p', '4', 'a',
                  0, 0, 0, 12, 'e', 's', 'd', 's', 9, 9, 9, 9,  0,   0,   0,   8,   0,   0,   0,   0};
  WriterTrack a2 = SoundTrack();
  a2.soundVersion = 2;
  a2.sampleRate = 96000;
  a2.channels = 6;
  a2.sampleSize = 24;
  const Movie m = Parse(BuildMovie({}, {v, a, a2}));
  ASSERT_EQ(m.tracks.size(), 3u);

  const auto video = m.tracks[0].media.Description(1);
  ImageDescriptionInfo image;
  ASSERT_TRUE(ReadImageDescription(video, &image));
  EXPECT_EQ(image.codecType, Fcc("avc1"));
  EXPECT_EQ(image.width, 321);
  EXPECT_EQ(image.height, 241);
  EXPECT_EQ(image.depth, 24);
  EXPECT_EQ(image.name, "test");
  const auto avcC = FindDescriptionExtension(video, kVideoMediaType, Fcc("avcC"));
  ASSERT_TRUE(avcC.has_value());
  EXPECT_EQ(std::vector<uint8_t>(avcC->begin(), avcC->end()), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_TRUE(m.tracks[0].media.Description(2).empty());

  const auto sound = m.tracks[1].media.Description(1);
  SoundDescriptionInfo info;
  ASSERT_TRUE(ReadSoundDescription(sound, &info));
  EXPECT_EQ(info.version, 1);
  EXPECT_EQ(info.numChannels, 2u);
  EXPECT_EQ(info.sampleRate, 44100u << 16);
  EXPECT_EQ(info.compressionID, -2);
  EXPECT_EQ(info.bytesPerFrame, 4u);
  const auto wave = FindDescriptionExtension(sound, kSoundMediaType, Fcc("wave"));
  ASSERT_TRUE(wave.has_value());
  const auto esds = FindAtom(*wave, Fcc("esds"));
  ASSERT_TRUE(esds.has_value());
  EXPECT_EQ(esds->size(), 4u);
  EXPECT_FALSE(FindDescriptionExtension(sound, kSoundMediaType, Fcc("esds")).has_value());

  SoundDescriptionInfo v2;
  ASSERT_TRUE(ReadSoundDescription(m.tracks[2].media.Description(1), &v2));
  EXPECT_EQ(v2.version, 2);
  EXPECT_EQ(v2.numChannels, 6u);
  EXPECT_EQ(v2.sampleSize, 24u);
  EXPECT_DOUBLE_EQ(v2.sampleRateHz, 96000.0);
}

TEST_F(IsoParserTest, OpenIsoMovieFile_ReadsHeadersNotSampleData) {
  test::ff::TempDir dir;
  WriterTrack v = test::SimpleVideoTrack(200, 20000, 10, 10);  // 4 MB of samples
  for (bool mdatFirst : {true, false}) {
    WriterOptions o;
    o.mdatFirst = mdatFirst;
    const WrittenMovie w = BuildMovie(o, {v});
    const std::string path = dir.File(mdatFirst ? "a.mov" : "b.mov");
    ASSERT_TRUE(test::WriteFile(path, w.bytes));
    Movie m;
    uint64_t bytesRead = 0;
    const ParseResult r = OpenIsoMovieFile(path, &m, &bytesRead);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    EXPECT_EQ(m.tracks[0].media.samples.count(), 200u);
    EXPECT_EQ(m.tracks[0].media.data.path, path);
    EXPECT_LE(bytesRead, w.moovSize + 64) << "mdat first: " << mdatFirst;
  }
  Movie m;
  EXPECT_EQ(OpenIsoMovieFile(dir.File("missing.mov"), &m).error, kFnfErr);
}

TEST_F(IsoParserTest, Parse_RefusesWhatIsNotAPlainMovie) {
  Movie m;
  EXPECT_EQ(ParseBytes({}, &m).error, kNoMovieFound);
  EXPECT_EQ(ParseBytes({1, 2, 3}, &m).error, kNoMovieFound);
  const std::string text = "This is a text file, not a movie at all.";
  EXPECT_NE(ParseBytes(std::vector<uint8_t>(text.begin(), text.end()), &m).error, kNoErr);
  // Only an 'mdat': no movie box.
  EXPECT_EQ(ParseBytes({0, 0, 0, 12, 'm', 'd', 'a', 't', 1, 2, 3, 4}, &m).error, kNoMovieFound);
  // A movie fragment before the movie box has no tracks to belong to; an
  // empty one after it adds nothing.
  WrittenMovie w = BuildMovie({}, {VideoTrack()});
  const std::vector<uint8_t> moof = {0, 0, 0, 8, 'm', 'o', 'o', 'f'};
  std::vector<uint8_t> first = moof;
  first.insert(first.end(), w.bytes.begin(), w.bytes.end());
  const ParseResult r = ParseBytes(first, &m);
  EXPECT_EQ(r.error, kInvalidMovie);
  EXPECT_NE(r.message.find("fragment"), std::string::npos);
  EXPECT_TRUE(m.tracks.empty());
  w.bytes.insert(w.bytes.end(), moof.begin(), moof.end());
  EXPECT_EQ(ParseBytes(w.bytes, &m).error, kNoErr);
  EXPECT_EQ(m.tracks.size(), 1u);
}

TEST(IsoParserDetectTest, LooksLikeIsoMovie_KnowsTopLevelBoxes) {
  const uint8_t ftyp[] = {0, 0, 0, 20, 'f', 't', 'y', 'p'};
  const uint8_t wide[] = {0, 0, 0, 8, 'w', 'i', 'd', 'e'};
  const uint8_t riff[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
  const uint8_t tiny[] = {0, 0, 0, 4, 'f', 't', 'y', 'p'};
  EXPECT_TRUE(LooksLikeIsoMovie(ftyp, sizeof ftyp));
  EXPECT_TRUE(LooksLikeIsoMovie(wide, sizeof wide));
  EXPECT_FALSE(LooksLikeIsoMovie(riff, sizeof riff));
  EXPECT_FALSE(LooksLikeIsoMovie(tiny, sizeof tiny));
  EXPECT_FALSE(LooksLikeIsoMovie(nullptr, 8));
}

}  // namespace
}  // namespace tp::qt
