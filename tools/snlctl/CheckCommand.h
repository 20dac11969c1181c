#pragma once

// One --check or --check-shell of snlctl keepalive: a command that must exit with status 0 within
// a time limit. It runs in the background while keepalive waits for the next ping, so that a
// command that hangs delays nothing but itself: at its limit its whole process group is killed
// and the run counts as a failure.
//
// The command runs in a process group of its own, with stdin on /dev/null, stdout and stderr into
// a pipe (the first kOutputKept bytes are kept, at most kLinesShown lines of them to be shown
// when it fails; the rest is read and dropped, so that a chatty command never blocks), no other
// file of snlctl open (the boards' device files and the board locks stay with snlctl) and every
// signal unblocked and at its default. A plain --check is split at blanks into a program and its
// arguments, without a shell: no quoting, variables or wildcards. --check-shell hands the text to
// /bin/sh -c.
//
// A run killed at its limit that has not ended yet (a process stuck in the kernel) is not
// started again until it has: each later round counts as a failure meanwhile.

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

namespace snlctl {

class CheckCommand {
 public:
  static constexpr size_t kOutputKept = 512;
  static constexpr size_t kLinesShown = 16;  // of those bytes

  // Throws UsageError when text holds no word.
  CheckCommand(const std::string& text, bool shell);
  ~CheckCommand();  // kills a run still going (process group) and reaps it if it has ended
  CheckCommand(const CheckCommand&) = delete;
  CheckCommand& operator=(const CheckCommand&) = delete;

  // "check 'TEXT'" or "shell check 'TEXT'", with control characters shown as '?'.
  const std::string& Name() const { return name_; }

  // Starts a run that must end by now + limitMs, unless a killed one has not ended yet.
  void Start(const timespec& now, long limitMs);
  // True while a run goes on and its limit has not come.
  bool Running() const { return outcome_ == Outcome::kRunning; }
  const timespec& Deadline() const { return deadline_; }
  // The output pipe of the run going on, -1 when none: poll it for input.
  int OutputFd() const { return outFd_; }
  // Reads what the command wrote, notes its end and kills it at its limit. Never blocks.
  void Service(const timespec& now);
  // The verdict of the last round: an empty string when the command ended with status 0, else
  // what was seen. Lines of output of a failed run are appended to *output.
  std::string Verdict(std::vector<std::string>* output);
  // Kills a run still going; used when keepalive ends.
  void Kill();

 private:
  // What became of the run of this round.
  enum class Outcome { kNone, kRunning, kEnded, kTimedOut, kStillStuck, kStartFailed };

  void Drain();
  void CloseOutput();
  bool Reap(bool killGroupFirst);

  std::string name_;
  std::vector<std::string> argv_;
  bool usePath_;
  Outcome outcome_ = Outcome::kNone;
  pid_t pid_ = -1;  // until reaped, also after a kill
  int outFd_ = -1;
  long limitMs_ = 0;
  timespec deadline_{};
  int status_ = 0;      // wait status once ended
  int startError_ = 0;  // errno of a failed start
  std::string output_;
  size_t dropped_ = 0;
};

}  // namespace snlctl
