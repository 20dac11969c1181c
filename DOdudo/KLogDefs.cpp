#include "DOdudo/KLogDefs.h"

namespace {

const char kUnknown[] = "UNKOWN";

// The name of the option whose value is exactly `value` (a single bit within the list), else
// "UNKOWN": zero, combinations and bits beyond the list have no name.
const char* OptionName(const char* const* names, unsigned int value) {
  for (unsigned int bit = 0; bit < 32 && names[bit][0] != '\0'; ++bit) {
    if (value == (1u << bit)) return names[bit];
  }
  return kUnknown;
}

}  // namespace

const char* const KLogSourceStr[] = {
    "System", "Z7M",     "Z7MRemote", "IntfZ7M", "Z7MClient", "Firmware",   "ISDN",    "SIP",
    "SS7",    "R2",      "Timer",     "Watcher", "Audio",     "KLogger",    "SNL",     "LB9",
    "TDMoP",  "Media",   "QOVA",      "Config",  "Query",     "T38",        "Passora", "RVH",
    "Lcd",    "Network", "VMTA",      "Stun",    "Reserved",  "MaxSources", ""};

const char* const KLogUniqueOption[] = {""};
const char* const KLogAppIntfOptionsStr[] = {"AudioEvent", "ModemEvent", ""};
const char* const KLogZ7M_OptionsStr[] = {
    "CallProgress", "CallAnalyzer", "CadenceRecog", "CallControl",
    "Fax",          "Exceptions",   "RingThread",   ""};
const char* const KLogZ7MRemoteOptionsStr[] = {"Z7MR", "Z7MRServer", "Z7MRClient", ""};
const char* const KLogZ7MClientOptionsStr[] = {"Commands", "Events",  "Comm", "Message",
                                               "FuncCall", "RTAudio", ""};
const char* const KLogISDNOptionsStr[] = {"Lapd", "Q931", ""};
const char* const KLogR2OptionsStr[] = {"Signaling", "State", ""};
const char* const KLogFirmwareOptionsStr[] = {"FwHdlcMsg", "FwLinkErrors", "FwModemChar", ""};
const char* const KLogAudioOptionsStr[] = {"DSP", "Z7M", ""};
const char* const KLogSS7OptionsStr[] = {
    "MTP2States", "MTP2Debug", "MTP3Management", "MTP3Test",    "MTP3Debug",
    "ISUPStates", "ISUPDebug", "ISUPMessages",   "CallControl", ""};
const char* const KLogLB9_OptionsStr[] = {"Basics", "IPC", ""};
const char* const KLogTdmopOptionsStr[] = {
    "Communication", "AudioSession",  "CommClient",        "Dsp",   "Fpga", "Monitor",
    "TrunkControl",  "MobileControl", "AnalogLineControl", "Debug", ""};
const char* const KLogMediaOptionsStr[] = {"Server",     "Client", "Audio", "VoipServer",
                                           "VoipClient", "Config", "Clock", "Threads",
                                           "Heap",       "API",    "Comm",  ""};
const char* const KLogQovaOptionsStr[] = {"General", "BOOTP", "TFTP", "Time", ""};
const char* const KLogPassoraOptionsStr[] = {"Router",      "Match",        "API", "Debug", "SQL",
                                             "Portability", "Notification", "CDR", ""};
const char* const KLogRVHOptionsStr[] = {"Application", "User", "Debug", ""};
const char* const KLogConfigOptionsStr[] = {"OptionalValues", ""};
const char* const KLogNetworkOptionsStr[] = {"Server", ""};

const char* const* KLogSourceOptions(KLogSource source) {
  switch (source) {
    case klogZ7M:
      return KLogZ7M_OptionsStr;
    case klogZ7MRemote:
      return KLogZ7MRemoteOptionsStr;
    case klogIntfZ7M:
      return KLogAppIntfOptionsStr;
    case klogZ7MClient:
      return KLogZ7MClientOptionsStr;
    case klogFirmware:
      return KLogFirmwareOptionsStr;
    case klogISDN:
      return KLogISDNOptionsStr;
    case klogSS7:
      return KLogSS7OptionsStr;
    case klogR2:
      return KLogR2OptionsStr;
    case klogAudio:
      return KLogAudioOptionsStr;
    case klogLB9:
      return KLogLB9_OptionsStr;
    case klogTDMoP:
      return KLogTdmopOptionsStr;
    case klogMedia:
      return KLogMediaOptionsStr;
    case klogQOVA:
      return KLogQovaOptionsStr;
    case klogConfig:
      return KLogConfigOptionsStr;
    case klogPassora:
      return KLogPassoraOptionsStr;
    case klogRVH:
      return KLogRVHOptionsStr;
    case klogNetwork:
      return KLogNetworkOptionsStr;
    default:
      return KLogUniqueOption;
  }
}

const char* GetStringKLogSource(KLogSource source) {
  return source <= klogMaxSources ? KLogSourceStr[source] : kUnknown;
}

#define KLOG_OPTION_NAME_FN(Enum)                                    \
  const char* GetString##Enum(Enum option) {                         \
    return OptionName(Enum##Str, static_cast<unsigned int>(option)); \
  }
KLOG_OPTION_NAME_FN(KLogAppIntfOptions)
KLOG_OPTION_NAME_FN(KLogZ7M_Options)
KLOG_OPTION_NAME_FN(KLogZ7MRemoteOptions)
KLOG_OPTION_NAME_FN(KLogZ7MClientOptions)
KLOG_OPTION_NAME_FN(KLogISDNOptions)
KLOG_OPTION_NAME_FN(KLogR2Options)
KLOG_OPTION_NAME_FN(KLogFirmwareOptions)
KLOG_OPTION_NAME_FN(KLogAudioOptions)
KLOG_OPTION_NAME_FN(KLogSS7Options)
KLOG_OPTION_NAME_FN(KLogLB9_Options)
KLOG_OPTION_NAME_FN(KLogTdmopOptions)
KLOG_OPTION_NAME_FN(KLogMediaOptions)
KLOG_OPTION_NAME_FN(KLogQovaOptions)
KLOG_OPTION_NAME_FN(KLogPassoraOptions)
KLOG_OPTION_NAME_FN(KLogRVHOptions)
KLOG_OPTION_NAME_FN(KLogConfigOptions)
KLOG_OPTION_NAME_FN(KLogNetworkOptions)
#undef KLOG_OPTION_NAME_FN
