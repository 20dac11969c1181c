#pragma once

#include <cstdint>

#include "DOdudo/KLogFilter.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

namespace dodudo {

// One record to a log server: the writer name a line was logged under and the finished text
// (header, message and line end). On the wire: name, then text, each a kstring (32-bit length
// counting the NUL, the characters, the NUL), framed as every IPC object. The plain log manager
// sends its requests to the local server with the same record: name "0", text "reload" or
// "config_reload". Not thread-safe.
class DODUDO_API KLogMessage : public KSerializable {
 public:
  KLogMessage() = default;
  KLogMessage(const char* name, const char* text) : name(name), text(text) {}
  ~KLogMessage() override;
  void Serialize(KSerializer& serializer) override;

  kstring name;
  kstring text;
};

// One record from a log server: a type (32-bit), and for type 2 the log filter the process must
// apply. Type 1 asks for a reload of every configuration; other types carry nothing.
// Not thread-safe.
class DODUDO_API KReloadMessage : public KSerializable {
 public:
  enum KType : int32_t { kReloadConfigs = 1, kLogFilter = 2 };

  KReloadMessage() = default;
  explicit KReloadMessage(KType type) : type(type) {}
  ~KReloadMessage() override;
  void Serialize(KSerializer& serializer) override;

  KType Type() const { return type; }
  // The filter of a type-2 record; throws KTemplateException<KType> "GetLogFilter: Invalid type
  // here." for any other type.
  KLogFilter& GetLogFilter();

  // Decodes one whole record (the bytes after the frame's count). Throws a std::exception when
  // the bytes end early or when any are left over: a record either parses exactly or not at all.
  void Decode(const void* data, unsigned int size);

 private:
  KType type = kReloadConfigs;
  KLogFilter filter;
};

}  // namespace dodudo
