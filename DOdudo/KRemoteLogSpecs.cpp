#include "DOdudo/KRemoteLogSpecs.h"

#include <cstdlib>

#include "DOdudo/KLogConfigReader.h"
#include "DOdudo/KLogPlatform.h"

namespace dodudo {

KRemoteLogSpecs& KRemoteLogSpecs::Instance() {
  static KRemoteLogSpecs instance;
  return instance;
}

void KRemoteLogSpecs::LoadValues() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!needsLoad_) return;
  try {
    std::string path;
    klogdetail::AppendFormat(path, "%s/config/klog.cfg", klogdetail::WorkDirectory());
    KLogConfigReader reader;
    reader.LoadFile(path.c_str(), false);
    const std::string& portText = reader.Search("RemoteLogPort").value;
    char* end = nullptr;
    long port = strtol(portText.c_str(), &end, 10);
    if (end == portText.c_str() || std::string(end) == "@") return;  // not a number / undefined
    port_ = static_cast<uint16_t>(port);
    host_ = reader.Search("RemoteLogHost").value;
    needsLoad_ = false;
  } catch (...) {
    // No file or no keys: no remote logging for now; the next call reads again.
  }
}

std::string KRemoteLogSpecs::Host() const {
  std::lock_guard<std::mutex> guard(lock_);
  return host_;
}

uint16_t KRemoteLogSpecs::Port() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_;
}

}  // namespace dodudo
