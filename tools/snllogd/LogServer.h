#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DOdudo/KLogMessage.h"
#include "tools/snllogd/Forwarder.h"
#include "tools/snllogd/Options.h"
#include "tools/snllogd/RecordText.h"
#include "tools/snllogd/WriterCache.h"

namespace snllogd {

// The log server: accepts client processes, writes each log record they send to the file of its
// writer name (through the library's file writer: date banners and rotation included), pushes the
// filter of its own klog.cfg to each client on connect and again when that file's filter changes,
// on SIGHUP or on a "reload" request, and sends a configuration reload order to every client on a
// "config_reload" request.
//
// One loop owns every client, and one client cannot hold up or take down another:
// - lines read are written once no client has more waiting, after 256 KiB or 50 ms at the latest;
// - once it has caught up with clients that send line by line, it lets their lines gather in the
//   socket buffers for kGatherMicros before it looks again, rather than wake up for every line;
// - each pass reads at most kReadChunk bytes from each ready client and parses them at once, so a
//   flood gets the same turn as everyone else; what a client has sent beyond its last whole record
//   (at most one record, kMaxFrame bytes) is all the server keeps of its input;
// - what is pushed to a client is kept as "filter wanted" and "reload order wanted" flags and
//   turned into bytes only when its socket takes them: a client that does not read holds at most
//   one filter and one order;
// - a client that fails (ends, sends a malformed record, leaves a record incomplete or does not
//   take pushed bytes for the timeout) is marked and closed after the pass, never during it;
// - requests and SIGHUPs are gathered: one push once they have stopped for 100 ms, at most one a
//   second;
// - connections beyond the cap wait in the kernel's queue; running out of descriptors pauses
//   accepting for a second and closes the log files, instead of spinning or ending.
// Single-threaded.
class LogServer {
 public:
  explicit LogServer(const Options& options);
  ~LogServer();
  LogServer(const LogServer&) = delete;
  LogServer& operator=(const LogServer&) = delete;

  // Fixes the log directory, binds and listens; throws std::runtime_error with the reason.
  void Open();
  // Serves until `stop` (read between passes) becomes non-zero, then writes what the clients had
  // already sent. `reload` (SIGHUP) asks for klog.cfg to be read and pushed; it is cleared here.
  void Run(volatile int& stop, volatile int& reload, int wakeFd);

  // A record is two strings of at most KMAX_STRING_SIZE bytes with their 4-byte counts: no frame
  // of a valid record is larger.
  static constexpr uint32_t kMaxFrame = 2 * (4 + 2048);
  static constexpr size_t kReadChunk = 64 * 1024;
  // A line read while clients keep sending waits at most this long longer to be read.
  static constexpr long kGatherMicros = 100;

 private:
  struct Client {
    int fd = -1;
    sockaddr_storage peer{};
    std::string address;
    bool control = false;  // its requests are obeyed
    std::string input;     // the start of an incomplete record
    // A line sent as several records (a record without line end continues in the next one of
    // the same writer): its start, kept per connection so that no other process's line can be
    // glued to it, and written once the line is complete.
    std::string partialWriter, partial;
    int64_t inputSince = 0;
    bool wantFilter = false, wantOrder = false;
    std::string output;  // pushed bytes not yet taken
    int64_t outputSince = 0;
    const char* failed = nullptr;  // why it is to be closed after this pass
  };
  // A kind of push with the requests waiting for it.
  struct Pending {
    bool waiting = false;
    int64_t first = 0, last = 0, pushed = -1000000;
  };

  void Pass(volatile int& reload, int wakeFd);
  void Drain();
  void FlushWriters();
  int64_t DueAt(const Pending& pending) const;
  void Accept();
  bool Allowed(const sockaddr_storage& peer) const;
  size_t ReadFrom(Client& client);
  void Parse(Client& client, const char* data, size_t size);
  bool HandleFrame(Client& client, const char* data, uint32_t size);
  void WriteRecord(Client& client);
  void WriteLine(const Client& client, const std::string& writer, const std::string& text);
  void WritePartial(Client& client);
  void SendPushed(Client& client);
  void Request(Pending& pending);
  void PushDue();
  void CheckTimeouts();
  void RemoveFailed();
  std::string LoadFilter();
  bool ConfigChanged();
  int PollTimeout() const;
  void Note(const std::string& what);

  Options options_;
  int listenFd_ = -1;
  std::vector<Client> clients_;
  std::vector<pollfd> fds_;  // of the present pass, kept for its allocation
  WriterCache writers_;
  Forwarder forwarder_;
  dodudo::KLogMessage record_;  // the record being handled, reused for its buffers
  std::string line_;            // its escaped text
  std::string pushedFilter_, orderFrame_;  // the frames clients are given
  Pending filterPush_, orderPush_;
  bool rereadFilter_ = false;   // the filter push reads klog.cfg first
  bool readLastPass_ = false;   // some client had bytes for the last pass
  bool onlyIfChanged_ = true;   // the filter push is made only if the filter changed
  std::string configStamp_;
  int64_t now_ = 0, lastSecond_ = 0, acceptPausedUntil_ = 0, flushedAt_ = 0;
  unsigned today_ = 0;
  // Rate limit of Note: messages in the present minute, and those left out.
  int64_t noteMinute_ = 0;
  unsigned notes_ = 0, notesLeftOut_ = 0;
};

}  // namespace snllogd
