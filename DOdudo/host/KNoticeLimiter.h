#pragma once

#include <cstdint>
#include <mutex>

#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

// Lets up to burst lines of a kind through per period and counts the ones it holds back, so that
// a loop failing at full speed (commands during an outage, a producer meeting a full ring)
// writes a few lines a second, not one per call.
class KNoticeLimiter {
 public:
  explicit KNoticeLimiter(uint32_t periodMs, unsigned int burst = 1)
      : periodMs_(periodMs), burst_(burst != 0 ? burst : 1) {}

  // true when a line may be written now; held is then how many were held back before it.
  bool Allow(unsigned int& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t now = KHostSystem::GetTick();
    if (any_ && now - start_ < periodMs_) {
      if (passed_ >= burst_) {
        ++held_;
        return false;
      }
    } else {
      any_ = true;
      start_ = now;
      passed_ = 0;
    }
    ++passed_;
    held = held_;
    held_ = 0;
    return true;
  }

 private:
  const uint32_t periodMs_;
  const unsigned int burst_;
  std::mutex mutex_;
  bool any_ = false;
  uint32_t start_ = 0;       // when the current period began
  unsigned int passed_ = 0;  // lines let through in it
  unsigned int held_ = 0;
};

}  // namespace dodudo
