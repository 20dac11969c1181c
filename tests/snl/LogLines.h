#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace snltest {

// The lines of /var/log/tolma/snl.log as "<level char> <text>", the date and time dropped:
// "N|06/12/2026 08:00:00.123| No snlusb devices found" reads "N No snlusb devices found".
// Banners and other writer output are skipped.
inline std::vector<std::string> LogLines() {
  std::vector<std::string> out;
  std::ifstream in("/var/log/tolma/snl.log");
  for (std::string line; std::getline(in, line);) {
    const std::string::size_type body = line.find("| ");
    if (line.size() > 1 && line[1] == '|' && body != std::string::npos &&
        std::string("EWINT").find(line[0]) != std::string::npos)
      out.push_back(line.substr(0, 1) + " " + line.substr(body + 2));
  }
  return out;
}

}  // namespace snltest
