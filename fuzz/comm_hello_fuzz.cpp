// A hello read from arbitrary bytes: refused when shorter than 16 bytes, otherwise its four
// fields encode back to the first 16 bytes and its service has a name.
#include <cstdlib>
#include <cstring>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/comm/KHelloMsg.h"
#include "DOdudo/host/KBaseException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  comm::KHelloMsg hello;
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    hello.Serialize(reader);
  } catch (const dodudo::KException&) {
    if (size >= 16) abort();
    return 0;
  }
  if (reader.Consumed() != 16) abort();
  dodudo::KBufferHolder again;
  again.Store(hello);
  if (again.Size() != 16 || std::memcmp(again.Data(), data, 16) != 0) abort();
  const char* name = hello.ServiceName();
  bool known = hello.ServiceId == 0x5A374D53 || hello.ServiceId == 0x44565850 ||
               hello.ServiceId == 0x54564D48 || hello.ServiceId == 0x5A374D20;
  if (known == (std::strcmp(name, "unknown") == 0)) abort();
  return 0;
}
