// Base fixture of the runtime's sound tests: skips without ffmpeg, enters
// the movie toolbox, opens movies that it disposes of at the end, and keeps
// a scratch folder for the movies the tests make.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RuntimeCalls.h"
#include "support/FfmpegTools.h"

namespace tp::test {

class SoundMoviesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not available";
    ASSERT_EQ(qtcall::Err(qtcall::DispatchCall(kQTSelEnterMovies)), noErr);
  }
  void TearDown() override {
    for (Movie m : movies_) qtcall::DispatchCall(kQTSelDisposeMovie, m);
  }
  // The opened movie, or null after a failed expectation.
  Movie OpenMovie(const std::string &path) {
    Movie m = nullptr;
    EXPECT_EQ(qtcall::QOpenMovie(path, &m), noErr) << path;
    if (m) movies_.push_back(m);
    return m;
  }
  ff::TempDir dir_;
  std::vector<Movie> movies_;
};

}  // namespace tp::test
