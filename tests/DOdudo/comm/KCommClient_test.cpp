// The comm client end to end against commsim, a real separate process on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommClient.h"
#include "support/TestIsolation.h"
#include "tools/commsim/Server.h"

using comm::KCommClient;
using comm::KEnvelope;
using commtest::CommSim;
using commtest::Count;
using commtest::Lines;
using dodudo::kstring;

namespace {

constexpr unsigned int kPort = 14200;

void Connect(KCommClient& client, unsigned int timeoutMs = 5000, uint32_t build = 0) {
  client.Connect("app", "127.0.0.1", kPort, comm::KHelloMsg::Z7M_SERVER, 1, 0, build, timeoutMs,
                 true);
}

std::string Dump(const std::string& module) {
  std::string text;
  for (const std::string& line : Lines(module)) text += line + "\n";
  return text;
}

}  // namespace

TEST(KCommClient, CommandsQueriesAndIdentity) {
  SNL_REQUIRE_ISOLATION();
  CommSim server({});
  KCommClient client;
  Connect(client);
  EXPECT_EQ(client.GetConnectionId(), "app-0[0]");
  EXPECT_EQ(server.NextLine(), "connected app-0[0]");

  dodudo::KPlainData<int32_t> value(1234);
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 7, 0, value), 7)
      << Dump("commclient");
}
