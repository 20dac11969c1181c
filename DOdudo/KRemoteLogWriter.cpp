#include "DOdudo/KRemoteLogWriter.h"

#include "DOdudo/KRemoteLogClient.h"

namespace dodudo {

KRemoteLogWriter::KRemoteLogWriter(const kstring& name, KRemoteLogClient* client)
    : client_(client), pending_(name.c_str(), "") {}

KRemoteLogWriter::~KRemoteLogWriter() {
  klogdetail::Guard guard(lock_);
  if (!pending_.text.empty()) Flush(false);
}

void KRemoteLogWriter::CheckDay(unsigned int) {}

void KRemoteLogWriter::Write(const char* format, va_list args) {
  if (format == nullptr) return;
  // Not kstring's bounded formatting: a log call must never throw because its text is long.
  klogdetail::AppendVFormat(pending_.text, format, args);
}

void KRemoteLogWriter::Flush(bool lazy) {
  klogdetail::Guard guard(lock_);
  client_->SendLog(pending_, lazy);
  written_.store(true, std::memory_order_relaxed);
  pending_.text.clear();
}

kstring KRemoteLogWriter::Name() { return pending_.name; }

}  // namespace dodudo
