// The order in which the Windows runtime asks its two back ends: FFmpeg's
// and the system's decoders. Which library decodes is only seen end to end
// (scripts/wine_host_check.sh runs with and without FFmpeg's libraries);
// here, that a back end lacking a codec hands over to the other and that a
// real failure does not.

#include <gtest/gtest.h>

#include <string>

#include "BackEnds.h"

namespace tp::qt {
namespace {

struct Row {
  const char *name;
  bool ffmpegLoaded;
  bool systemFirst;
  OSErr ffmpegAnswer;
  OSErr systemAnswer;
  OSErr expected;
  const char *asked;  // in order: 'f' FFmpeg, 's' the system's
};

TEST(BackEnds, AsksInOrderAndHandsOverOnlyAMissingCodec) {
  const Row rows[] = {
      {"FFmpeg decodes", true, false, noErr, noErr, noErr, "f"},
      {"FFmpeg lacks it, the system decodes", true, false, noCodecErr, noErr, noErr, "fs"},
      {"neither has it", true, false, noCodecErr, noCodecErr, noCodecErr, "fs"},
      {"FFmpeg refuses the data: final", true, false, codecBadDataErr, noErr, codecBadDataErr, "f"},
      {"FFmpeg out of memory: final", true, false, memFullErr, noErr, memFullErr, "f"},
      {"libraries missing: the system alone", false, false, noErr, noCodecErr, noCodecErr, "s"},
      {"libraries missing, system first asked", false, true, noErr, noErr, noErr, "s"},
      {"system first decodes", true, true, noErr, noErr, noErr, "s"},
      {"system first lacks it, FFmpeg decodes", true, true, noErr, noCodecErr, noErr, "sf"},
      {"system first refuses the data: final", true, true, noErr, codecBadDataErr, codecBadDataErr, "s"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string asked;
    const OSErr err = AskBackEnds(
        BackEndOrder{row.ffmpegLoaded, row.systemFirst},
        [&] {
          asked += 'f';
          return row.ffmpegAnswer;
        },
        [&] {
          asked += 's';
          return row.systemAnswer;
        });
    EXPECT_EQ(err, row.expected);
    EXPECT_EQ(asked, row.asked);
  }
}

}  // namespace
}  // namespace tp::qt
