// DisplayOrderMatcher: pairs the pictures a decoder hands out with the
// samples sent to it, for a decoder that is fed once, forward, in decode
// order, hands its pictures out in display order, possibly several samples
// late, and cannot be trusted to hand back the stamps it was given (the
// one behind Wine rewrites them).
//
// The rule: a picture that comes out belongs to the earliest-displayed
// sample sent whose picture has not come out yet; samples with equal
// display times take their pictures in the order they were sent. A sample
// known to code no picture of its own takes none: it comes out with an
// error in its place in display order. Matched samples come out of Receive
// in display order, each once, with its tag.
//
// What is held: the samples waiting for their pictures (bounded by the
// decoder's delay, which its owner checks with waiting() and answers with
// GiveUpEarliest), and the pictures matched and not yet received.
//
// Pure bookkeeping, no decoder: builds and is tested on every system. Not
// thread-safe; its owner serialises calls.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "codecs/VideoDecoder.h"

namespace tp::qt {

class DisplayOrderMatcher {
 public:
  using Output = VideoDecoder::Output;

  // A sample went into the decoder. codesPicture false: no picture will
  // come for it (it comes out with codecBadDataErr).
  void Sent(uint64_t tag, int64_t displayTime, bool codesPicture = true);
  // The decoder's next picture, in display order; null with `error` for a
  // picture that came out but could not be read. False when no sample waits
  // for a picture (one the decoder made from a filler): it is dropped.
  bool Picture(std::unique_ptr<PictureSnapshot> picture, OSErr error = codecErr);
  // The earliest-displayed waiting sample will get no picture: it comes out
  // with `why`. No effect when none waits.
  void GiveUpEarliest(OSErr why);
  // Every waiting sample will get no picture (a drain that ran dry).
  void GiveUpAll(OSErr why);
  // The next sample that is out, in display order; false when none is.
  bool Receive(Output *out);
  // Forgets everything sent and not received (a seek).
  void Clear();

  // Samples sent whose pictures have not come out.
  int waiting() const { return int(waiting_.size()); }
  // Samples sent and not yet received.
  int held() const { return int(waiting_.size() + ready_.size()); }

 private:
  struct Waiting {
    int64_t displayTime = 0;
    uint64_t order = 0;  // the order sent: breaks ties in display time
    uint64_t tag = 0;
    bool codesPicture = true;
  };
  // Moves the samples without a picture of their own from the front of the
  // waiting list to the ready list.
  void ReleaseLeadingNonPictures();
  void Ready(uint64_t tag, OSErr result, std::unique_ptr<PictureSnapshot> picture);

  std::vector<Waiting> waiting_;  // by display time, then order sent
  std::deque<Output> ready_;      // in display order
  uint64_t sent_ = 0;
};

}  // namespace tp::qt
