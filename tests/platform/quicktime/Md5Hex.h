// The lowercase hex MD5 of a byte range, as ffprobe's packet digests print
// it (for the runtime tests, which link libavutil).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/md5.h>
}

namespace tp::test {

inline std::string Md5Hex(const uint8_t *data, size_t n) {
  uint8_t digest[16];
  av_md5_sum(digest, data, int(n));
  static const char *hex = "0123456789abcdef";
  std::string s;
  for (uint8_t b : digest) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s;
}

}  // namespace tp::test
