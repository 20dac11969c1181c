#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "DOdudo/host/KExport.h"

namespace dodudo {

// Where the log server of remote logging is: "RemoteLogHost" and "RemoteLogPort" of klog.cfg
// (whole-file keys). An empty host means no remote logging. One process-wide instance; the values
// are read until one read succeeds and then kept. Thread-safe; never throws.
class DODUDO_API KRemoteLogSpecs {
 public:
  static KRemoteLogSpecs& Instance();

  // Reads the file while no read has succeeded yet. A missing file, a missing key or a port that
  // is not a number end the call quietly (a port read before the failure stays).
  void LoadValues();

  std::string Host() const;
  uint16_t Port() const;

 private:
  KRemoteLogSpecs() = default;

  mutable std::mutex lock_;
  bool needsLoad_ = true;
  uint16_t port_ = 14110;
  std::string host_;
};

}  // namespace dodudo
