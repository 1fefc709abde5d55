#include "codecs/DisplayOrderMatcher.h"

#include <algorithm>

namespace tp::qt {

void DisplayOrderMatcher::Sent(uint64_t tag, int64_t displayTime, bool codesPicture) {
  const Waiting w{displayTime, sent_++, tag, codesPicture};
  // After every sample that displays no later: equal times keep the order sent.
  auto at = std::upper_bound(waiting_.begin(), waiting_.end(), w, [](const Waiting &a, const Waiting &b) {
    return a.displayTime < b.displayTime || (a.displayTime == b.displayTime && a.order < b.order);
  });
  waiting_.insert(at, w);
}

bool DisplayOrderMatcher::Picture(std::unique_ptr<PictureSnapshot> picture, OSErr error) {
  ReleaseLeadingNonPictures();
  if (waiting_.empty()) return false;
  const uint64_t tag = waiting_.front().tag;
  waiting_.erase(waiting_.begin());
  if (picture)
    Ready(tag, noErr, std::move(picture));
  else
    Ready(tag, error, nullptr);
  // A sample without a picture that displays before the next picture's
  // sample is due now.
  ReleaseLeadingNonPictures();
  return true;
}

void DisplayOrderMatcher::GiveUpEarliest(OSErr why) {
  ReleaseLeadingNonPictures();
  if (waiting_.empty()) return;
  Ready(waiting_.front().tag, why, nullptr);
  waiting_.erase(waiting_.begin());
  ReleaseLeadingNonPictures();
}

void DisplayOrderMatcher::GiveUpAll(OSErr why) {
  for (const Waiting &w : waiting_) Ready(w.tag, w.codesPicture ? why : OSErr(codecBadDataErr), nullptr);
  waiting_.clear();
}

bool DisplayOrderMatcher::Receive(Output *out) {
  if (ready_.empty()) return false;
  *out = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

void DisplayOrderMatcher::Clear() {
  waiting_.clear();
  ready_.clear();
}

void DisplayOrderMatcher::ReleaseLeadingNonPictures() {
  while (!waiting_.empty() && !waiting_.front().codesPicture) {
    Ready(waiting_.front().tag, codecBadDataErr, nullptr);
    waiting_.erase(waiting_.begin());
  }
}

void DisplayOrderMatcher::Ready(uint64_t tag, OSErr result, std::unique_ptr<PictureSnapshot> picture) {
  Output o;
  o.tag = tag;
  o.result = result;
  o.picture = std::move(picture);
  ready_.push_back(std::move(o));
}

}  // namespace tp::qt
