// Pictures matched to samples by display order, against a model decoder
// that reorders as a real one does (it holds up to `depth` pictures and
// hands out the earliest-displayed when it holds more, everything on a
// drain) and labels nothing: each picture knows only whose it really is.
#include "codecs/DisplayOrderMatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace tp::qt {
namespace {

// A picture that knows which sample it really came from.
class TruePicture final : public PictureSnapshot {
 public:
  explicit TruePicture(int sample) : sample_(sample) {}
  OSErr Draw(const DrawTarget &, int *, int *) override { return noErr; }
  int sample() const { return sample_; }

 private:
  int sample_;
};

struct Step {
  int64_t display = 0;     // the display time the sample is sent with
  int64_t trueOrder = -1;  // the decoder's own display order; -1: as `display`
  bool dropped = false;    // the decoder makes no picture of it
  bool known = false;      // ... and the sender knows (no slice in it)
  bool flushBefore = false;
};

class ModelDecoder {
 public:
  explicit ModelDecoder(int depth) : depth_(depth) {}
  // The pictures a sample lets out, as (true order, sample) in output order.
  std::vector<int> Feed(int sample, int64_t order, bool makesPicture) {
    if (makesPicture) held_.insert({order, sample});
    std::vector<int> out;
    while (int(held_.size()) > depth_) out.push_back(Pop());
    return out;
  }
  std::vector<int> Drain() {
    std::vector<int> out;
    while (!held_.empty()) out.push_back(Pop());
    return out;
  }
  void Reset() { held_.clear(); }

 private:
  int Pop() {
    const int s = held_.begin()->second;
    held_.erase(held_.begin());
    return s;
  }
  int depth_;
  std::set<std::pair<int64_t, int>> held_;
};

struct Case {
  const char *name;
  int depth;
  std::vector<Step> steps;  // in decode order
};

// Decode-order display times of I P B B ..., each B after its P.
std::vector<Step> Steps(std::initializer_list<int64_t> displays) {
  std::vector<Step> s;
  for (int64_t d : displays) s.push_back({d});
  return s;
}

TEST(DisplayOrderMatcher, PicturesGoToTheirOwnSamples_Table) {
  std::vector<Case> cases = {
      {"no reordering", 0, Steps({0, 1, 2, 3, 4})},
      {"two B-frames", 2, Steps({0, 3, 1, 2, 6, 4, 5, 7})},
      {"B-pyramid of seven", 3, Steps({0, 8, 4, 2, 1, 3, 6, 5, 7, 16, 12, 10, 9, 11, 14, 13, 15})},
      {"decoder deeper than the stream needs", 6, Steps({0, 3, 1, 2, 6, 4, 5})},
      // Decoding starts at an intra picture whose leading B-frames display
      // before it (a seek into an open GOP).
      {"open GOP from its intra picture", 2, Steps({10, 8, 9, 13, 11, 12, 16, 14, 15})},
      {"open GOP, two in a row", 2, Steps({0, 3, 1, 2, 6, 4, 5, 9, 7, 8})},
  };
  // A sample the sender knows codes no picture (a filler without a slice).
  Case known{"a known sample without a picture", 2, Steps({0, 3, 1, 2, 6, 4, 5})};
  known.steps[3].dropped = known.steps[3].known = true;
  cases.push_back(known);
  // The decoder drops the last-displayed picture of the run without a word:
  // the others still match, and the drain gives that sample an error.
  Case lost{"the run's last picture never comes", 2, Steps({0, 3, 1, 2, 6, 4, 5})};
  lost.steps[4].dropped = true;
  cases.push_back(lost);
  // The caller had no display time for a sample and repeated the one
  // before: ties go in the order sent, which is the decoder's order here.
  Case ties{"duplicated display times", 0, Steps({0, 1, 1, 2, 3})};
  ties.steps[2].trueOrder = 2;
  ties.steps[3].trueOrder = 3;
  ties.steps[4].trueOrder = 4;
  cases.push_back(ties);
  // A seek mid-GOP: what was sent before is forgotten, and a new decoder
  // starts at a sync sample.
  Case flush{"a flush mid-GOP", 2, Steps({0, 3, 1, 2, 6, 4, 5, 10, 8, 9, 11})};
  flush.steps[5].flushBefore = true;
  flush.steps[5].display = 12;  // the run after the seek: I(12) P(15) B(13) B(14) ...
  flush.steps[6].display = 15;
  flush.steps[7].display = 13;
  flush.steps[8].display = 14;
  flush.steps[9].display = 18;
  flush.steps[10].display = 16;
  cases.push_back(flush);

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DisplayOrderMatcher m;
    ModelDecoder decoder(c.depth);
    std::vector<DisplayOrderMatcher::Output> outs;
    auto collect = [&] {
      DisplayOrderMatcher::Output o;
      while (m.Receive(&o)) outs.push_back(std::move(o));
    };
    auto give = [&](const std::vector<int> &pictures) {
      for (int s : pictures) m.Picture(std::make_unique<TruePicture>(s));
    };
    size_t runStart = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step &s = c.steps[i];
      if (s.flushBefore) {
        m.Clear();
        decoder.Reset();
        outs.clear();
        runStart = i;
      }
      m.Sent(i, s.display, !s.known);
      give(decoder.Feed(int(i), s.trueOrder >= 0 ? s.trueOrder : s.display, !s.dropped));
      // Never more waiting than the decoder holds, plus the pictures it drops.
      EXPECT_LE(m.waiting(), c.depth + 1) << "after sample " << i;
      collect();
    }
    give(decoder.Drain());
    m.GiveUpAll(codecBadDataErr);
    collect();
    EXPECT_EQ(m.held(), 0);

    // Every sample of the last run out once, in display order, with its own
    // picture or, when it had none, an error.
    ASSERT_EQ(outs.size(), c.steps.size() - runStart);
    int64_t lastDisplay = INT64_MIN;
    std::set<uint64_t> seen;
    for (const DisplayOrderMatcher::Output &o : outs) {
      ASSERT_GE(o.tag, runStart);
      ASSERT_LT(o.tag, c.steps.size());
      EXPECT_TRUE(seen.insert(o.tag).second) << "tag " << o.tag << " twice";
      const Step &s = c.steps[o.tag];
      EXPECT_GE(s.display, lastDisplay) << "tag " << o.tag << " out of display order";
      lastDisplay = s.display;
      if (s.dropped) {
        EXPECT_EQ(o.result, codecBadDataErr) << "tag " << o.tag;
        EXPECT_EQ(o.picture, nullptr);
      } else {
        ASSERT_EQ(o.result, noErr) << "tag " << o.tag;
        ASSERT_NE(o.picture, nullptr);
        EXPECT_EQ(static_cast<TruePicture *>(o.picture.get())->sample(), int(o.tag));
      }
    }
  }
}

TEST(DisplayOrderMatcher, GivingUpAndExtras) {
  DisplayOrderMatcher m;
  // A picture with no sample waiting (a filler's) is dropped.
  EXPECT_FALSE(m.Picture(std::make_unique<TruePicture>(99)));
  m.Sent(7, 20);
  m.Sent(8, 10);
  m.Sent(9, 15, false);  // no picture of its own: due after sample 8's
  // The decoder held too much: the earliest-displayed is given up first.
  m.GiveUpEarliest(codecErr);
  // An unreadable picture still belongs to its sample.
  EXPECT_TRUE(m.Picture(nullptr, codecErr));
  EXPECT_FALSE(m.Picture(std::make_unique<TruePicture>(1)));
  const std::vector<std::pair<uint64_t, OSErr>> expected = {{8, codecErr}, {9, codecBadDataErr}, {7, codecErr}};
  for (const auto &[tag, result] : expected) {
    DisplayOrderMatcher::Output o;
    ASSERT_TRUE(m.Receive(&o));
    EXPECT_EQ(o.tag, tag);
    EXPECT_EQ(o.result, result);
  }
  DisplayOrderMatcher::Output o;
  EXPECT_FALSE(m.Receive(&o));
}

}  // namespace
}  // namespace tp::qt
