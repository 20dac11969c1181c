// End to end: the shipped libsnl.so with the real libusb-0.1, loaded inside snlsim's emulated
// boards. These prove the whole road from the exported calls to the bytes a board receives.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "LogLines.h"
#include "support/TestIsolation.h"

#ifdef SNLSIM_PATH

using snltest::LogLines;
using Lines = std::vector<std::string>;

namespace {

struct SimRun {
  std::map<std::string, std::string> results;  // "status:0" -> "4", "load_ms" -> "1312"
  std::string output;
  Lines record;  // snlsim's record: one line per request that reached a board
  int exitStatus = -1;

  int Result(const std::string& call) const {
    auto it = results.find(call);
    return it == results.end() ? -999 : std::stoi(it->second);
  }
  // The record lines of vendor requests only (discovery and command traffic, no descriptors).
  Lines Vendor() const {
    Lines out;
    for (const std::string& line : record)
      if (line.find(" CONTROL c0 ") != std::string::npos ||
          line.find(" CONTROL 40 ") != std::string::npos)
        out.push_back(line);
    return out;
  }
  size_t Count(const std::string& needle) const {
    return static_cast<size_t>(std::count_if(record.begin(), record.end(), [&](const std::string& l) {
      return l.find(needle) != std::string::npos;
    }));
  }
};

// Runs snlprobe on the shipped library with the given calls, inside the boards of scenario.
SimRun Simulate(const std::string& scenario, const std::string& calls) {
  char dir[] = "/tmp/snlsim-test-XXXXXX";
  EXPECT_NE(nullptr, mkdtemp(dir));
  const std::string base = dir;
  std::ofstream(base + "/scenario.ini") << scenario;
  const std::string command = std::string(SNLSIM_PATH) + " --record " + base + "/record.txt " +
                              base + "/scenario.ini -- " + SNL_PROBE_PATH + " " +
                              SNL_SHIPPED_LIBRARY + " " + calls + " 2>&1";
  SimRun run;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
    run.output += buffer;
    std::string line(buffer);
    line.erase(line.find_last_not_of('\n') + 1);
    std::string::size_type eq = line.rfind('=');
    if (eq != std::string::npos) run.results[line.substr(0, eq)] = line.substr(eq + 1);
  }
  run.exitStatus = pipe != nullptr ? pclose(pipe) : -1;
  std::ifstream record(base + "/record.txt");
  for (std::string line; std::getline(record, line);) run.record.push_back(line);
  unlink((base + "/scenario.ini").c_str());
  unlink((base + "/record.txt").c_str());
  rmdir(dir);
  return run;
}

const char kDiscoveryWire[] =
    "board=0 CONTROL c0 33 value=0 index=0 length=1 timeout=500 -> 1 data=58";

TEST(Emulated, WithoutBoardsLoadsAtOnceAndFailsEveryIndexSilently) {
  SNL_REQUIRE_ISOLATION();
  SimRun run = Simulate("# no board\n",
                     "debug:1 count status:0 start:0 stop:0 ping:0 configure:0:30:2 serial:0 "
                     "links:0 status:-1 unload");
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_LT(run.Result("load_ms"), 200);
  EXPECT_EQ(0, run.Result("count"));
  EXPECT_EQ(4, run.Result("status:0"));
  EXPECT_EQ(4, run.Result("status:-1"));
  for (const char* call : {"start:0", "stop:0", "ping:0", "configure:0:30:2"})
    EXPECT_EQ(1, run.Result(call)) << call;
  EXPECT_EQ(0, run.Result("serial:0"));
  EXPECT_EQ(0, run.Result("links:0"));
  EXPECT_EQ(Lines{}, run.record);
  EXPECT_EQ((Lines{"I Sentrel library starting...", "N No snlusb devices found",
                   "I \tNo devices found"}),
            LogLines());
}

TEST(Emulated, OneBoardFromLoadToUnload) {
  SNL_REQUIRE_ISOLATION();
  SimRun run = Simulate("[board]\nserial = 12345\nlinks = 2\nsubtype = 3\nstatus = 0xFE\n",
                     "count serial:0 links:0 start:0 ping:0 status:0 configure:0:30:2 stop:0 "
                     "debug:1 status:0 start:-1 status:1 configure:1:1:1 debug:0 ping:0 unload");
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_GE(run.Result("load_ms"), 1250);
  EXPECT_LT(run.Result("load_ms"), 2500) << "the board came back after its reset: no long wait";
  EXPECT_EQ(1, run.Result("count"));
  EXPECT_EQ(12345, run.Result("serial:0"));
  EXPECT_EQ(2, run.Result("links:0"));
  EXPECT_EQ(0, run.Result("start:0"));
  EXPECT_EQ(0, run.Result("ping:0"));
  EXPECT_EQ(3, run.Result("status:0"));  // 0xFE: bit 0 clear, bit 1 set
  EXPECT_EQ(0, run.Result("configure:0:30:2"));
  EXPECT_EQ(0, run.Result("stop:0"));
  EXPECT_EQ(1, run.Result("start:-1"));
  EXPECT_EQ(4, run.Result("status:1"));

  // Reset under configuration 0, adoption under 1 with interface 0, then only what was asked.
  ASSERT_GE(run.record.size(), 4u);
  EXPECT_EQ((Lines{"board=0 SETCONFIGURATION 0 -> 0", "board=0 RESET -> 0",
                   "board=0 SETCONFIGURATION 1 -> 0", "board=0 CLAIMINTERFACE 0 -> 0"}),
            Lines(run.record.begin(), run.record.begin() + 4));
  const std::string status = "board=0 CONTROL c0 66 value=0 index=0 length=1 timeout=500 -> 1 data=FE";
  EXPECT_EQ((Lines{kDiscoveryWire,
                   "board=0 CONTROL c0 32 value=0 index=0 length=128 timeout=500 -> 128 data=0103"
                   "0039300000000000000000000002" + std::string(2 * 112, '0'),
                   "board=0 CONTROL 40 64 value=0 index=0 length=0 timeout=500 -> 0",
                   status, status,
                   "board=0 CONTROL 40 67 value=0 index=0 length=2 timeout=500 -> 2 data=1E02",
                   "board=0 CONTROL 40 65 value=0 index=0 length=0 timeout=500 -> 0", status,
                   status}),
            run.Vendor());
  EXPECT_EQ("board=0 SETCONFIGURATION 0 -> 0", run.record.back()) << "unloading deconfigures";
  EXPECT_EQ((Lines{"I Sentrel library starting...",
                   "I SNL Device [12345] - Type [0][3], max links:2",
                   "I Device 0, GetStatus CMD sent, return: 1"}),
            LogLines());
}

TEST(Emulated, BadBoardsAreRejectedForeignDevicesIgnoredGoodBoardsKept) {
  SNL_REQUIRE_ISOLATION();
  SimRun run = Simulate(
      "[board]\nvendor = 0xC0E9\nserial = 2121\n"  // the second vendor id
      "[board]\nrelease = 0x0010\n"                // not a watchdog board
      "[board]\nproduct = 0x6001\n"                // not a watchdog board either
      "[board]\nfirmware = 0x78\n"
      "[board]\nvpd-length = 127\n"
      "[board]\nrefuse = claim\n"
      "[board]\nrefuse = configuration\n"
      "[board]\nfail = 0x33:ETIMEDOUT\n"
      "[board]\ntype = 1\n"
      "[board]\nserial = 4242\n",
      "count serial:0 serial:1 unload");
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_EQ(2, run.Result("count"));
  // Bus order is the order in which the kernel lists the device nodes: either board may be 0.
  EXPECT_EQ(2121 + 4242, run.Result("serial:0") + run.Result("serial:1"));
  EXPECT_EQ(0u, run.Count("board=1 ") + run.Count("board=2 ")) << "foreign devices untouched";
  Lines log = LogLines();
  std::sort(log.begin(), log.end());
  EXPECT_EQ((Lines{"E SNLUSB device VPD read error",
                   "I SNL Device [2121] - Type [0][0], max links:2",
                   "I SNL Device [4242] - Type [0][0], max links:2",
                   "I Sentrel library starting...", "N Error checking snlusb firmware",
                   "N Error checking snlusb firmware",
                   "N Error establishing interface connection with snlusb device",
                   "N Error setting configuration of snlusb device"}),
            log);
  EXPECT_EQ(1u, run.Count("board=7 CONTROL c0 33 value=0 index=0 length=1 timeout=500 -> -110"));
}

TEST(Emulated, ABoardUnpluggedAfterDiscoveryGivesLibusbErrors) {
  SNL_REQUIRE_ISOLATION();
  SimRun run = Simulate("[board]\nserial = 5\nunplug-after = 2\n",
                     "count status:0 ping:0 start:0 configure:0:30:2 serial:0 unload");
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_EQ(1, run.Result("count"));
  EXPECT_EQ(4, run.Result("status:0"));
  EXPECT_EQ(1, run.Result("ping:0"));
  EXPECT_EQ(1, run.Result("start:0"));
  EXPECT_EQ(1, run.Result("configure:0:30:2"));
  EXPECT_EQ(5, run.Result("serial:0"));
  EXPECT_EQ((Lines{"I Sentrel library starting...", "I SNL Device [5] - Type [0][0], max links:2",
                   "W Error retrieving status: -19, device 0", "W Error sending ping: -19, device 0",
                   "W Error sending start: -19, device 0",
                   "W Error sending configure: -19, device 0"}),
            LogLines());
}

TEST(Emulated, ABoardThatNeverComesBackAfterItsResetIsMissing) {
  SNL_REQUIRE_ISOLATION();
  // Leaving counts as one change, which ends the settle wait; then the board is simply missing.
  SimRun vanish = Simulate("[board]\nreset = vanish\n", "count unload");
  EXPECT_LT(vanish.Result("load_ms"), 2500);
  EXPECT_EQ(0, vanish.Result("count"));
  EXPECT_EQ(0u, vanish.Count("SETCONFIGURATION 1"));
}

}  // namespace

#endif  // SNLSIM_PATH
