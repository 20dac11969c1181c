#pragma once

#include "DOdudo/host/KExport.h"

// Layouts of the vital product data (VPD) image, selected by device type.
enum KVPD_Device_Type {
  KVPD_TYPE_2 = 2,
  KVPD_TYPE_4 = 4,
  KVPD_TYPE_8 = 8,
  KVPD_TYPE_22 = 22,  // the USB watchdog board
};

// The process-wide lock that serialises the accessors below exists from the library's load to its
// unload; this call, kept for the programs that call it before the accessors, has nothing to do.
DODUDO_API void StartIntrKVA();

// Read single values out of a caller's raw VPD image (image-size bytes of the given type), or
// patch its resource fields. Each call parses its own record under the process-wide VPD lock, so
// any thread may call them. An invalid type throws KBaseException.
namespace SNLKVAInternal {
DODUDO_API unsigned int kva2GetInternalSize(KVPD_Device_Type type);
DODUDO_API unsigned int kva2GetDiffExtraSize(KVPD_Device_Type type);
DODUDO_API unsigned char kva2GetVer(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned char kva2GetBoardType(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned char kva2GetBoardSubType(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned char kva2GetBoardVersion(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned short kva2GetSerial(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned char kva2GetYear(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned int kva2GetSecNum(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned char kva2GetChannelCount(KVPD_Device_Type type, unsigned char* image,
                                             unsigned char group);
DODUDO_API int kva2GetLinkCount(KVPD_Device_Type type, unsigned char* image);
DODUDO_API bool kva2GetCheck(KVPD_Device_Type type, unsigned char* image);
DODUDO_API unsigned int kva2GetResources(KVPD_Device_Type type, unsigned char* image);
DODUDO_API void kva2MaskResources(KVPD_Device_Type type, unsigned char* image,
                                  unsigned char* resources, unsigned char* channelCounts);
}  // namespace SNLKVAInternal
