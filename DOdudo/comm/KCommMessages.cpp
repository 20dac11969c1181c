#include "DOdudo/comm/KCommMessages.h"

#include <cstring>
#include <mutex>

#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/host/KHex.h"

namespace comm {

// Table order is the historical one (RECONNECTED before CONN_FAIL).
const Msg_t MessageIdStringsComm[12] = {
    {COMM_INVALID, "INVALID"},
    {COMM_HELLO, "HELLO"},
    {COMM_LOCAL_ERROR, "LOCAL_ERROR"},
    {COMM_SYNC_RESPONSE, "SYNC_RESPONSE"},
    {COMM_REMOTE_ID, "REMOTE_ID"},
    {COMM_SYNC_FAIL, "SYNC_FAIL"},
    {COMM_REQ_BROADCASTS, "REQ_BROADCASTS"},
    {COMM_QUERY, "QUERY"},
    {COMM_RECONNECTED, "RECONNECTED"},
    {COMM_CONN_FAIL, "CONN_FAIL"},
    {COMM_KEEP_ALIVE, "KEEP_ALIVE"},
    {COMM_HELLOV2, "HELLOV2"},
};

namespace {

// Registration may happen on any thread (the first channel registers COMM), so the registry is
// locked for every access made here.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

unsigned int& MaxLength() {
  static unsigned int length = 6;
  return length;
}

void Fill(std::map<uint32_t, std::string>& table, unsigned int count, const Msg_t* rows) {
  if (rows == nullptr) return;
  for (unsigned int n = 0; n < count; ++n) {
    const char* name = rows[n].name != nullptr ? rows[n].name : "";
    table.emplace(rows[n].id, name);  // a repeated number keeps its first name
    unsigned int length = static_cast<unsigned int>(std::strlen(name));
    if (length > MaxLength()) MaxLength() = length;
  }
}

}  // namespace

std::map<unsigned int, KMessageIdStrings>& KCommChannel::VerboseStrings() {
  static std::map<unsigned int, KMessageIdStrings> strings;
  return strings;
}

unsigned int KCommChannel::MaxMessageNameLength() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return MaxLength();
}

bool KCommChannel::RegisterMessageStrings(unsigned int module, const char* name,
                                          unsigned int commandCount, const Msg_t* commands,
                                          unsigned int eventCount, const Msg_t* events) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& registry = VerboseStrings();
  if (registry.count(module) != 0) return false;
  KMessageIdStrings& strings = registry[module];
  strings.name = name != nullptr ? name : "";
  Fill(strings.commands, commandCount, commands);
  Fill(strings.events, eventCount, events);
  return true;
}

bool KCommChannel::AreMessageStringsRegistered(unsigned int module) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return VerboseStrings().count(module) != 0;
}

dodudo::kstring KCommChannel::Verbose(bool outgoing, const KEnvelope& envelope) {
  dodudo::kstring text;
  text.sprintf("%s P%05u|", outgoing ? "TX>" : "RX<", envelope.GetPacketId());
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    int width = static_cast<int>(MaxLength());
    auto& registry = VerboseStrings();
    auto module = registry.find(envelope.GetModule());
    if (module == registry.end()) {
      text.AppendFormat("MOD_%02u: MSG_%02u%*s ", envelope.GetModule(), envelope.GetCode(),
                        width - 6, "");
    } else {
      const auto& table = outgoing ? module->second.commands : module->second.events;
      auto message = table.find(envelope.GetCode());
      text += module->second.name;
      if (message != table.end())
        text.AppendFormat(": %-*s ", width, message->second.c_str());
      else
        text.AppendFormat(": MSG_%02u%*s ", envelope.GetCode(), width - 6, "");
    }
  }
  text.AppendFormat("g%d i%03d (%2u) ", envelope.GetG(), envelope.GetI(),
                    envelope.Payload().Size());
  if (envelope.Payload().Size() != 0)
    text += dodudo::DataToHex(envelope.Payload().Data(), envelope.Payload().Size(), "");
  return text;
}

}  // namespace comm
