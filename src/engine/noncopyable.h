// noncopyable: an empty base for classes that own runtime objects (movies,
// media handles, converters). Deriving from it removes copying and moving, so
// an owned object can never be released twice by two copies of its owner.
#pragma once

class noncopyable {
 protected:
  noncopyable() = default;
  ~noncopyable() = default;

 public:
  noncopyable(const noncopyable &) = delete;
  noncopyable &operator=(const noncopyable &) = delete;
};
