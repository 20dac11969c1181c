#pragma once

// The fixture of the snlctl tests on emulated boards: each run starts a script under snlsim,
// which puts the scenario's boards on the USB bus that the library scans while loading.

#include <gtest/gtest.h>

#include <string>

#include "RunTool.h"
#include "support/SimShell.h"
#include "support/TestIsolation.h"

namespace snltest {

// Waits (at most a minute) until the file $1 holds the text $2.
inline const std::string kAwait =
    "await() { for i in $(seq 1200); do grep -q \"$2\" \"$1\" 2>/dev/null && return; "
    "sleep 0.05; done; echo \"timeout waiting for $2 in $1\" >&2; }\n";

class SnlctlSim : public ::testing::Test {
 protected:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    if (std::string(SNLSIM_PATH).empty()) GTEST_SKIP() << "snlsim is not built here";
  }
  // Runs script (sh, with $CTL, $DIR and await set) inside snlsim with the given boards; the
  // requests the boards received are then in Record().
  ToolResult Run(const std::string& boards, const std::string& script) {
    return RunTool({SNLSIM_PATH, "--record", dir.path + "/record.txt",
                    dir.Write("boards.ini", boards), "--", "env", "-u", "LD_PRELOAD",
                    "CTL=" + SimProgram(SNLCTL_PATH), "DIR=" + dir.path, "sh",
                    dir.Write("script.sh", kAwait + script + "\n")});
  }
  std::string Record() const { return dir.Read("record.txt"); }
  TempDir dir;
};

}  // namespace snltest
