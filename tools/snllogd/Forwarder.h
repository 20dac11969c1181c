#pragma once

#include <string>

namespace snllogd {

// Hands each line written to a file on to the machine's log pipeline as well:
// - the system log (syslog(3), facility user): tagged with the writer's name, the message being
//   the client's address and the line without its level and time ("10.1.2.3: SNL     | text");
//   the level becomes the priority;
// - the systemd journal (sd_journal_sendv): MESSAGE as for syslog but without the address,
//   SYSLOG_IDENTIFIER the writer, PRIORITY from the level, SNLLOGD_CLIENT the client's address
//   and SNLLOGD_TIME the time the client's logger wrote into the line.
// The line given is already escaped (one line, no control bytes). Both calls block while the
// system's log daemon does not take the line (its socket buffer is full). Not thread-safe.
class Forwarder {
 public:
  enum class Target { kNone, kSyslog, kJournal };
  explicit Forwarder(Target target) : target_(target) {}
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  void Forward(const std::string& address, const std::string& writer, const std::string& line);

 private:
  Target target_;
  unsigned failures_ = 0;
};

}  // namespace snllogd
