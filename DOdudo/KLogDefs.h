#pragma once

#include "DOdudo/host/KExport.h"

// The vocabulary of the logging system: levels, sources and the per-source trace options.
// The display names below double as the section and key names of klog.cfg, so they are part of
// the file format and must not change. All tables are immutable; every function here is
// thread-safe and never fails (unknown values give "UNKOWN").

// Levels 0..3 are always written; only trace lines pass the per-source filter. Any value outside
// 0..4 that reaches a log line is written and routed as an error.
enum KLogLevel : int {
  klogError = 0,
  klogWarning = 1,
  klogInfo = 2,
  klogNotice = 3,
  klogTrace = 4,
};

// The header character of each level, indexed by the level.
#define KLOG_LEVEL_CHARS "EWINT"

enum KLogSource : unsigned int {
  klogSystem = 0,
  klogZ7M = 1,
  klogZ7MRemote = 2,
  klogIntfZ7M = 3,
  klogZ7MClient = 4,
  klogFirmware = 5,
  klogISDN = 6,
  klogSIP = 7,
  klogSS7 = 8,
  klogR2 = 9,
  klogTimer = 10,
  klogWatcher = 11,
  klogAudio = 12,
  klogKLogger = 13,
  klogSNL = 14,
  klogLB9 = 15,
  klogTDMoP = 16,
  klogMedia = 17,
  klogQOVA = 18,
  klogConfig = 19,
  klogQuery = 20,
  klogT38 = 21,
  klogPassora = 22,
  klogRVH = 23,
  klogLcd = 24,
  klogNetwork = 25,
  klogVMTA = 26,
  klogStun = 27,
  klogReserved = 28,    // kept for another application; has its own klog.cfg section
  klogMaxSources = 29,  // not a source: the number of sources
};

// Option enumerations: the option at position i of its name list is the bit 1 << i. A logger
// created with the mask -1 (0xFFFFFFFF) stands for its source as a whole.
enum KLogAppIntfOptions : unsigned int {
  klogAppIntfAudioEvent = 1u << 0,
  klogAppIntfModemEvent = 1u << 1,
};

enum KLogZ7M_Options : unsigned int {
  klogZ7MCallProgress = 1u << 0,
  klogZ7MCallAnalyzer = 1u << 1,
  klogZ7MCadenceRecog = 1u << 2,
  klogZ7MCallControl = 1u << 3,
  klogZ7MFax = 1u << 4,
  klogZ7MExceptions = 1u << 5,
  klogZ7MRingThread = 1u << 6,
};

enum KLogZ7MRemoteOptions : unsigned int {
  klogZ7MRemoteZ7MR = 1u << 0,
  klogZ7MRemoteServer = 1u << 1,
  klogZ7MRemoteClient = 1u << 2,
};

enum KLogZ7MClientOptions : unsigned int {
  klogZ7MClientCommands = 1u << 0,
  klogZ7MClientEvents = 1u << 1,
  klogZ7MClientComm = 1u << 2,
  klogZ7MClientMessage = 1u << 3,
  klogZ7MClientFuncCall = 1u << 4,
  klogZ7MClientRTAudio = 1u << 5,
};

enum KLogISDNOptions : unsigned int {
  klogISDNLapd = 1u << 0,
  klogISDNQ931 = 1u << 1,
};

enum KLogR2Options : unsigned int {
  klogR2Signaling = 1u << 0,
  klogR2State = 1u << 1,
};

enum KLogFirmwareOptions : unsigned int {
  klogFwHdlcMsg = 1u << 0,
  klogFwLinkErrors = 1u << 1,
  klogFwModemChar = 1u << 2,
};

enum KLogAudioOptions : unsigned int {
  klogAudioDSP = 1u << 0,
  klogAudioZ7M = 1u << 1,
};

enum KLogSS7Options : unsigned int {
  klogSS7MTP2States = 1u << 0,
  klogSS7MTP2Debug = 1u << 1,
  klogSS7MTP3Management = 1u << 2,
  klogSS7MTP3Test = 1u << 3,
  klogSS7MTP3Debug = 1u << 4,
  klogSS7ISUPStates = 1u << 5,
  klogSS7ISUPDebug = 1u << 6,
  klogSS7ISUPMessages = 1u << 7,
  klogSS7CallControl = 1u << 8,
};

enum KLogLB9_Options : unsigned int {
  klogLB9Basics = 1u << 0,
  klogLB9IPC = 1u << 1,
};

enum KLogTdmopOptions : unsigned int {
  klogTdmopCommunication = 1u << 0,
  klogTdmopAudioSession = 1u << 1,
  klogTdmopCommClient = 1u << 2,
  klogTdmopDsp = 1u << 3,
  klogTdmopFpga = 1u << 4,
  klogTdmopMonitor = 1u << 5,
  klogTdmopTrunkControl = 1u << 6,
  klogTdmopMobileControl = 1u << 7,
  klogTdmopAnalogLineControl = 1u << 8,
  klogTdmopDebug = 1u << 9,
};

enum KLogMediaOptions : unsigned int {
  klogMediaServer = 1u << 0,
  klogMediaClient = 1u << 1,
  klogMediaAudio = 1u << 2,
  klogMediaVoipServer = 1u << 3,
  klogMediaVoipClient = 1u << 4,
  klogMediaConfig = 1u << 5,
  klogMediaClock = 1u << 6,
  klogMediaThreads = 1u << 7,
  klogMediaHeap = 1u << 8,
  klogMediaAPI = 1u << 9,
  klogMediaComm = 1u << 10,
};

enum KLogQovaOptions : unsigned int {
  klogQovaGeneral = 1u << 0,
  klogQovaBOOTP = 1u << 1,
  klogQovaTFTP = 1u << 2,
  klogQovaTime = 1u << 3,
};

enum KLogPassoraOptions : unsigned int {
  klogPassoraRouter = 1u << 0,
  klogPassoraMatch = 1u << 1,
  klogPassoraAPI = 1u << 2,
  klogPassoraDebug = 1u << 3,
  klogPassoraSQL = 1u << 4,
  klogPassoraPortability = 1u << 5,
  klogPassoraNotification = 1u << 6,
  klogPassoraCDR = 1u << 7,
};

enum KLogRVHOptions : unsigned int {
  klogRVHApplication = 1u << 0,
  klogRVHUser = 1u << 1,
  klogRVHDebug = 1u << 2,
};

enum KLogConfigOptions : unsigned int {
  klogConfigOptionalValues = 1u << 0,
};

enum KLogNetworkOptions : unsigned int {
  klogNetworkServer = 1u << 0,
};

// Name tables. Each list ends with an empty string; KLogSourceStr has the 30 names of the values
// 0..29 and then the terminator.
extern DODUDO_API const char* const KLogSourceStr[];
extern DODUDO_API const char* const KLogUniqueOption[];
extern DODUDO_API const char* const KLogAppIntfOptionsStr[];
extern DODUDO_API const char* const KLogZ7M_OptionsStr[];
extern DODUDO_API const char* const KLogZ7MRemoteOptionsStr[];
extern DODUDO_API const char* const KLogZ7MClientOptionsStr[];
extern DODUDO_API const char* const KLogISDNOptionsStr[];
extern DODUDO_API const char* const KLogR2OptionsStr[];
extern DODUDO_API const char* const KLogFirmwareOptionsStr[];
extern DODUDO_API const char* const KLogAudioOptionsStr[];
extern DODUDO_API const char* const KLogSS7OptionsStr[];
extern DODUDO_API const char* const KLogLB9_OptionsStr[];
extern DODUDO_API const char* const KLogTdmopOptionsStr[];
extern DODUDO_API const char* const KLogMediaOptionsStr[];
extern DODUDO_API const char* const KLogQovaOptionsStr[];
extern DODUDO_API const char* const KLogPassoraOptionsStr[];
extern DODUDO_API const char* const KLogRVHOptionsStr[];
extern DODUDO_API const char* const KLogConfigOptionsStr[];
extern DODUDO_API const char* const KLogNetworkOptionsStr[];

// The option list of a source (KLogUniqueOption for sources without options and for values that
// are not sources).
DODUDO_API const char* const* KLogSourceOptions(KLogSource source);

DODUDO_API const char* GetStringKLogSource(KLogSource source);
DODUDO_API const char* GetStringKLogAppIntfOptions(KLogAppIntfOptions option);
DODUDO_API const char* GetStringKLogZ7M_Options(KLogZ7M_Options option);
DODUDO_API const char* GetStringKLogZ7MRemoteOptions(KLogZ7MRemoteOptions option);
DODUDO_API const char* GetStringKLogZ7MClientOptions(KLogZ7MClientOptions option);
DODUDO_API const char* GetStringKLogISDNOptions(KLogISDNOptions option);
DODUDO_API const char* GetStringKLogR2Options(KLogR2Options option);
DODUDO_API const char* GetStringKLogFirmwareOptions(KLogFirmwareOptions option);
DODUDO_API const char* GetStringKLogAudioOptions(KLogAudioOptions option);
DODUDO_API const char* GetStringKLogSS7Options(KLogSS7Options option);
DODUDO_API const char* GetStringKLogLB9_Options(KLogLB9_Options option);
DODUDO_API const char* GetStringKLogTdmopOptions(KLogTdmopOptions option);
DODUDO_API const char* GetStringKLogMediaOptions(KLogMediaOptions option);
DODUDO_API const char* GetStringKLogQovaOptions(KLogQovaOptions option);
DODUDO_API const char* GetStringKLogPassoraOptions(KLogPassoraOptions option);
DODUDO_API const char* GetStringKLogRVHOptions(KLogRVHOptions option);
DODUDO_API const char* GetStringKLogConfigOptions(KLogConfigOptions option);
DODUDO_API const char* GetStringKLogNetworkOptions(KLogNetworkOptions option);
