// A C++ application of the installed library: the C interface plus the VPD accessors, whose
// exception for an invalid type must reach the application across the shared-library boundary.
#include <snl/SNLKVAInternal.h>
#include <snl/snl.h>

#include <cstdio>
#include <exception>

int main() {
  int count = snlDevCount();
  unsigned char image[132] = {};
  image[11] = 0xE9;  // stored checksum of an all-zero field block: 0x0000C0E9
  image[12] = 0xC0;
  bool checkOk = SNLKVAInternal::kva2GetCheck(KVPD_TYPE_22, image);
  bool threw = false;
  try {
    SNLKVAInternal::kva2GetInternalSize(static_cast<KVPD_Device_Type>(3));
  } catch (const std::exception&) {
    threw = true;
  }
  std::printf("c++ consumer: %d boards, checksum %s, invalid type %s\n", count,
              checkOk ? "ok" : "bad", threw ? "refused" : "accepted");
  return checkOk && threw ? 0 : 1;
}
