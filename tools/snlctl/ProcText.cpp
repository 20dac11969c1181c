#include "tools/snlctl/ProcText.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace snlctl {

long ParsePid(const std::string& text) {
  const size_t at = text.find_first_not_of(" \t\n");
  if (at == std::string::npos || text[at] < '0' || text[at] > '9') return 0;
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (text.find_first_not_of(" \t\n", end) != std::string::npos || end - at > 10) return 0;
  const long long pid = std::strtoll(text.substr(at, end - at).c_str(), nullptr, 10);
  return pid > 0 && pid <= INT32_MAX ? static_cast<long>(pid) : 0;
}

bool ParseProcessStat(const std::string& text, char* state, unsigned long long* startTime) {
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  *state = text[close + 2];
  // Fields 3 to 21 are skipped: 19 blanks after the state's position.
  size_t at = close + 2;
  for (int field = 3; field < 22; ++field) {
    at = text.find(' ', at);
    if (at == std::string::npos) return false;
    ++at;
  }
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
  *startTime = std::strtoull(text.substr(at, 24).c_str(), nullptr, 10);
  return true;
}

bool StatusHasUid(const std::string& text, uid_t uid) {
  const size_t at = text.find("\nUid:");
  if (at == std::string::npos) return false;
  const size_t end = text.find('\n', at + 1);
  const std::string line = text.substr(at + 5, end == std::string::npos ? end : end - at - 5);
  const char* p = line.c_str();
  for (int i = 0; i < 4; ++i) {
    char* next = nullptr;
    errno = 0;
    const unsigned long id = std::strtoul(p, &next, 10);
    if (next == p || errno != 0) break;
    if (id == uid) return true;
    p = next;
  }
  return false;
}

long long ParseMemAvailableKiB(const std::string& text) {
  static const char kKey[] = "\nMemAvailable:";
  const size_t at = text.find(kKey);
  if (at == std::string::npos) return -1;
  const size_t end = text.find('\n', at + 1);
  const std::string value = text.substr(
      at + sizeof kKey - 1, end == std::string::npos ? end : end - at - sizeof kKey + 1);
  char* stop = nullptr;
  errno = 0;
  const long long kib = std::strtoll(value.c_str(), &stop, 10);
  return stop == value.c_str() || errno != 0 || kib < 0 ? -1 : kib;
}

double ParseLoadAverage(const std::string& text) {
  const std::string field = text.substr(0, text.find_first_of(" \n"));
  char* end = nullptr;
  const double load = std::strtod(field.c_str(), &end);
  if (field.empty() || *end != '\0' || !std::isfinite(load) || load < 0) return -1;
  return load;
}

}  // namespace snlctl
