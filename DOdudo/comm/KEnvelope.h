#pragma once

#include <atomic>
#include <cstdint>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

namespace comm {

// The unit of the comm protocol: a 17-byte header and an opaque payload holding another
// serialised object.
//
//   offset 0  p   packet id, 16 bits
//          2  m   module (bits 0..6); bit 7 set when the sender waits for a reply
//          3  c   message number within the module, 16 bits
//          5  g   first argument (result code in a reply), 32 bits, -1 when unused
//          9  i   second argument (packet id of the request in a reply), 32 bits, -1 when unused
//         13  N   payload length, 32 bits, at most 8096
//         17      N payload bytes
//
// Every envelope built takes the next id of a process-wide counter: 1, 2, 3 ... 65535, 0, 1 ...
// The counter is atomic; an envelope itself is not thread-safe.
class DODUDO_API KEnvelope : public dodudo::KSerializable {
 public:
  // Module 0, code 0, g and i -1, empty payload, flags clear.
  KEnvelope();
  KEnvelope(uint8_t module, uint16_t code, int32_t g = -1, int32_t i = -1);
  // The payload is payload's encoding; more than 8096 bytes throw dodudo::KException
  // "Maximum buffer size of %d exceeded (%d)", since no peer would accept the envelope.
  KEnvelope(uint8_t module, uint16_t code, int32_t g, int32_t i,
            const dodudo::KSerializable& payload);
  // Copies keep the packet id, the header, both flags and the payload.
  KEnvelope(const KEnvelope& other);
  KEnvelope& operator=(const KEnvelope& other);
  ~KEnvelope() override;

  // Writing sets the send-promptly hint when the sync flag is set. Reading a payload above
  // 8096 bytes throws dodudo::KException; a failed read leaves the envelope as it was.
  void Serialize(dodudo::KSerializer& serializer) override;

  // Takes the next id of the counter: a request sent again must not match the late reply to its
  // earlier send.
  void Renumber() { p_ = NextPacketId(); }
  // A blank envelope again: a new packet id, module 0, code 0, g and i -1, flags clear, no payload.
  void Reset();
  // Same limit as the constructor.
  void SetPayload(const dodudo::KSerializable& object);
  // Reads object from the payload; a payload too short for it throws dodudo::KException.
  void GetPayload(dodudo::KSerializable& object) const;

  // "ENV(p%d,m%d,c%d,g%d,i%d sz=%d)": how messages name an envelope.
  dodudo::kstring Description() const;

  uint16_t GetPacketId() const { return p_; }
  uint8_t GetModule() const { return m_; }
  uint16_t GetCode() const { return c_; }
  int32_t GetG() const { return g_; }
  int32_t GetI() const { return i_; }
  void SetModule(uint8_t module) { m_ = module & 0x7F; }
  void SetCode(uint16_t code) { c_ = code; }
  void SetG(int32_t g) { g_ = g; }
  void SetI(int32_t i) { i_ = i; }
  const dodudo::KBufferHolder& Payload() const { return payload_; }
  dodudo::KBufferHolder& Payload() { return payload_; }
  bool IsSync() const { return sync_; }
  void SetSync(bool on) { sync_ = on; }
  bool IsAnswered() const { return answered_; }
  void SetAnswered(bool on) { answered_ = on; }

  // The next packet id of the process-wide counter.
  static uint16_t NextPacketId();

  static std::atomic<uint16_t> _PacketIdSeed;

 private:
  void Read(dodudo::KSerializer& serializer);

  uint16_t p_;
  uint8_t m_;
  uint16_t c_;
  int32_t g_;
  int32_t i_;
  dodudo::KBufferHolder payload_;
  bool answered_;
  bool sync_;
};

// The slot a reply lands in: an envelope with a flag that says a reply has arrived in it.
// Serialises exactly as an envelope.
class DODUDO_API KResultMsg : public KEnvelope {
 public:
  KResultMsg() = default;
  KResultMsg(const KResultMsg&) = default;
  KResultMsg& operator=(const KResultMsg&) = default;
  ~KResultMsg() override;

  // Takes the envelope and marks the slot as holding a reply.
  void Receive(const KEnvelope& reply) {
    KEnvelope::operator=(reply);
    received_ = true;
  }
  // A blank envelope with a new packet id and the received flag clear.
  void Clear() {
    Reset();
    received_ = false;
  }
  bool IsReceived() const { return received_; }
  void SetReceived(bool on) { received_ = on; }

 private:
  bool received_ = false;
};

}  // namespace comm
