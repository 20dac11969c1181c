// The shipped libsnl.so: what it exports and links, and end-to-end runs with the real libusb-0.1
// inside snlsim's emulated boards, the whole road from the exported calls to the bytes a board
// receives.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "LogLines.h"
#include "support/RecordingLogServer.h"
#include "support/SimShell.h"
#include "support/TestIsolation.h"

using snltest::LogLines;
using Lines = std::vector<std::string>;

namespace {

// The lines a shell command prints; its wait status in *status.
Lines Output(const std::string& command, int* status = nullptr) {
  Lines out;
  FILE* pipe = popen(command.c_str(), "r");
  for (char line[4096]; pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr;)
    out.emplace_back(line, strcspn(line, "\n"));
  const int rc = pipe != nullptr ? pclose(pipe) : -1;
  if (status != nullptr) *status = rc;
  return out;
}

TEST(Exports, TheCInterfaceAndTheVpdAccessorsAndNoInternals) {
  const Lines names = Output("nm -D --defined-only -j " SNL_SHIPPED_LIBRARY " | c++filt");
  const std::set<std::string> symbols(names.begin(), names.end());
  for (const char* name :
       {"snlDevCount", "snlDevSerial", "snlDevLinks", "snlStartWatch", "snlStopWatch",
        "snlPingWatch", "snlStatus", "snlConfigure", "snlDebugLog", "StartIntrKVA()",
        "SNLKVAInternal::kva2MaskResources(KVPD_Device_Type, unsigned char*, unsigned char*, "
        "unsigned char*)"})
    EXPECT_EQ(1u, symbols.count(name)) << name;
  EXPECT_EQ(14, std::count_if(symbols.begin(), symbols.end(), [](const std::string& s) {
              return s.rfind("SNLKVAInternal::kva2", 0) == 0;
            }));
  for (const std::string& s : symbols) {
    for (const char* internal : {"SentrelController", "SNLDevice", "KVpd", "SNLControl",
                                 "LocalLock", "snlusb", "_kvaMutex"})
      EXPECT_EQ(std::string::npos, s.find(internal)) << s;
    if (s.rfind("snl", 0) == 0) {
      EXPECT_EQ(std::string::npos, s.find('(')) << "C linkage: " << s;
    }
  }
  // Nothing else: the toolkit by its namespaces and K-prefixed names, never an instance of a
  // standard-library template (which would pin the library in memory at dlclose).
  const char* const kToolkit[] = {"snl", "SNLKVAInternal::", "StartIntrKVA()", "dodudo::",
                                  "comm::", "config::", "K", "TimerManager", "GenericRingBuffer",
                                  "GetStringKLog", "SetRunningLogSink", "SysLog", "myLog",
                                  "_NotifyThreadInit"};
  for (std::string s : symbols) {
    for (const char* prefix : {"typeinfo for ", "typeinfo name for ", "vtable for ", "VTT for ",
                               "non-virtual thunk to ", "virtual thunk to "})
      if (s.rfind(prefix, 0) == 0) s.erase(0, strlen(prefix));
    EXPECT_TRUE(std::any_of(std::begin(kToolkit), std::end(kToolkit),
                            [&](const char* p) { return s.rfind(p, 0) == 0; }))
        << s;
  }
  EXPECT_EQ(1u, symbols.count("vtable for KFileLogWriter"));
  EXPECT_EQ(1u, symbols.count("typeinfo for dodudo::KException"));
  EXPECT_EQ(0, system("readelf -d " SNL_SHIPPED_LIBRARY " | grep -q 'SONAME.*libsnl.so.1'"));
  EXPECT_EQ(0, system("readelf -d " SNL_SHIPPED_LIBRARY " | grep -q 'NEEDED.*libusb-0.1'"));
}

#ifdef SNLSIM_PATH

struct SimRun {
  Lines output, record;  // snlprobe's output; snlsim's record, one line per request to a board
  int exitStatus = -1;
  // The number snlprobe printed for call ("status:0=4"), or -999.
  int Result(const std::string& call) const {
    for (const std::string& line : output)
      if (line.rfind(call + "=", 0) == 0) return std::stoi(line.substr(call.size() + 1));
    return -999;
  }
  // The recorded lines that hold needle (or, with == false, that do not).
  Lines With(const std::string& needle, bool with = true) const {
    Lines out;
    std::copy_if(record.begin(), record.end(), std::back_inserter(out),
                 [&](const std::string& l) { return (l.find(needle) != l.npos) == with; });
    return out;
  }
};

// Runs command (a shell command line; "$D" is a scratch directory) inside the boards of scenario.
// environment ("NAME=value ...") is set for snlsim and so for command.
SimRun SimulateCommand(const std::string& scenario, const std::string& command,
                       const std::string& environment = "") {
  char dir[] = "/tmp/snlsim-test-XXXXXX";
  EXPECT_NE(nullptr, mkdtemp(dir));
  const std::string base = dir;
  std::ofstream(base + "/scenario.ini") << scenario;
  SimRun run;
  run.output = Output(environment + " D=" + base + " " SNLSIM_PATH " --record " + base + "/record.txt " + base +
                          "/scenario.ini -- " + command + " 2>&1",
                      &run.exitStatus);
  run.record = Output("cat " + base + "/record.txt");
  std::filesystem::remove_all(base);
  return run;
}

// Runs snlprobe on the shipped library with the given calls, inside the boards of scenario.
SimRun Simulate(const std::string& scenario, const std::string& calls,
                const std::string& environment = "") {
  return SimulateCommand(scenario, SNL_PROBE_PATH " " SNL_SHIPPED_LIBRARY " " + calls,
                         environment);
}

TEST(Emulated, OneBoardFromLoadToUnload) {
  SNL_REQUIRE_ISOLATION();
  SimRun run = Simulate("[board]\nserial = 12345\nlinks = 2\nsubtype = 3\nstatus = 0xFE\n",
                        "count serial:0 links:0 start:0 ping:0 status:0 configure:0:30:2 stop:0 "
                        "debug:1 status:0 start:-1 status:1 unload");
  ASSERT_EQ(0, run.exitStatus) << ::testing::PrintToString(run.output);
  EXPECT_GE(run.Result("load_ms"), 1250);
  EXPECT_LT(run.Result("load_ms"), 2500) << "the board came back after its reset: no long wait";
  const std::pair<const char*, int> results[] = {
      {"count", 1},    {"serial:0", 12345}, {"links:0", 2},          {"start:0", 0},
      {"ping:0", 0},   {"status:0", 3},     {"configure:0:30:2", 0}, {"stop:0", 0},
      {"start:-1", 1}, {"status:1", 4}};  // status 0xFE: bit 0 clear, bit 1 set
  for (auto [call, result] : results) EXPECT_EQ(result, run.Result(call)) << call;

  // Reset under configuration 0, adoption under 1 with interface 0, then only what was asked.
  ASSERT_GE(run.record.size(), 4u);
  EXPECT_EQ((Lines{"board=0 SETCONFIGURATION 0 -> 0", "board=0 RESET -> 0",
                   "board=0 SETCONFIGURATION 1 -> 0", "board=0 CLAIMINTERFACE 0 -> 0"}),
            Lines(run.record.begin(), run.record.begin() + 4));
  const std::string status =
      "board=0 CONTROL c0 66 value=0 index=0 length=1 timeout=500 -> 1 data=FE";
  EXPECT_EQ(
      (Lines{"board=0 CONTROL c0 33 value=0 index=0 length=1 timeout=500 -> 1 data=58",
             "board=0 CONTROL c0 32 value=0 index=0 length=128 timeout=500 -> 128 data=0103"
             "0039300000000000000000000002" +
                 std::string(2 * 112, '0'),
             "board=0 CONTROL 40 64 value=0 index=0 length=0 timeout=500 -> 0", status, status,
             "board=0 CONTROL 40 67 value=0 index=0 length=2 timeout=500 -> 2 data=1E02",
             "board=0 CONTROL 40 65 value=0 index=0 length=0 timeout=500 -> 0", status}),
      run.With(" CONTROL "));
  // Unloading releases the claim, then deconfigures: usbfs refuses the other order with EBUSY.
  EXPECT_EQ((Lines{"board=0 RELEASEINTERFACE 0 -> 0", "board=0 SETCONFIGURATION 0 -> 0"}),
            Lines(run.record.end() - 2, run.record.end()));
  EXPECT_EQ(
      (Lines{"I Sentrel library starting...", "I SNL Device [12345] - Type [0][3], max links:2",
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
  ASSERT_EQ(0, run.exitStatus) << ::testing::PrintToString(run.output);
  EXPECT_EQ(2, run.Result("count"));
  // In port order, whatever order the device nodes are listed in.
  EXPECT_EQ(2121, run.Result("serial:0"));
  EXPECT_EQ(4242, run.Result("serial:1"));
  EXPECT_EQ(Lines{}, run.With("board=1 ")) << "foreign devices untouched";
  EXPECT_EQ(Lines{}, run.With("board=2 "));
  Lines log = LogLines();
  std::sort(log.begin(), log.end());
  EXPECT_EQ(
      (Lines{"E SNLUSB device VPD read error", "I SNL Device [2121] - Type [0][0], max links:2",
             "I SNL Device [4242] - Type [0][0], max links:2", "I Sentrel library starting...",
             "N Error checking snlusb firmware", "N Error checking snlusb firmware",
             "N Error establishing interface connection with snlusb device",
             "N Error setting configuration of snlusb device"}),
      log);
  EXPECT_EQ(1u,
            run.With("board=7 CONTROL c0 33 value=0 index=0 length=1 timeout=500 -> -110").size());
}

TEST(Emulated, ACHostLoadsAndUnloadsTheLibraryRepeatedly) {
  SNL_REQUIRE_ISOLATION();
  // Under LeakSanitizer, each cycle's exit check also proves that an unload leaves nothing
  // behind but what the library keeps on purpose.
  SimRun run = SimulateCommand("[board]\n", SNL_DLCYCLE_PATH " " SNL_SHIPPED_LIBRARY " 2");
  ASSERT_EQ(0, run.exitStatus);
  EXPECT_EQ((Lines{"cycle 1: 1 boards, unloaded", "cycle 2: 1 boards, unloaded"}), run.output);
  // Each cycle found the board anew and released it at its end.
  Lines expected;
  for (int cycle = 0; cycle < 2; ++cycle)
    expected.insert(expected.end(),
                    {"board=0 SETCONFIGURATION 0 -> 0", "board=0 RESET -> 0",
                     "board=0 SETCONFIGURATION 1 -> 0", "board=0 CLAIMINTERFACE 0 -> 0",
                     "board=0 RELEASEINTERFACE 0 -> 0", "board=0 SETCONFIGURATION 0 -> 0"});
  EXPECT_EQ(expected, run.With(" CONTROL ", false));

  // A configuration reload thread still running at dlclose: the unload waits for it instead of
  // unmapping the code under it.
  SimRun reloading =
      SimulateCommand("[board]\n", SNL_DLCYCLE_PATH " " SNL_SHIPPED_LIBRARY " 1 reload");
  EXPECT_EQ(0, reloading.exitStatus);
  EXPECT_EQ(Lines{"cycle 1: 1 boards, unloaded"}, reloading.output);

  // At-fork handlers added through the library run while it is loaded, and a fork after the
  // unload runs none (they went with the library) instead of jumping into unmapped code.
  SimRun forking = SimulateCommand("[board]\n", SNL_DLCYCLE_PATH " " SNL_SHIPPED_LIBRARY " 2 fork");
  EXPECT_EQ(0, forking.exitStatus);
  EXPECT_EQ((Lines{"fork: loaded 1, unloaded 0", "cycle 1: 1 boards, unloaded",
                   "fork: loaded 1, unloaded 0", "cycle 2: 1 boards, unloaded"}),
            forking.output);
}

// The same C host with remote logging, a reload thread started in each cycle (its record in the
// running log keeps the log manager alive to the end): unloading stops every thread of the log
// client before the code goes (the flush thread used to run on in unmapped code), what the
// library logged reaches the server first, and the next load logs remotely again, on a
// connection of its own.
TEST(Emulated, ACHostUnloadsTheLibraryWhileItLogsRemotely) {
  SNL_REQUIRE_ISOLATION();
  snltest::RecordingLogServer server;
  std::filesystem::create_directories("/etc/tolma/config");
  std::ofstream("/etc/tolma/config/klog.cfg")
      << "RemoteLogHost=127.0.0.1\nRemoteLogPort=" << server.Port() << "\n";
  SimRun run = SimulateCommand("[board]\n", SNL_DLCYCLE_PATH " " SNL_SHIPPED_LIBRARY " 2 reload");
  ASSERT_EQ(0, run.exitStatus);
  EXPECT_EQ((Lines{"cycle 1: 1 boards, unloaded", "cycle 2: 1 boards, unloaded"}), run.output);
  EXPECT_EQ(2, server.Connections());
  Lines starts;
  for (const auto& [name, text] : server.Records())
    if (text.find("| Sentrel library starting...") != std::string::npos) starts.push_back(name);
  EXPECT_EQ((Lines{"snl", "snl"}), starts);
  EXPECT_FALSE(std::filesystem::exists("/var/log/tolma/snl.log"));
}

// A second process loading the library while a first one holds the board must not reset it:
// usbfs refuses the second one's deconfiguration (EBUSY), so it leaves the board alone, and the
// first one's handle keeps working.
TEST(Emulated, ASecondLoadLeavesABoardClaimedByAnotherProcessAlone) {
  SNL_REQUIRE_ISOLATION();
  const std::string probe = snltest::SimProgram(SNL_PROBE_PATH " " SNL_SHIPPED_LIBRARY);
  SimRun run = SimulateCommand(
      "[board]\n",
      "env -u LD_PRELOAD sh -c '" + probe + " count await:$D/done ping:0 >$D/1 & "
          "until grep -qs count= $D/1; do sleep 0.1; done; " + probe +
          " count ping:0; touch $D/done; wait; cat $D/1'");
  ASSERT_EQ(0, run.exitStatus);
  Lines out;  // the second probe's results, then the first's
  std::copy_if(run.output.begin(), run.output.end(), std::back_inserter(out),
               [](const std::string& l) { return l.rfind("load_ms=", 0) != 0; });
  EXPECT_EQ((Lines{"count=0", "ping:0=1", "count=1", "await", "ping:0=0"}), out);
  EXPECT_EQ(1, std::count(run.record.begin(), run.record.end(), "board=0 RESET -> 0"));
  EXPECT_EQ(1, std::count(run.record.begin(), run.record.end(),
                          "board=0 SETCONFIGURATION 0 -> -16"));
}

// SNL_BOARDS names boards by their index in port order; the others are never opened, and the
// named ones are numbered from 0. A value that names no index uses no board at all.
TEST(Emulated, SnlBoardsOpensTheNamedBoardsAlone) {
  SNL_REQUIRE_ISOLATION();
  const std::string three = "[board]\nserial = 1\n[board]\nserial = 2\n[board]\nserial = 3\n";
  SimRun run = Simulate(three, "count serial:0 serial:1 unload", "SNL_BOARDS=2,0");
  ASSERT_EQ(0, run.exitStatus) << ::testing::PrintToString(run.output);
  EXPECT_EQ(2, run.Result("count"));
  EXPECT_EQ(1, run.Result("serial:0"));
  EXPECT_EQ(3, run.Result("serial:1"));
  EXPECT_EQ(Lines{}, run.With("board=1 ")) << "the board not named was never opened";
  EXPECT_EQ(2u, run.With(" RESET -> 0").size());

  // Set but empty is a mistake too; whoever sets the variable cannot forge or flood log lines.
  for (const char* value : {"0,x", "", "\"$(printf '1\\nE|forged')\"", "$(seq -s, 0 999),x"}) {
    SimRun bad = Simulate(three, "count", std::string("SNL_BOARDS=") + value);
    EXPECT_EQ(0, bad.Result("count")) << value;
    EXPECT_EQ(Lines{}, bad.record) << value;
  }
  const std::string refused = " is not a list of board indexes: no board is used";
  const Lines log = LogLines();
  for (const std::string shown : {"0,x", "", "1?E|forged",
                                  "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24..."})
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "E SNL_BOARDS=\"" + shown + "\"" + refused))
        << shown;
  EXPECT_EQ(Lines{}, Output("grep '^E|forged' /var/log/tolma/snl.log"));
}

#endif  // SNLSIM_PATH

}  // namespace
