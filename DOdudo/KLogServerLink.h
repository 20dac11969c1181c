#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class KLogFilter;

// The log manager's connection to the local log server, reduced to what its reload thread needs:
// receive reload orders and filters, send requests, and be unblocked from another thread.
// The socket channel implements it; until then OpenLogServerLink fails, so the reload thread
// keeps retrying without touching logging.
class KLogServerLink {
 public:
  // A receive that failed because the connection broke ("Log server connection closed").
  struct Closed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  virtual ~KLogServerLink() = default;
  // One reload record: its type, and for type 2 the filter it carries (decoded into `filter`).
  // False when the connection ended in order; throws Closed when it broke.
  virtual bool Receive(uint32_t& type, KLogFilter& filter) = 0;
  // A record with a name and a text ("0" and "reload" for a reload request).
  virtual void Send(const std::string& name, const std::string& text) = 0;
  // Unblocks a pending Receive; called from another thread.
  virtual void Terminate() = 0;
};

// Connects to the log server on 127.0.0.1:port. Throws a std::exception when it cannot.
using KLogServerConnector = KLogServerLink* (*)(uint16_t port);
KLogServerLink* OpenLogServerLink(uint16_t port);
// Replaces the connector (the socket layer installs its own; tests install fakes).
void SetLogServerConnector(KLogServerConnector connector);
