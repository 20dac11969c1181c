#include "DOdudo/KLogger.h"

#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogPlatform.h"

int KLogger::LOG_DEVICE_WIDTH = 1;
int KLogger::LOG_CHANNEL_WIDTH = 2;

namespace {

// The writer name of a module: "snl"; with KLOG_EXE_PREFIX "app.snl"; then optionally the
// manager's start time ".20261204.134501" and the process id ".pid4711", in that order.
std::string WriterName(const char* module, int flags, const KLogManager* manager) {
  std::string name;
  if (flags & KLogger::KLOG_EXE_PREFIX) {
    char exe[256];
    if (KHostSystem::GetExeName(exe, 255, false)) {
      klogdetail::AppendFormat(name, "%s.%s", exe, module);
    } else {
      klogdetail::AppendFormat(name, "unknownprocess-%d.%s", KHostSystem::GetCurrentProcId(),
                               module);
    }
  } else {
    name = module;
  }
  if ((flags & KLogger::KLOG_START_TIME) && manager != nullptr) {
    const dodudo::time::KSystemTime& t = manager->StartTime();
    klogdetail::AppendFormat(name, ".%04d%02d%02d.%02d%02d%02d", t.year, t.month, t.day, t.hour,
                             t.minute, t.second);
  }
  if (flags & KLogger::KLOG_PID)
    klogdetail::AppendFormat(name, ".pid%d", KHostSystem::GetCurrentProcId());
  return name;
}

KLogLevel Clamp(KLogLevel level) {
  return static_cast<unsigned int>(level) <= klogTrace ? level : klogError;
}

}  // namespace

KLogger::KLogger(KLogSource source_, int option_, const char* name_, const char* module, int flags,
                 bool lazyTraceFlush_)
    : name(name_ != nullptr ? name_ : ""),
      writer(nullptr),
      showName((flags & KLOG_SHOW_NAME) != 0),
      lazyTraceFlush(lazyTraceFlush_),
      source(source_),
      option(static_cast<unsigned int>(option_)) {
  KLogManager* manager = KLogManager::GetMe(false);
  if (manager != nullptr) {
    writer = module == nullptr ? manager->GetWriter(nullptr)
                               : manager->GetWriter(WriterName(module, flags, manager).c_str());
  }
  KLogManager::NotifyLoggerCreation();
}

KLogger::~KLogger() { KLogManager::NotifyLoggerDestruction(); }

bool KLogger::IsActive(KLogLevel level) const {
  KLogManager* manager = KLogManager::GetMe(false);
  if (manager == nullptr) return false;  // the logging system has ended
  KLogFilter* filter = manager->Filter();
  return filter == nullptr || filter->IsActive(level, source, option);
}

void KLogger::Emit(KLogLevel level, const char* format, va_list args, const char* prefix, ...) {
  if (!IsActive(level) || writer == nullptr) return;
  KLogBuilder builder;
  builder.Constructor(writer, this, false);
  builder.level = Clamp(level);
  va_list prefixArgs;
  va_start(prefixArgs, prefix);
  builder.vLog(prefix, prefixArgs);
  va_end(prefixArgs);
  builder.vLog(format, args);
}

void KLogger::vLog(KLogLevel level, const char* format, va_list args) {
  Emit(level, format, args, "| ");
}

void KLogger::Log(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vLog(level, format, args);
  va_end(args);
}

void KLogger::Log(KLogLevel level, const dodudo::kstring& text) {
  if (!IsActive(level) || writer == nullptr) return;
  KLogBuilder builder;
  builder.Constructor(writer, this, false);
  builder.level = Clamp(level);
  builder.Log("%s", text.c_str());
}

void KLogger::LogBinary(KLogLevel level, const dodudo::kstring& text) {
  if (!IsActive(level) || writer == nullptr) return;
  KLogBuilder builder;
  builder.Constructor(writer, this, true);
  builder.level = Clamp(level);
  builder.Log("%s", text.c_str());
}

#define KLOGGER_LEVEL_FN(fn, level)           \
  void KLogger::fn(const char* format, ...) { \
    va_list args;                             \
    va_start(args, format);                   \
    vLog(level, format, args);                \
    va_end(args);                             \
  }
KLOGGER_LEVEL_FN(Trace, klogTrace)
KLOGGER_LEVEL_FN(Info, klogInfo)
KLOGGER_LEVEL_FN(Notice, klogNotice)
KLOGGER_LEVEL_FN(Warning, klogWarning)
KLOGGER_LEVEL_FN(Error, klogError)
#undef KLOGGER_LEVEL_FN

void KLogger::vLogDev(KLogLevel level, int dev, const char* format, va_list args) {
  Emit(level, format, args, "|D%0*d| ", LOG_DEVICE_WIDTH, dev);
}

void KLogger::LogDev(KLogLevel level, int dev, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vLogDev(level, dev, format, args);
  va_end(args);
}

// Each prefixed operation forwards its own variadic text to Emit with its prefix.
#define KLOGGER_PREFIX_FN(signature, ...)   \
  void KLogger::signature {                 \
    va_list args;                           \
    va_start(args, format);                 \
    Emit(level, format, args, __VA_ARGS__); \
    va_end(args);                           \
  }
KLOGGER_PREFIX_FN(LogChannel(KLogLevel level, int dev, int chan, const char* format, ...),
                  "|D%0*d C%0*d| ", LOG_DEVICE_WIDTH, dev, LOG_CHANNEL_WIDTH, chan)
KLOGGER_PREFIX_FN(LogChanAndCall(KLogLevel level, int dev, int chan, int call, const char* format,
                                 ...),
                  "|D%0*d C%0*d K%d| ", LOG_DEVICE_WIDTH, dev, LOG_CHANNEL_WIDTH, chan, call)
KLOGGER_PREFIX_FN(LogLink(KLogLevel level, int dev, int link, const char* format, ...),
                  "|D%0*d L%d| ", LOG_DEVICE_WIDTH, dev, link)
KLOGGER_PREFIX_FN(LogLinkAndCall(KLogLevel level, unsigned int dev, unsigned int link, int call,
                                 const char* format, ...),
                  "|D%0*u L%u K%d| ", LOG_DEVICE_WIDTH, dev, link, call)
KLOGGER_PREFIX_FN(LogDsp(KLogLevel level, int dev, int dsp, const char* format, ...),
                  "|D%0*d P%c| ", LOG_DEVICE_WIDTH, dev, 'A' + dsp)
KLOGGER_PREFIX_FN(LogCall(KLogLevel level, int call, const char* format, ...), "|K%d| ", call)
KLOGGER_PREFIX_FN(LogNai(KLogLevel level, unsigned int nai, const char* format, ...), "|N%d| ",
                  static_cast<int>(nai))
KLOGGER_PREFIX_FN(LogNaiAndCall(KLogLevel level, unsigned int nai, int call, const char* format,
                                ...),
                  "|N%d K%d| ", static_cast<int>(nai), call)
#undef KLOGGER_PREFIX_FN

void KLogger::SystemLog(KLogLevel level, const char* format, ...) {
  static KLogger systemLogger(klogSystem, -1, "SYSTEM", "system", KLOG_SHOW_NAME, false);
  va_list args;
  va_start(args, format);
  systemLogger.vLog(level, format, args);
  va_end(args);
}

void KLogger::InternalLog(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KLogManager::InternalLog(level, format, args);
  va_end(args);
}

void myLog(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KLogManager::InternalLog(level, format, args);
  va_end(args);
}

std::string KLogger::GetLogDirectory() { return KLogManager::LogDirectory(); }

void KLogger::GetLogDirectory(std::string& out) { out = KLogManager::LogDirectory(); }

void KLogger::GetStartTime(dodudo::time::KSystemTime& out) {
  if (KLogManager* manager = KLogManager::GetMe(false)) manager->GetStartTime(out);
}

void KLogger::NotifyAppInitialization() { KLogManager::AppInitialization(); }

void KLogger::NotifyAppTermination() { KLogManager::AppTermination(); }

void KLogger::Terminate() { KLogManager::NotifyLoggerDestruction(); }

void KLogger::ReloadConfig() {
  if (KLogManager* manager = KLogManager::GetMe(false)) manager->RequestReload();
}

namespace {
KLogFilter* ManagerFilter() {
  KLogManager* manager = KLogManager::Instance();
  return manager != nullptr ? manager->Filter() : nullptr;
}
}  // namespace

void KLogger::SetFilterConfigCallback(void (*callback)(bool)) {
  if (KLogFilter* filter = ManagerFilter()) filter->SetCallback(callback);
}

void KLogger::OverwriteOption(KLogSource source, unsigned int mask) {
  if (KLogFilter* filter = ManagerFilter()) filter->OverwriteOption(source, mask);
}

void KLogger::ReleaseOverwrittenOption(KLogSource source) {
  if (KLogFilter* filter = ManagerFilter()) filter->ReleaseOverwrittenOption(source);
}

bool KLogger::IsOptionActive(KLogSource source, unsigned int option) {
  if (source > klogMaxSources) {
    InternalLog(klogNotice, "IsOptionActive( %d, %d ) - invalid parameter", source, option);
    return false;
  }
  KLogFilter* filter = ManagerFilter();
  return filter == nullptr || filter->IsActive(klogTrace, source, option);
}

unsigned int KLogger::GetConfig(KLogSource source) {
  if (source > klogMaxSources) {
    InternalLog(klogNotice, "GetConfig( %d ) - invalid parameter", source);
    return 0;
  }
  KLogFilter* filter = ManagerFilter();
  return filter != nullptr ? filter->GetConfig(source) : 0xFFFFFFFFu;
}

unsigned long long KLogger::MaxLogSize() {
  KLogFilter* filter = ManagerFilter();
  return filter != nullptr ? filter->MaxLogFileSize() : KLOG_DEFAULT_MAX_FILE_SIZE;
}

unsigned long long KLogger::MaxTotalLogSize() {
  KLogFilter* filter = ManagerFilter();
  return filter != nullptr ? filter->MaxTotalLogSize() : KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE;
}
