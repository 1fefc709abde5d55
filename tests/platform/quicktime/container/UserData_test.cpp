// User data, metadata lists, chapter lists and track references of movies
// made by the ffmpeg command line (MOV: 'udta' text items; MP4: 'meta'/'ilst'),
// intact and with deterministic byte edits. A damaged description never
// fails the movie: what is damaged is left out, what came before it stays,
// and the tracks are read as before. Run under ASan for the memory half.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "container/IsoParser.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

using Bytes = std::vector<uint8_t>;

// Offset of the first box of that type at or after `from` (its size field),
// or npos.
size_t FindBox(const Bytes &b, const char *type, size_t from = 0) {
  for (size_t i = std::max<size_t>(from, 4); i + 4 <= b.size(); ++i) {
    if (std::equal(type, type + 4, b.begin() + long(i))) return i - 4;
  }
  return std::string::npos;
}
void Put32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

std::string Text(const Movie &m, uint32_t type) {
  for (const UserDataItem &item : m.userData) {
    if (item.type == type && item.data.size() >= 4) return std::string(item.data.begin() + 4, item.data.end());
  }
  return {};
}

constexpr uint32_t kTitle = 0xA96E616D;  // '\xA9nam'

struct Damage {
  const char *name;
  std::function<bool(Bytes &)> edit;  // false when the file lacks what it edits
  size_t chapters;
  bool title;
  bool chapterReference;  // the first track still names the chapter track
};

const Damage kDamage[] = {
    {"intact", [](Bytes &) { return true; }, 3, true, true},
    {"chpl_count_past_its_end",
     [](Bytes &b) {
       const size_t at = FindBox(b, "chpl");
       if (at == std::string::npos) return false;
       b[at + 8 + 8] = 255;  // version 1: 4 flag bytes, 4 reserved, then the count
       return true;
     },
     3, true, true},
    {"chpl_second_title_past_its_end",
     [](Bytes &b) {
       const size_t at = FindBox(b, "chpl");
       if (at == std::string::npos) return false;
       const size_t first = at + 17;  // the first chapter's start
       b[first + 9 + b[first + 8] + 8] = 250;
       return true;
     },
     1, true, true},
    {"chpl_start_out_of_range",
     [](Bytes &b) {
       const size_t at = FindBox(b, "chpl");
       if (at == std::string::npos) return false;
       b[at + 17] = 0xFF;
       return true;
     },
     0, true, true},
    {"udta_item_larger_than_udta",
     [](Bytes &b) {
       const size_t at = FindBox(b, "udta", FindBox(b, "mvhd"));
       if (at == std::string::npos) return false;
       // The movie's user data comes after its tracks: the last 'udta'.
       size_t last = at;
       for (size_t n = at; n != std::string::npos; n = FindBox(b, "udta", n + 8)) last = n;
       Put32(b, last + 8, 0x7FFFFFF0);
       return true;
     },
     0, false, true},
    {"tref_child_larger_than_tref",
     [](Bytes &b) {
       const size_t at = FindBox(b, "tref");
       if (at == std::string::npos) return false;
       Put32(b, at + 8, 0x1000);
       return true;
     },
     3, true, false},
};

class UserDataTest : public ::testing::TestWithParam<const char *> {
 protected:
  static void SetUpTestSuite() {
    if (!test::ff::HaveFfmpeg()) return;
    dir_ = new test::ff::TempDir;
    const std::string meta =
        ";FFMETADATA1\ntitle=Tide\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=One\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\ntitle=Two\n[CHAPTER]\n"
        "TIMEBASE=1/1000\nSTART=1000\nEND=1500\ntitle=Three\n";
    test::ff::WriteFileBytes(dir_->File("meta.txt"), Bytes(meta.begin(), meta.end()));
    for (const char *ext : {"mov", "mp4"}) {
      test::ff::RunFfmpeg("-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1.5 -i " +
                          test::ff::ShellQuote(dir_->File("meta.txt")) + " -map 0 -map_metadata 1 -map_chapters 1 " +
                          "-c:a aac -b:a 16k " + test::ff::ShellQuote(dir_->File(std::string("movie.") + ext)));
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  }
  static test::ff::TempDir *dir_;
};

test::ff::TempDir *UserDataTest::dir_ = nullptr;

TEST_P(UserDataTest, DamagedDescriptions_LeaveTheRestOfTheMovie) {
  const Bytes original = test::ff::ReadFileBytes(dir_->File(std::string("movie.") + GetParam()));
  ASSERT_FALSE(original.empty());
  for (const Damage &d : kDamage) {
    SCOPED_TRACE(d.name);
    Bytes bytes = original;
    ASSERT_TRUE(d.edit(bytes));
    MemoryByteSource source(bytes.data(), bytes.size());
    Movie m;
    const ParseResult r = ParseIsoMovie(source, "memory", &m);
    ASSERT_EQ(r.error, kNoErr) << r.message;
    ASSERT_EQ(m.tracks.size(), 2u);  // the sound and the chapter track
    EXPECT_EQ(m.tracks[0].media.handlerType, kSoundMediaType);
    ASSERT_EQ(m.chapterList.size(), d.chapters);
    const char *titles[] = {"One", "Two", "Three"};
    for (size_t i = 0; i < d.chapters; ++i) {
      EXPECT_EQ(m.chapterList[i].title, titles[i]);
      EXPECT_EQ(m.chapterList[i].start, int64_t(i) * 5000000);
    }
    EXPECT_EQ(Text(m, kTitle), d.title ? "Tide" : "");
    const bool referenced =
        std::any_of(m.tracks[0].references.begin(), m.tracks[0].references.end(), [&](const TrackReference &ref) {
          return ref.type == FourCC("chap") && ref.trackIds.size() == 1 && m.TrackById(ref.trackIds[0]) == &m.tracks[1];
        });
    EXPECT_EQ(referenced, d.chapterReference);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, UserDataTest, ::testing::Values("mov", "mp4"));

}  // namespace
}  // namespace tp::qt
