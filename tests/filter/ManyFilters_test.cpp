// Many filters in one process: 32 filters stream the same movie at once,
// both pins each, and every one delivers every video frame, byte for byte
// the engine's, and its sound to the end. Under the asan preset nothing may
// leak; under tsan (the filter tests are threaded) the per-track tables of
// late-drawn pictures and everything shared must stay race-free.
#include <thread>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

class ManyFilters : public FilterTest {};

TEST_F(ManyFilters, ThirtyTwoAtOnce_EveryFrameDelivered) {
  constexpr int kFilters = 32;
  const std::string movie = AvMovie();
  ASSERT_FALSE(movie.empty());
  const TrackOutput expected = EngineOutput(movie, true, MEDIASUBTYPE_YV12);
  ASSERT_FALSE(expected.samples.empty());

  struct One {
    CTidepool *filter = nullptr;
    TestInputPin *peers[2] = {};
  };
  std::vector<One> all(kFilters);
  for (One &one : all) {
    HRESULT hr = E_FAIL;
    one.filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
    ASSERT_NE(one.filter, nullptr);
    one.filter->NonDelegatingAddRef();
    ASSERT_EQ(one.filter->Load(Wide(movie).c_str(), nullptr), S_OK);
    ASSERT_EQ(one.filter->GetPinCount(), 2);
    for (TestInputPin *&peer : one.peers) {
      peer = new TestInputPin;
      peer->allocatorMode = TestInputPin::AllocatorMode::None;
    }
    one.peers[0]->keepData = true;
    auto *video = static_cast<CVideoSourceStream *>(one.filter->GetPin(0));
    CMediaType mt;
    for (int i = 0; video->GetMediaType(i, &mt) == S_OK && !IsEqualGUID(*mt.Subtype(), MEDIASUBTYPE_YV12); ++i) {
    }
    ASSERT_EQ(video->Connect(one.peers[0], &mt), S_OK);
    ASSERT_EQ(one.filter->GetPin(1)->Connect(one.peers[1], nullptr), S_OK);
  }
  // Started from several threads, so that loads of work overlap from the
  // first sample on.
  std::vector<std::thread> starters;
  for (int t = 0; t < 4; ++t) {
    starters.emplace_back([&all, t] {
      for (size_t i = static_cast<size_t>(t); i < all.size(); i += 4) all[i].filter->Run(0);
    });
  }
  for (std::thread &t : starters) t.join();
  for (size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE("filter " + std::to_string(i));
    for (TestInputPin *peer : all[i].peers) EXPECT_TRUE(peer->WaitForEndOfStream(1, std::chrono::minutes(5)));
    const std::vector<ReceivedSample> frames = all[i].peers[0]->Received();
    ASSERT_EQ(frames.size(), expected.samples.size());
    for (size_t f = 0; f < frames.size(); ++f) {
      ASSERT_EQ(frames[f].data, expected.samples[f].bytes) << "frame " << f;
    }
    EXPECT_FALSE(all[i].peers[1]->Received().empty());
  }
  for (One &one : all) {
    one.filter->Stop();
    for (int i = 0; i < one.filter->GetPinCount(); ++i) one.filter->GetPin(i)->Disconnect();
    for (TestInputPin *peer : one.peers) {
      peer->Disconnect();
      peer->Release();
    }
    one.filter->NonDelegatingRelease();
  }
}

}  // namespace
}  // namespace tp::test
