#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "DOdudo/host/KHostLog.h"

// Runs fn with the effective user id of nobody when the process runs as root (which also drops
// the scheduling capability), so that both sides of a privilege test can be seen.
template <typename F>
void AsUnprivileged(F fn) {
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, seteuid(65534));
  }
  fn();
  if (root) {
    ASSERT_EQ(0, seteuid(0));
  }
}

// Collects what the host layer sends to the running log, instead of writing it, for the lifetime
// of the object. One at a time.
class RunningLogCapture {
 public:
  RunningLogCapture() {
    {
      std::lock_guard<std::mutex> guard(Mutex());
      Store().clear();
    }
    previous_ = SetRunningLogSink(&Sink);
  }
  ~RunningLogCapture() { SetRunningLogSink(previous_); }

  // Lines as "<level>|<text>", in arrival order.
  static std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(Mutex());
    return Store();
  }
  static bool Contains(const std::string& line) {
    for (const auto& l : Lines())
      if (l == line) return true;
    return false;
  }

 private:
  static void Sink(KLogLevel level, const char* text) {
    std::lock_guard<std::mutex> guard(Mutex());
    Store().push_back(std::string(1, "EWINT"[level]) + "|" + text);
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Store() {
    static std::vector<std::string> lines;
    return lines;
  }
  KRunningLogSink previous_;
};
