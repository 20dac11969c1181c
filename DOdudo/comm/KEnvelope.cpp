#include "DOdudo/comm/KEnvelope.h"

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KBaseException.h"

namespace comm {

namespace {
constexpr const char* kOrigin = "DOdudo/comm/KEnvelope";
constexpr uint8_t kSyncBit = 0x80;
constexpr unsigned int kHeaderSize = 17;  // p, module byte, c, g, i and the payload length
}  // namespace

std::atomic<uint16_t> KEnvelope::_PacketIdSeed{0};

uint16_t KEnvelope::NextPacketId() {
  // fetch_add wraps like the unsigned 16-bit counter it replaces: ... 65535, 0, 1 ...
  return static_cast<uint16_t>(_PacketIdSeed.fetch_add(1, std::memory_order_relaxed) + 1);
}

KEnvelope::KEnvelope() : KEnvelope(0, 0) {}

KEnvelope::KEnvelope(uint8_t module, uint16_t code, int32_t g, int32_t i)
    : p_(NextPacketId()),
      m_(module & 0x7F),
      c_(code),
      g_(g),
      i_(i),
      answered_(false),
      sync_(false) {}

KEnvelope::KEnvelope(uint8_t module, uint16_t code, int32_t g, int32_t i,
                     const dodudo::KSerializable& payload)
    : KEnvelope(module, code, g, i) {
  SetPayload(payload);
}

KEnvelope::KEnvelope(const KEnvelope& other)
    : dodudo::KSerializable(other),
      p_(other.p_),
      m_(other.m_),
      c_(other.c_),
      g_(other.g_),
      i_(other.i_),
      payload_(other.payload_),
      answered_(other.answered_),
      sync_(other.sync_) {}

KEnvelope& KEnvelope::operator=(const KEnvelope& other) {
  if (this == &other) return *this;
  dodudo::KSerializable::operator=(other);
  p_ = other.p_;
  m_ = other.m_;
  c_ = other.c_;
  g_ = other.g_;
  i_ = other.i_;
  payload_ = other.payload_;
  answered_ = other.answered_;
  sync_ = other.sync_;
  return *this;
}

KEnvelope::~KEnvelope() = default;

void KEnvelope::Serialize(dodudo::KSerializer& serializer) {
  if (serializer.In()) {
    Read(serializer);
    return;
  }
  uint8_t moduleByte = static_cast<uint8_t>((m_ & 0x7F) | (sync_ ? kSyncBit : 0));
  if (sync_) SetSendPromptly(true);
  serializer& p_& moduleByte& c_& g_& i_& payload_;
}

void KEnvelope::Read(dodudo::KSerializer& serializer) {
  // The header and the payload length in one read, then the payload in one more: a socket
  // receiver reads the stream straight through the serialiser, one call per read.
  unsigned char header[kHeaderSize];
  serializer.Serialize(header, kHeaderSize);
  dodudo::KBufferDeserializer fields(header, kHeaderSize);
  uint16_t p = 0, c = 0;
  uint8_t moduleByte = 0;
  int32_t g = 0, i = 0;
  uint32_t size = 0;
  fields& p& moduleByte& c& g& i& size;
  if (size > dodudo::KMAX_BUFFER_SIZE)
    throw dodudo::KException("DOdudo/LB9/Basics/KBuffer", __LINE__,
                             "Maximum buffer size of %d exceeded (%d)",
                             static_cast<int>(dodudo::KMAX_BUFFER_SIZE), static_cast<int>(size));
  dodudo::KBufferHolder payload(size);
  if (size != 0) serializer.Serialize(payload.Data(), size);
  p_ = p;
  m_ = moduleByte & 0x7F;
  if (moduleByte & kSyncBit) sync_ = true;
  c_ = c;
  g_ = g;
  i_ = i;
  payload_ = payload;
}

void KEnvelope::Reset() {
  p_ = NextPacketId();
  m_ = 0;
  c_ = 0;
  g_ = -1;
  i_ = -1;
  answered_ = false;
  sync_ = false;
  SetSendPromptly(false);
  payload_ = dodudo::KBufferHolder();
}

void KEnvelope::SetPayload(const dodudo::KSerializable& object) {
  unsigned int size = dodudo::KSerialSizeCalculator::Measure(object);
  if (size > dodudo::KMAX_BUFFER_SIZE)
    throw dodudo::KException(kOrigin, __LINE__, "Maximum buffer size of %d exceeded (%d)",
                             static_cast<int>(dodudo::KMAX_BUFFER_SIZE), static_cast<int>(size));
  payload_.Store(object);
}

void KEnvelope::GetPayload(dodudo::KSerializable& object) const { payload_.Load(object); }

dodudo::kstring KEnvelope::Description() const {
  return dodudo::fstring("ENV(p%d,m%d,c%d,g%d,i%d sz=%d)", p_, m_, c_, g_, i_,
                         static_cast<int>(payload_.Size()));
}

KResultMsg::~KResultMsg() = default;

}  // namespace comm
