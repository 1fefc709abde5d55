// DmoTransform: one DirectX Media Object (the older form of a system
// codec) driven synchronously: buffers in, decoded bytes out, draining and
// flushing. It stands in where a system has a DMO but no Media Foundation
// transform for a format (Wine's MP3 decoder, for one). Audio only: the
// output is whatever the output type says, appended to the caller's vector.
//
// Ownership: holds one reference to the object; input buffers are reference
// counted, since the object may keep one until it is used up. Not
// thread-safe: its owner serialises calls (any thread; the process keeps the
// multithreaded apartment alive, see MfStartup).
#pragma once

#include <windows.h>
#include <mediaerr.h>
#include <mediaobj.h>

#include <cstdint>
#include <span>
#include <vector>

#include "MfTransform.h"

namespace tp::qt {

class DmoTransform {
 public:
  // Creates the object `clsid` and sets its types (format blocks are
  // copied). REGDB_E_CLASSNOTREG and the like when the system lacks it.
  static HRESULT Create(const CLSID &clsid, const DMO_MEDIA_TYPE &input, const DMO_MEDIA_TYPE &output,
                        DmoTransform *out);

  // Feeds one buffer, pulling what is ready into *out first when the
  // object is full.
  HRESULT Feed(std::span<const uint8_t> data, std::vector<uint8_t> *out);
  // Appends everything the object will give now.
  HRESULT Pull(std::vector<uint8_t> *out);
  // The end of the stream: everything held back.
  HRESULT Drain(std::vector<uint8_t> *out);
  HRESULT Flush();

 private:
  ComRef<IMediaObject> dmo_;
  DWORD outputSize_ = 0;
};

}  // namespace tp::qt
