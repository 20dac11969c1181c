// A record's text as the log server writes it: whatever a client sends, the result is one line
// (a single line end, at the end) with no control byte but the tab, no DEL and no C1 control;
// and the parts of that line never hold a line end either.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/snllogd/RecordText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string line;
  snllogd::AppendLine(text, line);
  if (line.empty() || line.back() != '\n') abort();
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) abort();
    if (c == 0xC2 && static_cast<unsigned char>(line[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(line[i + 1]) < 0xA0)
      abort();
  }
  snllogd::LineParts parts = snllogd::SplitLine(line);
  if (parts.rest.find('\n') != std::string::npos) abort();
  if (!parts.time.empty() && parts.time.size() != 23) abort();
  return 0;
}
