#include "DOdudo/KRemoteLogSpecs.h"

#include "DOdudo/KLogPlatform.h"
#include "DOdudo/config/KConfigReader.h"

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
    klogdetail::AppendFormat(path, "%s/config/klog.cfg", KHostSystem::GetWorkDirectory());
    KConfigReader reader;
    reader.LoadFile(path.c_str(), false);
    port_ = static_cast<uint16_t>(reader.GetInteger("RemoteLogPort"));
    host_ = reader.GetString("RemoteLogHost");
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
