#pragma once

// Runs a program the way an operator's shell does and collects what it printed: the tool tests
// drive snlctl (and snlsim around it) from outside. Children inherit the test's private mount
// namespace.

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace snltest {

// A fresh temporary directory, removed with everything in it when the object goes away.
struct TempDir {
  std::string path = [] {
    char pattern[] = "/tmp/snl-tooltest-XXXXXX";
    return std::string(mkdtemp(pattern) != nullptr ? pattern : "/nonexistent");
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
  // Writes bytes (a std::string or a byte vector) to the file name here and returns its path.
  template <class Bytes>
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path + "/" + name;
  }
  std::string Read(const std::string& name) const {
    std::stringstream text;
    text << std::ifstream(path + "/" + name).rdbuf();
    return text.str();
  }
};

struct ToolResult {
  int exitCode = -1;  // a crash shows as 128 + the signal number, or -1
  std::string out, err;
};

// Runs argv (the program first; no argument may hold a single quote) and waits for it.
inline ToolResult RunTool(const std::vector<std::string>& argv) {
  TempDir dir;
  std::string command;
  for (const std::string& arg : argv) command += "'" + arg + "' ";
  const int status = system((command + ">" + dir.path + "/out 2>" + dir.path + "/err").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, dir.Read("out"), dir.Read("err")};
}

}  // namespace snltest
