// The exported VPD accessors: each call parses its own record under one process-wide lock.
#include "snl/SNLKVAInternal.h"

#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KInitOrder.h"
#include "snl/KVpd.h"
#include "snl/LocalLock.h"

namespace {

// The process-wide VPD lock and its one owner: created when the library is loaded, before the
// controller that reads VPD images while loading, and deleted when it is unloaded, after the
// controller. An accessor called by a static destructor after that runs unlocked (single-threaded
// by then) rather than on a freed mutex.
void* _kvaMutex = nullptr;

struct KvaLockOwner {
  KvaLockOwner() { _kvaMutex = KHostSystem::CreateLocalMutex(); }
  ~KvaLockOwner() {
    void* mutex = _kvaMutex;
    _kvaMutex = nullptr;
    if (mutex != nullptr) KHostSystem::DeleteLocalMutex(mutex);
  }
  KvaLockOwner(const KvaLockOwner&) = delete;
  KvaLockOwner& operator=(const KvaLockOwner&) = delete;
} kvaLockOwner DODUDO_INIT_TOOLKIT;

// Runs read(record) on a record of type loaded from image, under the VPD lock. The lock is
// released on every path, including the constructor's throw for an invalid type.
template <typename Read>
auto WithRecord(KVPD_Device_Type type, unsigned char* image, Read read) {
  LocalLock guard(_kvaMutex);
  KVpd record(type, nullptr);
  if (image != nullptr) record.LoadFromBuffer(image);
  return read(record);
}

}  // namespace

// The lock exists for the library's whole life (above); creating another here would hand later
// callers a different mutex than the one an earlier caller holds.
void StartIntrKVA() {}

namespace SNLKVAInternal {

unsigned int kva2GetInternalSize(KVPD_Device_Type type) {
  return WithRecord(type, nullptr, [](KVpd& r) { return r.GetEepromSize(); });
}

unsigned int kva2GetDiffExtraSize(KVPD_Device_Type type) {
  return WithRecord(type, nullptr, [](KVpd& r) { return r.GetDiffEepromSize(); });
}

unsigned char kva2GetVer(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.VpdVersion(); });
}

unsigned char kva2GetBoardType(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.BoardType(); });
}

unsigned char kva2GetBoardSubType(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.BoardSubType(); });
}

unsigned char kva2GetBoardVersion(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.BoardVersion(); });
}

unsigned short kva2GetSerial(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.Serial(); });
}

unsigned char kva2GetYear(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.Year(); });
}

unsigned int kva2GetSecNum(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.SecurityNumber(); });
}

unsigned char kva2GetChannelCount(KVPD_Device_Type type, unsigned char* image,
                                  unsigned char group) {
  return WithRecord(type, image, [group](KVpd& r) {
    return static_cast<unsigned char>(r.GetChannelCount(group));
  });
}

int kva2GetLinkCount(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) {
    int links = 0;
    for (unsigned char group = 0; group < 8; ++group)
      if (r.GetChannelCount(group) != 0) ++links;
    return links;
  });
}

bool kva2GetCheck(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.GetCheckSum() == r.GetCheckSumEeprom(); });
}

unsigned int kva2GetResources(KVPD_Device_Type type, unsigned char* image) {
  return WithRecord(type, image, [](KVpd& r) { return r.GetResources(); });
}

void kva2MaskResources(KVPD_Device_Type type, unsigned char* image, unsigned char* resources,
                       unsigned char* channelCounts) {
  WithRecord(type, image, [&](KVpd& r) {
    r.SetResInfo(resources, channelCounts);
    r.UpdateBuffer(image);
  });
}

}  // namespace SNLKVAInternal
