#pragma once

#include <cstdint>
#include <mutex>

#include "DOdudo/host/KHostSystem.h"

namespace comm {

// Lets one line of a kind through per period and counts the ones it held back, so that a loop
// failing at full speed (commands during an outage) writes a line a second, not one per call.
class KNoticeLimiter {
 public:
  explicit KNoticeLimiter(uint32_t periodMs) : periodMs_(periodMs) {}

  // true when a line may be written now; held is then how many were held back before it.
  bool Allow(unsigned int& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t now = KHostSystem::GetTick();
    if (any_ && now - last_ < periodMs_) {
      ++held_;
      return false;
    }
    any_ = true;
    last_ = now;
    held = held_;
    held_ = 0;
    return true;
  }

 private:
  const uint32_t periodMs_;
  std::mutex mutex_;
  bool any_ = false;
  uint32_t last_ = 0;
  unsigned int held_ = 0;
};

}  // namespace comm
