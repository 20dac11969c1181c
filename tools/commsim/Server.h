#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "DOdudo/KLogger.h"
#include "DOdudo/comm/KHelloMsg.h"

namespace commsim {

// The module of the simulator's own commands and events.
constexpr uint8_t SIM_MODULE = 20;

enum SimCommand : uint16_t {
  SIM_ECHO = 1,   // replies with result g and the request's payload bytes unchanged
  SIM_FAIL = 2,   // replies SYNC_FAIL, code 42, text "simulated failure"
  SIM_PUSH = 3,   // replies 0, then pushes g events to the client when it asked for broadcasts
  SIM_SLEEP = 4,  // replies 0 after g ms
  SIM_DROP = 5,   // closes the connection without replying
};

enum SimEvent : uint16_t {
  SIM_EVENT = 100,  // pushed by SIM_PUSH: g = sequence from 0, i = count, 32 bytes of payload
  SIM_TICK = 101,   // pushed every --tick ms: g = sequence from 0
};

// What the server says and how it misbehaves.
struct Options {
  std::string host = "127.0.0.1";
  unsigned int port = 14200;
  comm::KHelloMsg hello{comm::KHelloMsg::Z7M_SERVER, 1, 0, 0};
  uint16_t helloCode = 11;     // HELLOV2; another code makes the hello invalid
  bool silent = false;         // accept, then never say hello
  unsigned int delayMs = 0;    // every reply to a command or query comes this late
  bool noReplies = false;      // commands and queries are never answered
  unsigned int dropAfter = 0;  // close a connection after this many envelopes (0: never)
  bool ignoreKeepAlives = false;
  unsigned int tickMs = 0;  // push a TICK to broadcast clients this often (0: never)
  // A client that sends nothing for this long is probed, and closed when the probe gets no
  // answer; a connection without a finished handshake is closed after it. A client that takes
  // no data for this long is closed as well.
  unsigned int idleMs = 30000;
  bool quiet = false;       // no trace lines
};

class Session;

// Accepts clients on a listening socket and serves each on threads of its own (one reading, one
// pushing events), so a client that stops reading or says nothing holds up no other. Out of
// descriptors, accepting pauses for a second instead of spinning. Run() returns when Stop() is
// called (from a signal handler too: it only sets a flag and writes to a pipe).
class Server {
 public:
  explicit Server(const Options& options);
  ~Server();

  // Binds and listens; false (with a message on stderr) when that fails.
  bool Listen();
  unsigned int Port() const { return port_; }
  void Run();
  void Stop();

  // Pushes an event to every client that asked for broadcasts.
  void Broadcast(uint16_t code, int32_t g, int32_t i);
  const Options& GetOptions() const { return options_; }
  KLogger& Logger() { return logger_; }

 private:
  void Accept();
  void Reap(bool all);

  Options options_;
  KLogger logger_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  unsigned int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex sessionsMutex_;
  std::list<std::shared_ptr<Session>> sessions_;
  std::thread ticker_;
  bool acceptFull_ = false;  // the last accept failed for want of descriptors
};

}  // namespace commsim
