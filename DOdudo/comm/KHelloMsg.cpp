#include "DOdudo/comm/KHelloMsg.h"

namespace comm {

KHelloMsg::~KHelloMsg() = default;

void KHelloMsg::Serialize(dodudo::KSerializer& serializer) {
  serializer& ServiceId& Major& Minor& Build;
}

const char* KHelloMsg::ServiceName(uint32_t service) {
  switch (service) {
    case Z7M_SERVER:
      return "Z7M Server";
    case DVX_SERVER:
      return "DVX Server";
    case VOIP_MEDIA:
      return "VoIP Media Handler";
    case Z7M:
      return "Z7M";
    default:
      return "unknown";
  }
}

}  // namespace comm
