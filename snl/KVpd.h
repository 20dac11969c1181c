#pragma once

#include <cstdint>

#include "snl/SNLKVAInternal.h"

// One vital product data (VPD) image parsed into its eight named fields. The layout (image size,
// host-appended extra bytes, offset of the field block and of the identifier word) is chosen by
// the device type; any other type is refused by the constructor with a KBaseException.
//
// The record owns every array it allocates and frees them in its destructor; it is not copyable
// and is meant to live for one operation (construct, load, read or patch, destroy). It holds no
// lock: one thread at a time. Nothing validates an image's content: a corrupt image shows up only
// as a checksum mismatch.
class KVpd {
 public:
  static constexpr int kFieldCount = 8;
  static constexpr unsigned int kMaxNameLength = 255;

  KVpd(KVPD_Device_Type type, void* context);
  ~KVpd();
  KVpd(const KVpd&) = delete;
  KVpd& operator=(const KVpd&) = delete;

  void RegisterField(const char* name, unsigned int size, int index);
  // Index of the field called name (exact match); throws KBaseException when there is none.
  int FieldIndex(const char* name);
  void CleanInfo();
  // Parses GetEepromSize() bytes of image; a legacy "TOLMA" image is converted on the way.
  void LoadFromBuffer(unsigned char* image);
  void UpdateBoardInfo();
  // Writes the fields back into image at the field block offset; does nothing for an image
  // whose identifier word is 0. The stored checksum is written as it is, not recomputed.
  void UpdateBuffer(void* image);
  void SetResInfo(unsigned char* resources, unsigned char* channelCounts);
  void SetBoardInfo(unsigned char vpdVersion, unsigned char boardVersion, unsigned char boardType,
                    unsigned char boardSubtype, unsigned short serial, unsigned char year,
                    unsigned int securityNumber);
  // Count byte of link group index; 0 for index 8 or more.
  int GetChannelCount(unsigned char index);
  unsigned int GetEepromSize() const { return eepromSize_; }
  unsigned int GetDiffEepromSize() const { return diffEepromSize_; }
  unsigned int GetCheckSum();
  unsigned int GetCheckSumEeprom();
  unsigned int GetResources();
  // Writing an image back to a board is not offered: always returns 4.
  int Save(unsigned char* buffer, unsigned int size, unsigned int* written);

  unsigned char VpdVersion() const { return vpdVersion_; }
  unsigned char Year() const { return year_; }
  unsigned char BoardType() const { return boardType_; }
  unsigned char BoardVersion() const { return boardVersion_; }
  unsigned char BoardSubType() const { return boardSubtype_; }
  unsigned short Serial() const { return serial_; }
  unsigned int SecurityNumber() const { return securityNumber_; }
  unsigned int IdentifierWord() const { return identifierWord_; }

 private:
  struct Field {
    char name[kMaxNameLength + 1];
    unsigned char* data;
    unsigned int size;
  };

  void Release();
  bool IsLegacyImage(const unsigned char* block) const;
  void LoadLegacy(const unsigned char* block);
  void StoreLE(const char* field, uint32_t value);
  uint32_t ReadLE(const char* field);

  unsigned int eepromSize_;
  unsigned int diffEepromSize_;
  unsigned int blockOffset_;
  int fieldCount_;
  Field* fields_;
  unsigned char* channelCounts_;
  unsigned char* image_;
  unsigned int idWordOffset_;
  void* context_;
  KVPD_Device_Type type_;
  unsigned char vpdVersion_ = 0;
  unsigned char year_ = 0;
  unsigned char boardType_ = 0;
  unsigned char boardVersion_ = 0;
  unsigned char boardSubtype_ = 0;
  unsigned short serial_ = 0;
  unsigned int securityNumber_ = 0;
  unsigned int identifierWord_ = 0;
};
