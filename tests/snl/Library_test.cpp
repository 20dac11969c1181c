// The shipped shape of the library: what it exports, and the C interface over a whole
// load/unload cycle (the library built against the fake libusb, loaded with dlopen).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "FakeUsb.h"
#include "LogLines.h"
#include "UsbBoards.h"
#include "support/TestIsolation.h"

using snltest::LogLines;
using Lines = std::vector<std::string>;

namespace {

std::set<std::string> DynamicSymbols(const char* library) {
  std::set<std::string> out;
  std::string command = std::string("nm -D --defined-only ") + library + " | c++filt";
  FILE* pipe = popen(command.c_str(), "r");
  char line[1024];
  while (pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr) {
    std::string s(line);
    s.erase(s.find_last_not_of("\n") + 1);
    std::string::size_type space = s.find(' ', s.find(' ') + 1);  // "<addr> <kind> <name>"
    if (space != std::string::npos) out.insert(s.substr(space + 1));
  }
  if (pipe != nullptr) pclose(pipe);
  return out;
}

TEST(Exports, TheCInterfaceAndTheVpdAccessorsAndNoInternals) {
  auto symbols = DynamicSymbols(SNL_SHIPPED_LIBRARY);
  for (const char* name :
       {"snlDevCount", "snlDevSerial", "snlDevLinks", "snlStartWatch", "snlStopWatch",
        "snlPingWatch", "snlStatus", "snlConfigure", "snlDebugLog", "StartIntrKVA()",
        "SNLKVAInternal::kva2GetInternalSize(KVPD_Device_Type)",
        "SNLKVAInternal::kva2GetDiffExtraSize(KVPD_Device_Type)",
        "SNLKVAInternal::kva2GetVer(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetBoardType(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetBoardSubType(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetBoardVersion(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetSerial(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetYear(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetSecNum(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetChannelCount(KVPD_Device_Type, unsigned char*, unsigned char)",
        "SNLKVAInternal::kva2GetLinkCount(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetCheck(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2GetResources(KVPD_Device_Type, unsigned char*)",
        "SNLKVAInternal::kva2MaskResources(KVPD_Device_Type, unsigned char*, unsigned char*, "
        "unsigned char*)"})
    EXPECT_EQ(1u, symbols.count(name)) << name;
  for (const std::string& s : symbols) {
    for (const char* internal : {"SentrelController", "SNLDevice", "KVpd", "SNLControl",
                                 "LocalLock", "snlusb", "_kvaMutex"})
      EXPECT_EQ(std::string::npos, s.find(internal)) << s;
    if (s.rfind("snl", 0) == 0) {
      EXPECT_EQ(std::string::npos, s.find('(')) << "C linkage: " << s;
    }
  }
  EXPECT_EQ(0, system("readelf -d " SNL_SHIPPED_LIBRARY " | grep -q 'SONAME.*libsnl.so.1'"));
  EXPECT_EQ(0, system("readelf -d " SNL_SHIPPED_LIBRARY " | grep -q 'NEEDED.*libusb-0.1'"));
}

// The exported functions of one loaded copy of the library.
struct CInterface {
  void* lib = nullptr;
  int (*count)() = nullptr;
  int (*serial)(int) = nullptr;
  int (*links)(int) = nullptr;
  int (*start)(int) = nullptr;
  int (*stop)(int) = nullptr;
  int (*ping)(int) = nullptr;
  int (*status)(int) = nullptr;
  int (*configure)(int, unsigned char, unsigned char) = nullptr;
  void (*debug)(unsigned char) = nullptr;

  template <typename F>
  void Bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(dlsym(lib, name));
    ASSERT_NE(nullptr, reinterpret_cast<void*>(fn)) << name;
  }
  void Load() {
    lib = dlopen(SNL_FAKEUSB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, lib) << dlerror();
    Bind(count, "snlDevCount");
    Bind(serial, "snlDevSerial");
    Bind(links, "snlDevLinks");
    Bind(start, "snlStartWatch");
    Bind(stop, "snlStopWatch");
    Bind(ping, "snlPingWatch");
    Bind(status, "snlStatus");
    Bind(configure, "snlConfigure");
    Bind(debug, "snlDebugLog");
  }
  void Unload() {
    ASSERT_EQ(0, dlclose(lib));
    lib = nullptr;
  }
};

TEST(CInterface, WithoutBoardsEveryIndexFailsSilently) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Reset();
  CInterface snl;
  ASSERT_NO_FATAL_FAILURE(snl.Load());
  snl.debug(1);
  EXPECT_EQ(0, snl.count());
  for (int i : {0, -1, 1}) {
    EXPECT_EQ(4, snl.status(i));
    EXPECT_EQ(1, snl.start(i));
    EXPECT_EQ(1, snl.stop(i));
    EXPECT_EQ(1, snl.ping(i));
    EXPECT_EQ(1, snl.configure(i, 30, 2));
    EXPECT_EQ(0, snl.serial(i));
    EXPECT_EQ(0, snl.links(i));
  }
  snl.Unload();
  EXPECT_TRUE(fakeusb::Get().transfers.empty());
  EXPECT_EQ((Lines{"I Sentrel library starting...", "N No snlusb devices found",
                   "I \tNo devices found"}),
            LogLines());
}

TEST(CInterface, LoadCommandAndUnload) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Reset();
  fakeusb::Get().boards = {snltest::Board(777, 4)};
  CInterface snl;
  ASSERT_NO_FATAL_FAILURE(snl.Load());
  ASSERT_EQ(1, snl.count());
  EXPECT_EQ(777, snl.serial(0));
  EXPECT_EQ(4, snl.links(0));
  snl.debug(1);
  EXPECT_EQ(0, snl.status(0));
  snl.debug(0);
  EXPECT_EQ(0, snl.configure(0, 30, 2));
  EXPECT_EQ(1, snl.configure(1, 30, 2));
  EXPECT_EQ(1, fakeusb::Get().openHandles);
  fakeusb::Get().calls.clear();
  const size_t transfers = fakeusb::Get().transfers.size();
  snl.Unload();
  EXPECT_EQ((Lines{"set_configuration 0 0", "close 0"}), fakeusb::Get().calls)
      << "unloading deconfigures and closes the board, and sends no stop";
  EXPECT_EQ(transfers, fakeusb::Get().transfers.size());
  EXPECT_EQ(0, fakeusb::Get().openHandles);
  EXPECT_EQ((Lines{"I Sentrel library starting...", "I SNL Device [777] - Type [0][0], max links:4",
                   "I Device 0, GetStatus CMD sent, return: 1"}),
            LogLines());
}

}  // namespace
