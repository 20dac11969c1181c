// What snlctl keepalive's health checks read: a pid file another user may write, and /proc texts
// whose command name any process chooses. No reader may read past its text or crash, a pid read
// is one a process can have, and the text of that pid reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/snlctl/ProcText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const long pid = snlctl::ParsePid(text);
  if (pid < 0 || pid > INT32_MAX) abort();
  if (pid != 0 && snlctl::ParsePid(std::to_string(pid) + "\n") != pid) abort();
  char state = 0;
  unsigned long long start = 0;
  snlctl::ParseProcessStat(text, &state, &start);
  snlctl::StatusHasUid(text, 0);
  if (snlctl::ParseMemAvailableKiB(text) < -1) abort();
  const double load = snlctl::ParseLoadAverage(text);
  if (load < 0 && load != -1) abort();
  return 0;
}
