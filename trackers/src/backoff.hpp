#pragma once
// Waiting out another thread's copy in or out of a frame cell.

#include <thread>

namespace sorvel::detail {

/// A few short spins, then yields, so a preempted holder gets the core back.
class Backoff {
 public:
  void pause() {
    if (round_ < kSpinRounds) {
      for (int i = 0; i < (1 << round_); ++i) relax();
      ++round_;
    } else {
      std::this_thread::yield();
    }
  }

 private:
  static constexpr int kSpinRounds = 6;

  static void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  int round_ = 0;
};

}  // namespace sorvel::detail
