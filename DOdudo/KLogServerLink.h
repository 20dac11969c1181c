#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace dodudo {
class KReloadMessage;
class KSerializable;
}  // namespace dodudo

// One connection to a log server over a socket IPC channel: records go out framed as every IPC
// object (32-bit little-endian count, then the record); reload records come back. Used by the
// plain manager's reload thread (127.0.0.1) and by the remote log client.
//
// Only a server that may steer this process is kept: when the server's address is on this
// machine, the socket at its end must belong to root or to the process's own user (any local
// user can listen on the unprivileged log port when the real server is not running).
//
// A received frame is read whole (its count is bounded) before it is decoded, so a malformed or
// hostile record is refused as a unit (Malformed) rather than read as something else.
//
// Threading: one thread receives while others send (sends are serialised inside); Terminate,
// Shutdown and FinishSending may be called from any thread while another is blocked in Receive
// or Send. The owner deletes the link only after every thread using it has left it.
class KLogServerLink {
 public:
  // A receive that failed because the connection broke ("Log server connection closed").
  struct Closed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  // A record the server sent that is not a reload record (too large, cut short, bytes left
  // over): the server breaks the protocol, and the link is unusable.
  struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  // The server at the other end is not one to trust (see above); connecting throws it.
  struct Untrusted : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Connects within kConnectMs; throws a std::exception when it cannot (Untrusted for a server
  // refused as above). A set `cancel` ends a connection attempt early (within some 20 ms).
  KLogServerLink(const std::string& host, uint16_t port,
                 const std::atomic<bool>* cancel = nullptr);
  ~KLogServerLink();
  KLogServerLink(const KLogServerLink&) = delete;
  KLogServerLink& operator=(const KLogServerLink&) = delete;

  // One reload record. False when the server ended the connection in order or the link was
  // terminated; throws Closed when the connection broke, Malformed for a record that is not one
  // (the link is then unusable).
  bool Receive(dodudo::KReloadMessage& message);
  // One whole record; throws a std::exception when it could not be written.
  void Send(dodudo::KSerializable& record);
  // Framed records gathered with AppendFrame, in one write; throws when it could not be written.
  void SendBytes(const std::string& frames);
  // Appends the frame of one record (count, then the record) to `out`.
  static void AppendFrame(std::string& out, dodudo::KSerializable& record);
  // Wakes and stops a pending Receive.
  void Terminate();
  // Also makes a pending or later Send fail at once (used before waiting for a sender to leave).
  void Shutdown();
  // Ends the sending direction in order: the server reads everything sent, then the end, and
  // closes the connection, which the receiver sees (Receive returns false).
  void FinishSending();
  // For the copy a forked child inherited: closes the child's descriptor without touching the
  // connection, which stays the parent's. The object must then be leaked, never destroyed: its
  // destruction would shut the parent's connection down.
  void ForgetInChild();

  // True when the server at the other end of the connected socket may be trusted; otherwise
  // false with the reason.
  static bool PeerTrusted(int fd, std::string& why);

  // The largest reload record accepted; a filter takes 282 bytes.
  static constexpr uint32_t kMaxReloadRecord = 64 * 1024;
  static constexpr int kConnectMs = 5000;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
