#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "DOdudo/host/KExport.h"

namespace comm {

// The protocol's own module and its message numbers.
constexpr uint8_t COMM_MODULE = 1;

enum KCommMessage : uint16_t {
  COMM_INVALID = 0,
  COMM_HELLO = 1,  // named only; servers greet with HELLOV2
  COMM_LOCAL_ERROR = 2,
  COMM_SYNC_RESPONSE = 3,
  COMM_REMOTE_ID = 4,
  COMM_SYNC_FAIL = 5,
  COMM_REQ_BROADCASTS = 6,
  COMM_QUERY = 7,
  COMM_CONN_FAIL = 8,
  COMM_RECONNECTED = 9,
  COMM_KEEP_ALIVE = 10,
  COMM_HELLOV2 = 11,
};

// The result of a command or query that could not be carried out (not connected, no reply,
// failure on the way).
constexpr int COMM_RESULT_FAIL = 13;

// One row of a message-name table.
struct Msg_t {
  uint32_t id;
  const char* name;
};

// The names of one module, for trace lines: the module name, and its message names towards the
// server (commands) and from it (events).
struct DODUDO_API KMessageIdStrings {
  std::string name;
  std::map<uint32_t, std::string> commands;
  std::map<uint32_t, std::string> events;
};

// The COMM table, 12 rows.
extern DODUDO_API const Msg_t MessageIdStringsComm[12];

}  // namespace comm
