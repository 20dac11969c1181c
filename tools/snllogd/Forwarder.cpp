#include "tools/snllogd/Forwarder.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstring>

#include "tools/snllogd/RecordText.h"

namespace snllogd {

namespace {

int Priority(char level) {
  switch (level) {
    case 'E':
      return LOG_ERR;
    case 'W':
      return LOG_WARNING;
    case 'N':
      return LOG_NOTICE;
    case 'T':
      return LOG_DEBUG;
    default:
      return LOG_INFO;
  }
}

}  // namespace

Forwarder::~Forwarder() {
  if (target_ == Target::kSyslog) closelog();
}

void Forwarder::Forward(const std::string& address, const std::string& writer,
                        const std::string& line) {
  if (target_ == Target::kNone) return;
  LineParts parts = SplitLine(line);
  if (target_ == Target::kSyslog) {
    // The writer's name tags its line only: the server's own messages and the library's (a log
    // file that cannot be opened, say) must not pass for a client's under the last writer's name.
    openlog(writer.c_str(), LOG_NDELAY, LOG_USER);
    syslog(Priority(parts.level), "%s: %s", address.c_str(), parts.rest.c_str());
    openlog("snllogd", LOG_NDELAY, LOG_USER);
    return;
  }
  std::string fields[] = {
      "MESSAGE=" + parts.rest,
      "PRIORITY=" + std::to_string(Priority(parts.level)),
      "SYSLOG_IDENTIFIER=" + writer,
      "SNLLOGD_CLIENT=" + address,
      "SNLLOGD_TIME=" + parts.time,
  };
  iovec vector[5];
  int count = parts.time.empty() ? 4 : 5;
  for (int i = 0; i < count; ++i) vector[i] = {&fields[i][0], fields[i].size()};
  int result = sd_journal_sendv(vector, count);
  // Reported at the first failure and then at every 1000th, so that a journal that is away is
  // noticed without a message per line.
  if (result < 0 && failures_++ % 1000 == 0) {
    fprintf(stderr, "snllogd: cannot send lines to the journal (%u failed so far): %s\n",
            failures_, strerror(-result));
  }
}

}  // namespace snllogd
