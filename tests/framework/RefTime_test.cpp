// Exact time conversions: the cases a truncated factor gets wrong, tracks
// long enough to overflow a plain product, and seeks that land on the
// sample whose stamp interval holds them. (Gap-free stamps and the absence
// of drift are checked end to end through the pins, tests/filter.)
#include <limits>

#include <gtest/gtest.h>

#include "framework/RefTime.h"

namespace {

constexpr LONGLONG kMax = std::numeric_limits<LONGLONG>::max();

TEST(RefTime, UnitsToRefTime_ExactRoundedAndSaturating) {
  struct Case {
    LONGLONG units;
    LONG scale;
    REFERENCE_TIME expected;
  } cases[] = {
      {6000, 600, 100000000},            // 10 s at 600 (a factor of 16,666 gave 99,996,000)
      {120 * 40000, 1200000, 40000000},  // 4.8 s of raw H.264 (a factor of 8 lost 0.16 s)
      {1001, 24000, 417083},             // 417,083.33
      {2002, 24000, 834167},             // 834,166.67: rounded, not truncated
      {1, 3, 3333333},                   // 3,333,333.33
      {1, 2 * 10000000, 1},              // half a unit rounds up
      {-1, 2 * 10000000, -1},            // and away from zero below it
      {0, 44100, 0},
      {5, 0, 0},   // no time scale: no time
      {5, -1, 0},  // nor a negative one
      // Ten hours at 90 kHz, and a track long enough that units x 10^7
      // overflows 64 bits while the result still fits.
      {3240000000LL, 90000, 360000000000LL},
      {kMax / 1000, 1000000, kMax / 1000 * 10},
      {kMax, 1, kMax},  // saturates
  };
  for (const Case &c : cases) {
    EXPECT_EQ(UnitsToRefTime(c.units, c.scale), c.expected) << c.units << " at " << c.scale;
  }
  // Frames to movie units, and a rounded quotient with a large divisor.
  EXPECT_EQ(ScaleRounded(1102, 1000, 22050), 50);       // 49.977 ms
  EXPECT_EQ(ScaleRounded(2 * 1102, 1000, 22050), 100);  // 99.95: rounded up
  EXPECT_EQ(DivideRounded(7680LL * 10000000, 12800LL * 15), 400000);
  EXPECT_EQ(DivideRounded(3, 2), 2);
  EXPECT_EQ(DivideRounded(-3, 2), -2);
  EXPECT_EQ(DivideRounded(5, 0), 0);
}

// A seek to a sample's own stamp starts at that sample; one 100 ns unit
// before it, at the sample before.
TEST(RefTime, RefTimeToUnits_InvertsTheStampsExactly) {
  for (LONG scale : {1, 600, 1000, 12800, 24000, 30000, 44100, 90000, 10000000}) {
    for (LONGLONG u : {0LL, 1LL, 2LL, 1000LL, 1001LL, 35840LL, 719LL * 1001, 4000000000LL}) {
      const REFERENCE_TIME stamp = UnitsToRefTime(u, scale);
      EXPECT_EQ(RefTimeToUnits(stamp, scale), u) << u << " at " << scale;
      if (u > 0) {
        EXPECT_EQ(RefTimeToUnits(stamp - 1, scale), u - 1) << u << " at " << scale;
      }
    }
  }
  EXPECT_EQ(RefTimeToUnits(28000000, 12800), 35840);  // 2.8 s: double arithmetic gave 35,839
  EXPECT_EQ(RefTimeToUnits(kMax, 0x7FFFFFFF), kMax);  // saturates
  EXPECT_EQ(RefTimeToUnits(10000000, 0), 0);
}

}  // namespace
