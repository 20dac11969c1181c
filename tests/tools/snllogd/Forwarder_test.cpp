// snllogd hands each line on to the machine's log: the journal's native protocol and syslog's
// datagrams, received by stand-in sockets that the server sees at the system's paths (a mount
// namespace of its own over /run or /dev).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>
#include <map>

#include "SnllogdProcess.h"
#include "support/TestIsolation.h"

using snllogdtest::Peer;
using snllogdtest::Snllogd;

namespace {

class SnllogdForwardingTest : public snltest::IsolatedTest {
 protected:
  void TearDown() override {
    if (socket_ >= 0) close(socket_);
    std::string command = "umount -q '" + dir_ + "/null' 2>/dev/null; rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) {
    }
  }
  // A datagram socket at dir_/<relative>; dir_ is made first.
  void Listen(const std::string& relative) {
    char pattern[] = "/tmp/snllogd-forward-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::string path = dir_ + "/" + relative;
    ASSERT_EQ(0, system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()));
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address));
  }
  // The next datagram, or "" when none comes within 5 s.
  std::string Next() {
    pollfd entry{socket_, POLLIN, 0};
    if (poll(&entry, 1, 5000) != 1) return "";
    char block[65536];
    ssize_t n = recv(socket_, block, sizeof block, 0);
    return n > 0 ? std::string(block, static_cast<size_t>(n)) : "";
  }
  std::string dir_;
  int socket_ = -1;
};

// The journal's native protocol: "KEY=value\n", or "KEY\n", a 64-bit little-endian size, the
// value and "\n" for a value that holds a line end.
std::map<std::string, std::string> JournalFields(const std::string& datagram) {
  std::map<std::string, std::string> fields;
  for (size_t at = 0; at < datagram.size();) {
    size_t end = datagram.find('\n', at);
    if (end == std::string::npos) break;
    std::string head = datagram.substr(at, end - at);
    size_t equals = head.find('=');
    if (equals != std::string::npos) {
      fields[head.substr(0, equals)] = head.substr(equals + 1);
      at = end + 1;
    } else {
      uint64_t size = 0;
      memcpy(&size, datagram.data() + end + 1, 8);
      fields[head] = datagram.substr(end + 9, size);
      at = end + 9 + size + 1;
    }
  }
  return fields;
}

TEST_F(SnllogdForwardingTest, JournalGetsTheFieldsOfEachLine) {
  Listen("systemd/journal/socket");
  snllogdtest::Setup setup;
  setup.binds = {{dir_, "/run"}};
  Snllogd server({"--journal"}, setup);
  Peer client;
  ASSERT_TRUE(client.Send("snl", "E|06/12/2026 20:50:21.123|SNL     | Device 0 \x1b[1m gone\n"));
  ASSERT_TRUE(client.Send("other", "T|07/12/2026 01:02:03.004| trace\n"));
  ASSERT_TRUE(client.Send("bare", "no header\n"));
  auto first = JournalFields(Next());
  EXPECT_EQ("SNL     | Device 0 \\x1b[1m gone", first["MESSAGE"]);
  EXPECT_EQ("3", first["PRIORITY"]);
  EXPECT_EQ("snl", first["SYSLOG_IDENTIFIER"]);
  EXPECT_EQ("127.0.0.1", first["SNLLOGD_CLIENT"]);
  EXPECT_EQ("2026-12-06 20:50:21.123", first["SNLLOGD_TIME"]);
  auto second = JournalFields(Next());
  EXPECT_EQ("trace", second["MESSAGE"]);
  EXPECT_EQ("7", second["PRIORITY"]);
  EXPECT_EQ("other", second["SYSLOG_IDENTIFIER"]);
  EXPECT_EQ("2026-12-07 01:02:03.004", second["SNLLOGD_TIME"]);
  auto third = JournalFields(Next());
  EXPECT_EQ("no header", third["MESSAGE"]);
  EXPECT_EQ("6", third["PRIORITY"]);
  EXPECT_EQ(0u, third.count("SNLLOGD_TIME"));
  // The file gets the same lines (written once the server has nothing more to read).
  EXPECT_TRUE(snllogdtest::WaitFor([] { return snllogdtest::LogOf("bare") == "no header\n"; }));
}

TEST_F(SnllogdForwardingTest, SyslogTagsEachLineWithItsWriter) {
  Listen("log");
  std::ofstream(dir_ + "/null").close();
  ASSERT_EQ(0, mount("/dev/null", (dir_ + "/null").c_str(), nullptr, MS_BIND, nullptr));
  snllogdtest::Setup setup;
  setup.binds = {{dir_, "/dev"}};
  Snllogd server({"--syslog"}, setup);
  Peer client;
  ASSERT_TRUE(client.Send("snl", "W|06/12/2026 20:50:21.123|SNL     | low\n"));
  ASSERT_TRUE(client.Send("app", "N|06/12/2026 20:50:21.124| started\n"));
  std::string first = Next(), second = Next();
  // "<PRI>Mmm dd hh:mm:ss TAG: MESSAGE", facility user (8) plus the level's priority.
  EXPECT_THAT(first, testing::MatchesRegex("<12>... .. ..:..:.. snl: 127\\.0\\.0\\.1: SNL     \\| low"));
  EXPECT_THAT(second, testing::MatchesRegex("<13>... .. ..:..:.. app: 127\\.0\\.0\\.1: started"));
  // The library's own warning (this writer's file cannot be opened) is the server's, not "app"'s.
  ASSERT_EQ(0, system("mkdir -p /var/log/tolma/remote/127.0.0.1/bad.log"));
  ASSERT_TRUE(client.Send("bad", "I|06/12/2026 20:50:21.125| lost\n"));
  std::string warning = Next();
  EXPECT_THAT(warning, testing::AllOf(testing::StartsWith("<12>"),
                                      testing::HasSubstr(" snllogd: fopen(3) failed"),
                                      testing::HasSubstr("/bad disabled")));
  EXPECT_THAT(Next(), testing::MatchesRegex("<14>... .. ..:..:.. bad: 127\\.0\\.0\\.1: lost"));
}

}  // namespace
