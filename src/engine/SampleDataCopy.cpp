#include "engine/SampleDataCopy.h"

#include "engine/SampleData.h"

namespace {
AVSampleDataCopyFn g_copy = nullptr;
}  // namespace

AVSampleDataCopyFn SetAVSampleDataCopy(AVSampleDataCopyFn copy) {
  const AVSampleDataCopyFn previous = g_copy;
  g_copy = copy;
  return previous;
}

LONG AVSampleData::CopyTo(BYTE *buffer, unsigned size) { return g_copy != nullptr ? g_copy(this, buffer, size) : -1; }
