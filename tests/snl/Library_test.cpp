// The shipped shape of the library: what it exports and what it links.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>


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
        "SNLKVAInternal::kva2GetChannelCount(KVPD_Device_Type, unsigned char*, unsigned char)",
        "SNLKVAInternal::kva2MaskResources(KVPD_Device_Type, unsigned char*, unsigned char*, "
        "unsigned char*)"})
    EXPECT_EQ(1u, symbols.count(name)) << name;
  const auto accessors = std::count_if(symbols.begin(), symbols.end(), [](const std::string& s) {
    return s.rfind("SNLKVAInternal::kva2", 0) == 0;
  });
  EXPECT_EQ(14, accessors);
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

}  // namespace
