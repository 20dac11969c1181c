#pragma once

// Command-line helpers shared by the snlctl commands: exit codes, the usage error, and parsing of
// numbers and board indexes with clear messages.

#include <stdexcept>
#include <string>

namespace snlctl {

enum ExitCode {
  kExitOk = 0,         // the command did what was asked
  kExitFailed = 1,     // the board or the image said no: failed transfer, bad checksum, ...
  kExitUsage = 2,      // bad command line or unusable input file; nothing was sent to a board
  kExitBoardLost = 3,  // keepalive: the board stopped answering (see Keepalive.h)
  kExitBusy = 4,       // the boards are in use by another snlctl; nothing was sent to a board
};

// Thrown for a bad command line or input; main prints "snlctl: <what>" and exits kExitUsage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when another snlctl holds the boards; main prints "snlctl: <what>" and exits kExitBusy.
class BoardsBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the whole of text as a decimal integer in [min, max]. Throws UsageError naming what
// ("board index", "interval", ...) when text is empty, has trailing characters or is out of range.
long ParseNumber(const std::string& text, long min, long max, const char* what);

// The highest board index the library accepts in SNL_BOARDS.
constexpr long kMaxBoardIndex = 1023;

// Parses a board index (0 to kMaxBoardIndex) without loading the library: whether the board is
// there is Slot()'s question (Library.h). Throws UsageError naming "board index".
int ParseBoardIndex(const std::string& text);

// Returns text unchanged when it is valid UTF-8, else reads it as ISO 8859-1 and converts it: the
// library's own messages may be stored in ISO 8859-1, terminals expect UTF-8.
std::string ToUtf8(const std::string& text);

}  // namespace snlctl
