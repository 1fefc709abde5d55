// Where AVSampleData::CopyTo finds its code. The record is built by the
// engine's tracks, so its virtual table has to live in the engine; the copy
// itself (the buffer layout the host reads) belongs to the source filter's
// grabber code, which installs it here when it is loaded. Until then CopyTo
// answers -1.
#pragma once

#include <windows.h>

class AVSampleData;

using AVSampleDataCopyFn = LONG (*)(AVSampleData *record, BYTE *buffer, unsigned size);

// Installs the copy (null uninstalls); returns the previous one. Meant for
// start-up, before any track runs.
AVSampleDataCopyFn SetAVSampleDataCopy(AVSampleDataCopyFn copy);
