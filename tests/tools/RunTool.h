#pragma once

// Runs a program as a child process and collects what it printed: the tool tests drive snlctl
// exactly as an operator's shell does. The child inherits the test's private mount namespace.

#include <string>
#include <vector>

namespace snltest {

struct ToolResult {
  int exitCode = -1;  // -1 when the child did not exit normally (crash, signal)
  int signal = 0;     // the signal that ended it, if any
  std::string out;
  std::string err;
};

// Runs program with args and waits for it. If stopWhenPrinted is not empty, sends SIGTERM once
// the child's stdout contains it (for commands that run until interrupted), to the innermost
// process when the child runs the command under a wrapper (snlsim -- COMMAND); gives up waiting
// for it after 60 s and sends SIGKILL to the child.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& stopWhenPrinted = "");

// Writes bytes to a new file in a fresh temporary directory and returns its path.
std::string WriteTempFile(const std::string& name, const std::vector<unsigned char>& bytes);

}  // namespace snltest
