#pragma once

#include <cstdint>

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace comm {

// What a server says about itself when a client connects: which service it is and its version.
// Four unsigned 32-bit fields, little-endian, 16 bytes.
class DODUDO_API KHelloMsg : public dodudo::KSerializable {
 public:
  // Four ASCII letters, most significant byte first.
  enum KServiceId : uint32_t {
    Z7M_SERVER = 0x5A374D53,  // "Z7MS"
    DVX_SERVER = 0x44565850,  // "DVXP"
    VOIP_MEDIA = 0x54564D48,  // "TVMH"
    Z7M = 0x5A374D20,         // "Z7M "
  };

  KHelloMsg() = default;
  KHelloMsg(KServiceId service, uint32_t major, uint32_t minor, uint32_t build)
      : ServiceId(service), Major(major), Minor(minor), Build(build) {}
  KHelloMsg(const KHelloMsg&) = default;
  KHelloMsg& operator=(const KHelloMsg&) = default;
  ~KHelloMsg() override;

  void Serialize(dodudo::KSerializer& serializer) override;

  // "Z7M Server", "DVX Server", "VoIP Media Handler", "Z7M", or "unknown" for any other value.
  static const char* ServiceName(uint32_t service);
  const char* ServiceName() const { return ServiceName(ServiceId); }

  // Any 32-bit value may arrive from the wire, hence the plain integer.
  uint32_t ServiceId = 0;
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Build = 0;
};

}  // namespace comm
