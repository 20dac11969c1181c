// A comm envelope read from arbitrary bytes, then its payload decoded the way the receiving side
// decodes each COMM message (hello, identity text, error text, broadcast flag), and its trace
// text built. Either a documented refusal, or an envelope that encodes back to exactly the bytes
// it was read from.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KEnvelope.h"
#include "DOdudo/comm/KHelloMsg.h"
#include "DOdudo/host/KBaseException.h"

namespace {

void DecodePayload(const comm::KEnvelope& envelope) {
  try {
    switch (envelope.GetCode()) {
      case comm::COMM_HELLOV2: {
        comm::KHelloMsg hello;
        envelope.GetPayload(hello);
        if (std::strlen(hello.ServiceName()) == 0) abort();
        break;
      }
      case comm::COMM_REQ_BROADCASTS: {
        dodudo::KPlainData<bool> flag;
        envelope.GetPayload(flag);
        break;
      }
      default: {
        dodudo::kstring text;
        envelope.GetPayload(text);
        if (text.size() + 5 > envelope.Payload().Size()) abort();
        break;
      }
    }
  } catch (const dodudo::KException&) {
  } catch (const std::runtime_error&) {
  } catch (const std::length_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool registered = comm::KCommChannel::RegisterMessageStrings(
      1, "COMM  ", 12, comm::MessageIdStringsComm, 12, comm::MessageIdStringsComm);
  (void)registered;
  comm::KEnvelope envelope;
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    envelope.Serialize(reader);
  } catch (const dodudo::KException&) {
    return 0;
  }
  if (envelope.GetModule() > 127) abort();
  if (envelope.Payload().Size() > dodudo::KMAX_BUFFER_SIZE) abort();
  unsigned int consumed = reader.Consumed();
  if (consumed != 17 + envelope.Payload().Size()) abort();
  dodudo::KBufferHolder again;
  again.Store(envelope);
  if (again.Size() != consumed || std::memcmp(again.Data(), data, consumed) != 0) abort();

  if (envelope.GetModule() == comm::COMM_MODULE) DecodePayload(envelope);
  dodudo::kstring trace = comm::KCommChannel::Verbose(false, envelope);
  if (trace.compare(0, 4, "RX< ") != 0) abort();
  if (envelope.Description().empty()) abort();
  return 0;
}
