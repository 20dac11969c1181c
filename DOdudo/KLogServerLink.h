#pragma once

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
// A received frame is read whole (its count is bounded) before it is decoded, so a malformed or
// hostile record is refused as a unit and never leaves the stream out of step.
//
// Threading: one thread receives while others send (sends are serialised inside); Terminate and
// Shutdown may be called from any thread while another is blocked in Receive or Send. The owner
// deletes the link only after every thread using it has left it.
class KLogServerLink {
 public:
  // A receive that failed because the connection broke ("Log server connection closed").
  struct Closed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Connects; throws a std::exception when it cannot.
  KLogServerLink(const std::string& host, uint16_t port);
  ~KLogServerLink();
  KLogServerLink(const KLogServerLink&) = delete;
  KLogServerLink& operator=(const KLogServerLink&) = delete;

  // One reload record. False when the server ended the connection in order or the link was
  // terminated; throws Closed when the connection broke, another std::exception for a malformed
  // record (the link is then unusable).
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

  // The largest reload record accepted; a filter takes 282 bytes.
  static constexpr uint32_t kMaxReloadRecord = 64 * 1024;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
