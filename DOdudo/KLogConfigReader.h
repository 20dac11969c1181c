#pragma once

#include "DOdudo/config/KConfigReader.h"
#include "DOdudo/host/KString.h"

// The reader the log filter loads klog.cfg with: a KConfigReader that remembers which section it
// loaded last. Its default-value warnings go nowhere (Warning is not overridden). Used by one
// thread at a time; failures are the KConfigReader exceptions.
class DODUDO_API KLogConfigReader : public KConfigReader {
 public:
  KLogConfigReader() = default;
  ~KLogConfigReader() override;

  void LoadSection(const char* path, const char* section) override;
  const dodudo::kstring& SectionName() const { return section_; }

 private:
  dodudo::kstring section_;
};
