#include "DOdudo/KLogServerLink.h"

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

namespace {

// Appends the bytes of a record to a string (the serialiser of a batch of frames).
class StringSerializer : public dodudo::KOutSerializer {
 public:
  explicit StringSerializer(std::string& out) : out_(out) {}
  void Serialize(void* data, unsigned int size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

}  // namespace

void KLogServerLink::AppendFrame(std::string& out, dodudo::KSerializable& record) {
  uint32_t count = dodudo::KSerialSizeCalculator::Measure(record);
  StringSerializer writer(out);
  writer & count;
  record.Serialize(writer);
}

struct KLogServerLink::Impl {};

KLogServerLink::KLogServerLink(const std::string&, uint16_t) {
  throw std::runtime_error("no socket channel in this build");
}

KLogServerLink::~KLogServerLink() = default;

bool KLogServerLink::Receive(dodudo::KReloadMessage&) { return false; }

void KLogServerLink::Send(dodudo::KSerializable&) {}

void KLogServerLink::SendBytes(const std::string&) {}

void KLogServerLink::Terminate() {}

void KLogServerLink::Shutdown() {}
