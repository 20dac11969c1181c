#include "DOdudo/KLogMessage.h"

#include <stdexcept>

#include "DOdudo/LB9/Basics/KBuffer.h"

namespace dodudo {

KLogMessage::~KLogMessage() = default;

void KLogMessage::Serialize(KSerializer& serializer) { serializer& name& text; }

KReloadMessage::~KReloadMessage() = default;

void KReloadMessage::Serialize(KSerializer& serializer) {
  serializer& type;
  if (type == kLogFilter) filter.Serialize(serializer);
}

KLogFilter& KReloadMessage::GetLogFilter() {
  if (type != kLogFilter) throw KTemplateException<KType>("%s: Invalid type here.", "GetLogFilter");
  return filter;
}

void KReloadMessage::Decode(const void* data, unsigned int size) {
  KBufferDeserializer reader(data, size);
  Serialize(reader);
  if (reader.Remaining() != 0) {
    throw std::runtime_error(
        fstring("Malformed reload record: %u bytes left over of %u", reader.Remaining(), size));
  }
}

}  // namespace dodudo
