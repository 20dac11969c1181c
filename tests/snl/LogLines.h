#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace snltest {

// The lines of /var/log/tolma/<module>.log as "<level char> <text>", the date and time dropped:
// "N|06/12/2026 08:00:00.123| No snlusb devices found" reads "N No snlusb devices found".
inline std::vector<std::string> LogLines(const std::string& module = "snl") {
  std::vector<std::string> out;
  std::ifstream in("/var/log/tolma/" + module + ".log");
  std::string line;
  while (std::getline(in, line)) {
    std::string::size_type body = line.find("| ");
    // Only log lines count; banners and other writer output are skipped.
    if (line.size() < 2 || std::string("EWINT").find(line[0]) == std::string::npos ||
        line[1] != '|' || body == std::string::npos)
      continue;
    out.push_back(line.substr(0, 1) + " " + line.substr(body + 2));
  }
  return out;
}

}  // namespace snltest
