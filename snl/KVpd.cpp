#include "snl/KVpd.h"

#include <cstring>

#include "DOdudo/host/KBaseException.h"
#include "snl/VpdMessages.h"

namespace {

struct Layout {
  KVPD_Device_Type type;
  unsigned int eepromSize;
  unsigned int diffSize;
  unsigned int blockOffset;
  unsigned int idWordOffset;
};

// Types 8 and 22 live in 128 bytes of board memory; the host appends the 4-byte identifier word.
constexpr Layout kLayouts[] = {
    {KVPD_TYPE_2, 256, 0, 136, 12},
    {KVPD_TYPE_4, 256, 0, 136, 68},
    {KVPD_TYPE_8, 132, 4, 0, 128},
    {KVPD_TYPE_22, 132, 4, 0, 128},
};

struct FieldSpec {
  const char* name;
  unsigned int size;
};

// The field block: these eight fields back to back, 27 bytes, multi-byte values little-endian.
constexpr FieldSpec kFields[KVpd::kFieldCount] = {
    {"VpdVersion", 1}, {"BoardType", 2},        {"SerialNumber", 3},     {"BoardVersion", 1},
    {"CheckDSP", 4},   {"CheckSum", 4},         {"ChannelLinkCount", 8}, {"BoardResources", 4},
};

const Layout& FindLayout(KVPD_Device_Type type) {
  for (const Layout& layout : kLayouts)
    if (layout.type == type) return layout;
  throw KBaseException("%s", snl::kInvalidDeviceTypeMessage);
}

uint32_t GetLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Block offsets of the legacy marker and serial text. Each 16-bit word of the old form has its
// bytes swapped, so "TOLMA" reads T,O,L,M,A from bytes 59,58,61,60,63 and the serial digits, most
// significant first, come from 94,97,96,99,98 (95, the first character, is not used).
constexpr int kLegacyMarker[] = {59, 58, 61, 60, 63};
constexpr int kLegacySerialDigits[] = {94, 97, 96, 99, 98};
constexpr int kLegacyTagOffset = 118;

}  // namespace

KVpd::KVpd(KVPD_Device_Type type, void* context)
    : fieldCount_(kFieldCount),
      fields_(nullptr),
      channelCounts_(nullptr),
      image_(nullptr),
      context_(context),
      type_(type) {
  const Layout& layout = FindLayout(type);
  eepromSize_ = layout.eepromSize;
  diffEepromSize_ = layout.diffSize;
  blockOffset_ = layout.blockOffset;
  idWordOffset_ = layout.idWordOffset;
  try {
    image_ = new unsigned char[eepromSize_]();
    fields_ = new Field[kFieldCount]();
    for (int i = 0; i < kFieldCount; ++i) RegisterField(kFields[i].name, kFields[i].size, i);
    channelCounts_ = fields_[FieldIndex("ChannelLinkCount")].data;
  } catch (...) {
    Release();
    throw;
  }
  CleanInfo();
}

KVpd::~KVpd() { Release(); }

void KVpd::Release() {
  if (fields_ != nullptr) {
    for (int i = 0; i < fieldCount_; ++i) delete[] fields_[i].data;
    delete[] fields_;
    fields_ = nullptr;
  }
  delete[] image_;
  image_ = nullptr;
}

void KVpd::RegisterField(const char* name, unsigned int size, int index) {
  if (index < 0 || index >= fieldCount_ || name == nullptr)
    throw KBaseException("%s", snl::kFieldErrorMessage);
  Field& field = fields_[index];
  strncpy(field.name, name, kMaxNameLength);
  field.name[kMaxNameLength] = '\0';
  delete[] field.data;
  field.data = new unsigned char[size]();
  field.size = size;
}

int KVpd::FieldIndex(const char* name) {
  for (int i = 0; i < fieldCount_; ++i)
    if (name != nullptr && strcmp(fields_[i].name, name) == 0) return i;
  throw KBaseException("%s", snl::kFieldErrorMessage);
}

void KVpd::CleanInfo() {
  for (int i = 0; i < fieldCount_; ++i) memset(fields_[i].data, 0, fields_[i].size);
}

bool KVpd::IsLegacyImage(const unsigned char* block) const {
  static const char kMarker[] = "TOLMA";
  for (int i = 0; i < 5; ++i)
    if (block[kLegacyMarker[i]] != static_cast<unsigned char>(kMarker[i])) return false;
  return block[kLegacyTagOffset] == 0x3C && block[kLegacyTagOffset + 1] == 0x01;
}

void KVpd::LoadLegacy(const unsigned char* block) {
  // Digits are not checked: any byte counts as (byte - '0'), and the sum wraps at 16 bits.
  uint16_t serial = 0;
  for (int offset : kLegacySerialDigits)
    serial = static_cast<uint16_t>(serial * 10 + static_cast<uint16_t>(block[offset] - 0x30));
  CleanInfo();
  memset(image_, 0, eepromSize_);
  StoreLE("SerialNumber", serial);  // the year byte stays 0
  uint16_t boardType = serial == 0 ? 0x0100 : (serial < 110 ? 0x0000 : 0x0001);
  StoreLE("BoardType", boardType);
  channelCounts_[0] = 30;
  channelCounts_[1] = 30;
}

void KVpd::LoadFromBuffer(unsigned char* image) {
  CleanInfo();
  memcpy(image_, image, eepromSize_);
  identifierWord_ = GetLE32(image_ + idWordOffset_);
  const unsigned char* block = image_ + blockOffset_;
  if (IsLegacyImage(block)) {
    LoadLegacy(block);
  } else {
    unsigned int offset = 0;
    for (int i = 0; i < fieldCount_; ++i) {
      memcpy(fields_[i].data, block + offset, fields_[i].size);
      offset += fields_[i].size;
    }
  }
  UpdateBoardInfo();
}

void KVpd::UpdateBoardInfo() {
  try {
    vpdVersion_ = fields_[FieldIndex("VpdVersion")].data[0];
    boardVersion_ = fields_[FieldIndex("BoardVersion")].data[0];
    const unsigned char* serial = fields_[FieldIndex("SerialNumber")].data;
    serial_ = static_cast<unsigned short>(serial[0] | serial[1] << 8);
    year_ = serial[2];
    const unsigned char* type = fields_[FieldIndex("BoardType")].data;
    boardType_ = type[1];
    boardSubtype_ = type[0];
    securityNumber_ = ReadLE("CheckDSP");
  } catch (const KBaseException&) {
    // A missing field leaves the values derived so far.
  }
}

void KVpd::UpdateBuffer(void* image) {
  if (identifierWord_ == 0) return;
  unsigned char* out = static_cast<unsigned char*>(image) + blockOffset_;
  for (int i = 0; i < fieldCount_; ++i) {
    memcpy(out, fields_[i].data, fields_[i].size);
    out += fields_[i].size;
  }
}

void KVpd::SetResInfo(unsigned char* resources, unsigned char* channelCounts) {
  Field& counts = fields_[FieldIndex("ChannelLinkCount")];
  memcpy(counts.data, channelCounts, counts.size);
  Field& res = fields_[FieldIndex("BoardResources")];
  memcpy(res.data, resources, res.size);
}

void KVpd::SetBoardInfo(unsigned char vpdVersion, unsigned char boardVersion,
                        unsigned char boardType, unsigned char boardSubtype, unsigned short serial,
                        unsigned char year, unsigned int securityNumber) {
  fields_[FieldIndex("VpdVersion")].data[0] = vpdVersion;
  fields_[FieldIndex("BoardVersion")].data[0] = boardVersion;
  StoreLE("BoardType", static_cast<uint32_t>(boardType) * 256 + boardSubtype);
  StoreLE("SerialNumber", serial | static_cast<uint32_t>(year) << 16);
  StoreLE("CheckDSP", securityNumber);
}

int KVpd::GetChannelCount(unsigned char index) {
  return index < 8 ? channelCounts_[index] : 0;
}

unsigned int KVpd::GetCheckSum() {
  uint32_t sum = 0xC0E9;
  const int skip = FieldIndex("CheckSum");
  for (int i = 0; i < fieldCount_; ++i) {
    if (i == skip) continue;
    for (unsigned int j = 0; j < fields_[i].size; ++j) {
      const uint32_t b = fields_[i].data[j];
      sum = (sum + b) ^ b;
    }
  }
  return sum;
}

unsigned int KVpd::GetCheckSumEeprom() { return ReadLE("CheckSum"); }

unsigned int KVpd::GetResources() { return ReadLE("BoardResources"); }

int KVpd::Save(unsigned char*, unsigned int, unsigned int*) { return 4; }

// Little-endian store of value into the named field, as many bytes as the field holds (<= 4).
void KVpd::StoreLE(const char* field, uint32_t value) {
  Field& f = fields_[FieldIndex(field)];
  for (unsigned int i = 0; i < f.size && i < 4; ++i) f.data[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t KVpd::ReadLE(const char* field) {
  Field& f = fields_[FieldIndex(field)];
  uint32_t value = 0;
  for (unsigned int i = 0; i < f.size && i < 4; ++i) value |= static_cast<uint32_t>(f.data[i]) << (8 * i);
  return value;
}
