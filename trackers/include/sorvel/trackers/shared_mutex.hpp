#pragma once
// The routing table's reader-writer lock. With MinGW, std::shared_mutex sits on winpthreads'
// rwlock, which let a reader see half-written data under contention (seen under Wine); there an
// exclusive mutex serves readers too, which costs little since every lock is held briefly.

#if defined(__MINGW32__)
#include <mutex>
#else
#include <shared_mutex>
#endif

namespace sorvel {

#if defined(__MINGW32__)
class SharedMutex {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  void lock_shared() { mutex_.lock(); }
  void unlock_shared() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};
#else
using SharedMutex = std::shared_mutex;
#endif

}  // namespace sorvel
