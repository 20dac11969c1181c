#pragma once

#include <gtest/gtest.h>

namespace snltest {

// True when the process runs in its own mount namespace with fresh tmpfs under /var/log (holding
// an empty /var/log/tolma), an overlay on /etc (holding an empty /etc/tolma) and an empty tmpfs
// on /run/snl, and in its own network namespace with only loopback (127.0.0.1 and ::1), so fixed
// ports are free. Set up by the shared test main before any test runs; needs root.
bool Isolated();

}  // namespace snltest

// Skips the current test unless the file system is isolated: tests that read or write
// /var/log/tolma or /etc/tolma must never touch the real system.
#define SNL_REQUIRE_ISOLATION()                                                         \
  do {                                                                                  \
    if (!::snltest::Isolated())                                                         \
      GTEST_SKIP() << "needs root for a private mount namespace over /var/log and /etc"; \
  } while (0)

namespace snltest {

// The fixture of tests that all need the isolated file system.
class IsolatedTest : public ::testing::Test {
 protected:
  void SetUp() override { SNL_REQUIRE_ISOLATION(); }
};

}  // namespace snltest
