// Both pins stream a real movie while three control threads issue random
// seeks, stop changes, rate changes and filter state changes. No operation
// may take longer than 5 s (a watchdog aborts the run: a deadlock cannot be
// recovered from), and what the peers receive must stay well-formed: within
// a segment sample times never go down, and nothing follows an end of
// stream. TP_STORM_OPS sets the number of operations (2,000 by default).
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

using Clock = std::chrono::steady_clock;

class StormTest : public FilterTest {};

int OperationCount() {
  const char *value = std::getenv("TP_STORM_OPS");
  const int n = value ? std::atoi(value) : 0;
  return n > 0 ? n : 2000;
}

// Tracks when each control thread's current operation began; the watchdog
// aborts when one runs longer than the limit.
class Watchdog {
 public:
  static constexpr int kThreads = 3;
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { Watch(); }) {}
  ~Watchdog() {
    done_ = true;
    thread_.join();
  }
  void Begin(int t, const char *what) {
    what_[t] = what;
    began_[t] = Clock::now().time_since_epoch().count();
  }
  void End(int t) { began_[t] = 0; }

 private:
  void Watch() {
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const auto now = Clock::now().time_since_epoch().count();
      for (int t = 0; t < kThreads; ++t) {
        const auto began = began_[t].load();
        if (began != 0 && Clock::duration(now - began) > limit_) {
          std::fprintf(stderr, "watchdog: %s on control thread %d took more than %lld s\n", what_[t].load(), t,
                       static_cast<long long>(limit_.count()));
          std::abort();
        }
      }
    }
  }
  const std::chrono::seconds limit_;
  std::atomic<Clock::rep> began_[kThreads] = {};
  std::atomic<const char *> what_[kThreads] = {};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(StormTest, RandomCommandsFromThreeThreads_NoDeadlock_DeliveryStaysWellFormed) {
  ASSERT_EQ(Load(AvMovie()), S_OK);
  ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_YV12), S_OK);
  ASSERT_EQ(ConnectAudio(), S_OK);
  IMediaSeeking *seeking[2] = {Seeking(Video()), Seeking(Audio())};
  ASSERT_EQ(filter->Run(0), S_OK);

  const int total = OperationCount();
  std::atomic<int> next{0};
  std::atomic<int> slowestMs{0};
  const auto began = Clock::now();
  {
    Watchdog watchdog(std::chrono::seconds(5));
    auto control = [&](int t) {
      std::mt19937 random(1234 + t);
      while (next++ < total) {
        IMediaSeeking *s = seeking[random() % 2];
        REFERENCE_TIME start = static_cast<REFERENCE_TIME>(random() % 25) * 1000000;  // 0 to 2.4 s
        REFERENCE_TIME stop = start + static_cast<REFERENCE_TIME>(random() % 20) * 1000000;
        const auto opBegan = Clock::now();
        switch (random() % 7) {
          case 0:
            watchdog.Begin(t, "SetPositions(start)");
            s->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0);
            break;
          case 1:
            watchdog.Begin(t, "SetPositions(start, stop)");
            s->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning);
            break;
          case 2:
            watchdog.Begin(t, "SetPositions(stop)");
            s->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning);
            break;
          case 3:
            watchdog.Begin(t, "SetRate");
            s->SetRate(0.5 + static_cast<double>(random() % 4) * 0.5);
            break;
          case 4:
            watchdog.Begin(t, "Pause");
            filter->Pause();
            break;
          case 5:
            watchdog.Begin(t, "Run");
            filter->Run(0);
            break;
          default:
            watchdog.Begin(t, "Stop");
            filter->Stop();
            break;
        }
        watchdog.End(t);
        const int ms =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opBegan).count());
        for (int seen = slowestMs.load(); ms > seen && !slowestMs.compare_exchange_weak(seen, ms);) {
        }
      }
    };
    std::thread threads[Watchdog::kThreads] = {std::thread(control, 0), std::thread(control, 1),
                                               std::thread(control, 2)};
    for (std::thread &th : threads) th.join();
  }
  ASSERT_EQ(filter->Stop(), S_OK);
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  size_t samples = 0;
  int segments = 0;
  for (TestInputPin *peer : peers) {
    const auto got = peer->Received();
    samples += got.size();
    segments += peer->NewSegmentCount();
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_FALSE(got[i].afterEndOfStream) << "sample " << i << " after the end of its segment";
      if (i > 0 && got[i].segment == got[i - 1].segment) {
        EXPECT_GE(got[i].start, got[i - 1].start) << "sample " << i << " goes back in segment " << got[i].segment;
      }
    }
  }
  std::printf("storm: %d operations in %.1f s, slowest %d ms; %zu samples in %d segments\n", total, seconds,
              slowestMs.load(), samples, segments);
  EXPECT_GT(samples, 0u);
}

}  // namespace
}  // namespace tp::test
