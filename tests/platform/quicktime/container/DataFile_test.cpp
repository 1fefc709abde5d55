// DataFile at its boundary: what a read at each place of a small file gives,
// how paths that do not name an ordinary file are answered, and what the
// fault seam (TP_DATAFILE_FAULT) makes of reads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "container/DataFile.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

TEST(DataFileTest, ReadsAtEveryPlaceOfTheFile) {
  test::ff::TempDir dir;
  const std::string path = dir.File("ten.bin");
  std::ofstream(path, std::ios::binary) << "0123456789";

  DataFile file;
  ASSERT_TRUE(file.Open(path));
  EXPECT_TRUE(file.IsRegular());
  EXPECT_EQ(file.Size(), 10);

  struct Case {
    uint64_t pos;
    size_t n;
    OSErr err;
    const char *bytes;  // what lands in the buffer when err is noErr
  } cases[] = {
      {0, 10, noErr, "0123456789"},
      {3, 4, noErr, "3456"},
      {9, 1, noErr, "9"},
      {10, 0, noErr, ""},
      {8, 3, eofErr, nullptr},
      {10, 1, eofErr, nullptr},
      {uint64_t(1) << 40, 1, eofErr, nullptr},
  };
  for (const Case &c : cases) {
    std::vector<char> buf(c.n + 1, '\0');
    EXPECT_EQ(file.ReadAt(c.pos, buf.data(), c.n), c.err) << "at " << c.pos << " for " << c.n;
    if (c.err == noErr) {
      EXPECT_STREQ(buf.data(), c.bytes) << "at " << c.pos;
    }
  }

  // Moved-from files are closed; the moved-to one keeps reading.
  DataFile other = std::move(file);
  EXPECT_FALSE(file.IsOpen());
  char b = 0;
  EXPECT_EQ(file.ReadAt(0, &b, 1), ioErr);
  EXPECT_EQ(other.ReadAt(5, &b, 1), noErr);
  EXPECT_EQ(b, '5');
}

TEST(DataFileTest, PathsThatAreNotOrdinaryFiles) {
  test::ff::TempDir dir;
  const std::string path = dir.File("a.mov");
  std::ofstream(path, std::ios::binary) << "x";
  std::string backslashed = path;
  for (char &c : backslashed)
    if (c == '/') c = '\\';

  DataFile file;
  EXPECT_FALSE(file.Open(dir.File("missing.mov")));
  EXPECT_FALSE(file.Open(""));
  EXPECT_FALSE(file.Open(std::string("a\0b", 3)));
  EXPECT_FALSE(DataFile::Exists(dir.File("missing.mov")));

  // A folder opens (as on Windows with backup semantics) but is no ordinary file.
  ASSERT_TRUE(file.Open(dir.path()));
  EXPECT_FALSE(file.IsRegular());

  // "\" separators are accepted where "/" is the separator.
  EXPECT_TRUE(DataFile::Exists(backslashed));
  EXPECT_EQ(DataFile::Resolve(backslashed), path);
  EXPECT_EQ(DataFile::Resolve(path), path);
  ASSERT_TRUE(file.Open(backslashed));
  EXPECT_TRUE(file.IsRegular());
  EXPECT_EQ(file.Size(), 1);
}

// The seam is read when a file opens; reads before its offset are the
// file's own, reads from it on end there (eof) or fail (io); a value it does
// not understand changes nothing.
TEST(DataFileTest, FaultSeam_CutsOrFailsReadsFromItsOffset) {
  test::ff::TempDir dir;
  const std::string path = dir.File("ten.bin");
  std::ofstream(path, std::ios::binary) << "0123456789";
  struct Case {
    const char *seam;
    uint64_t pos;
    size_t n;
    OSErr err;
    int64_t some;  // ReadSome's count for the same read
  } cases[] = {
      {"eof@6", 0, 6, noErr, 6},
      {"eof@6", 4, 4, eofErr, 2},
      {"eof@6", 6, 1, eofErr, 0},
      {"io@6", 0, 6, noErr, 6},
      {"io@6", 4, 4, ioErr, 2},
      {"io@6", 7, 1, ioErr, -1},
      {"io@0", 0, 1, ioErr, -1},
      {"eof@x", 4, 4, noErr, 4},
      {"io@", 4, 4, noErr, 4},
      {"crash@1", 4, 4, noErr, 4},
      {"eof@99999999999999999999", 4, 4, noErr, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.seam) + " at " + std::to_string(c.pos));
    setenv("TP_DATAFILE_FAULT", c.seam, 1);
    DataFile file;
    ASSERT_TRUE(file.Open(path));
    unsetenv("TP_DATAFILE_FAULT");
    std::vector<char> buf(c.n, '\0');
    EXPECT_EQ(file.ReadAt(c.pos, buf.data(), c.n), c.err);
    EXPECT_EQ(file.ReadSome(c.pos, buf.data(), c.n), c.some);
    EXPECT_EQ(file.Size(), 10) << "the seam leaves the size alone";
  }
}

}  // namespace
}  // namespace tp::qt
