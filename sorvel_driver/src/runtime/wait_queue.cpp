#include "sorvel/driver/runtime/wait_queue.hpp"

#include <atomic>

namespace sorvel::runtime::detail {

std::uint64_t next_wait_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace sorvel::runtime::detail
