#include "engine/SampleDataCopy.h"

#include <atomic>

#include "engine/SampleData.h"

namespace {
// Installed from a control thread, read on the pins' worker threads.
std::atomic<AVSampleDataCopyFn> g_copy{nullptr};
}  // namespace

AVSampleDataCopyFn SetAVSampleDataCopy(AVSampleDataCopyFn copy) { return g_copy.exchange(copy); }

LONG AVSampleData::CopyTo(BYTE *buffer, unsigned size) {
  const AVSampleDataCopyFn copy = g_copy.load();
  return copy != nullptr ? copy(this, buffer, size) : -1;
}
