#include "DOdudo/KLogFilter.h"

#include <endian.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "DOdudo/KLogConfigReader.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "DOdudo/host/KBaseException.h"

namespace {

// A size key of the whole file: absent or "@" gives the default; otherwise the number in base 0
// ("0x100000" is hexadecimal), and the default when nothing parses.
unsigned long long SizeValue(KLogConfigReader& reader, const char* key, unsigned long long def) {
  std::string value;
  try {
    value = reader.Search(key)->Value();
  } catch (const KItemNotFoundException&) {
    return def;
  }
  if (value == "@") return def;
  return from_string<unsigned long long>(value, def);
}

struct ByteWriter {
  std::string bytes;
  bool In() const { return false; }
  void Serialize(void* data, unsigned int size) {
    bytes.append(static_cast<const char*>(data), size);
  }
};

struct ByteReader {
  const unsigned char* cursor;
  size_t left;
  bool In() const { return true; }
  void Serialize(void* data, unsigned int size) {
    if (size > left) throw std::out_of_range("log filter bytes end early");
    memcpy(data, cursor, size);
    cursor += size;
    left -= size;
  }
};

}  // namespace

KLogFilter::KLogFilter() {
  for (unsigned int i = 0; i < kSources; ++i) {
    active_[i].store(0xFFFFFFFFu, kRelaxed);
    never_[i].store(0, kRelaxed);
    overwritten_[i].store(false, kRelaxed);
    saved_[i].store(0, kRelaxed);
  }
}

KLogFilter::~KLogFilter() = default;

const char* KLogFilter::GetConfigFileName() {
  static const std::string path = [] {
    std::string text;
    klogdetail::AppendFormat(text, "%s%cconfig%cklog.cfg", KHostSystem::GetWorkDirectory(), '/',
                             '/');
    return text;
  }();
  return path.c_str();
}

void KLogFilter::LoadConfig() {
  dodudo::KRemoteLogSpecs& specs = dodudo::KRemoteLogSpecs::Instance();
  specs.LoadValues();
  if (!specs.Host().empty()) return;
  KLogger::InternalLog(klogNotice, "Loading configs");
  KLogConfigReader whole;
  whole.LoadFile(GetConfigFileName(), false);

  unsigned long long maxFile = SizeValue(whole, "MaxLogFileSize", KLOG_DEFAULT_MAX_FILE_SIZE);
  maxLogFileSize_.store(maxFile, kRelaxed);
  KLogger::InternalLog(klogTrace, "MaxLogFileSize=%lld", static_cast<long long>(maxFile));
  unsigned long long maxTotal =
      SizeValue(whole, "MaxTotalLogSize", KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE);
  maxTotalLogSize_.store(maxTotal, kRelaxed);
  KLogger::InternalLog(klogTrace, "MaxTotalLogSize=%lld", static_cast<long long>(maxTotal));

  // A source the application has overridden keeps its mask: SetOption skips it, so clearing it
  // here would turn an override such as "trace everything" into "trace nothing".
  for (unsigned int i = 0; i < kSources; ++i) {
    if (!overwritten_[i].load(kRelaxed)) active_[i].store(0, kRelaxed);
  }
  fullLog_.store(false, kRelaxed);
  active_[klogSystem].store(0xFFFFFFFFu, kRelaxed);

  // [KLogger] first: it may turn full log on, which the other sections do not undo.
  SetOption(klogKLogger, KLogSourceOptions(klogKLogger));
  for (unsigned int source = 1; source < kSources; ++source) {
    if (source == klogKLogger) continue;
    SetOption(static_cast<KLogSource>(source), KLogSourceOptions(static_cast<KLogSource>(source)));
  }
  InvokeFilterCallback(false);
}

void KLogFilter::SetOption(KLogSource source, const char* const* names) {
  if (source >= kSources || overwritten_[source].load(kRelaxed)) return;
  const char* sourceName = GetStringKLogSource(source);
  KLogger::InternalLog(klogTrace, "%s", "");
  KLogger::InternalLog(klogTrace, "Loading section: [%s(%d)] file: [%s]", sourceName,
                       static_cast<int>(source), GetConfigFileName());
  KLogConfigReader reader;
  try {
    reader.LoadSection(GetConfigFileName(), sourceName);
  } catch (const std::exception& e) {
    KLogger::InternalLog(klogNotice,
                         "Error loading section [%s], assuming 'never' for all keys. Error: [%s]",
                         sourceName, e.what());
    active_[source].store(0, kRelaxed);
    never_[source].store(0xFFFFFFFFu, kRelaxed);
    return;
  }
  if (source == klogKLogger && reader.GetBoolDef("FullLog", false)) {
    fullLog_.store(true, kRelaxed);
    KLogger::InternalLog(klogNotice, "FULL LOG ATIVADO");
  }
  std::string value = reader.GetStringDef("Value", "never");
  KLogger::InternalLog(klogTrace, "Value=%s", value.c_str());
  if (value == "true") {
    active_[source].store(0xFFFFFFFFu, kRelaxed);
    never_[source].store(0, kRelaxed);
  } else if (value == "never") {
    never_[source].store(0xFFFFFFFFu, kRelaxed);
  } else {
    never_[source].store(0, kRelaxed);
  }
  for (unsigned int i = 0; i < 32 && names != nullptr && names[i][0] != '\0'; ++i) {
    uint32_t bit = 1u << i;
    std::string v = reader.GetStringDef(names[i], "never");
    if (value == "true" && v != "true") active_[source].fetch_and(~bit, kRelaxed);
    if (v == "never") never_[source].fetch_or(bit, kRelaxed);
    KLogger::InternalLog(klogTrace, "%s=%s", names[i], v.c_str());
  }
}

bool KLogFilter::IsActive(KLogLevel level, KLogSource source, unsigned int option) const {
  if (source >= kSources || static_cast<unsigned int>(level) > klogTrace) {
    KLogger::InternalLog(klogNotice, "Invalid log request level=%d src=%d opt=%d, returning true",
                         static_cast<int>(level), static_cast<int>(source),
                         static_cast<int>(option));
    return true;
  }
  if (level != klogTrace) return true;
  if (!overwritten_[source].load(kRelaxed)) {
    uint32_t never = never_[source].load(kRelaxed);
    if (option == 0xFFFFFFFFu ? never == 0xFFFFFFFFu : (never & option) != 0) return false;
    if (fullLog_.load(kRelaxed)) return true;
  }
  return (active_[source].load(kRelaxed) & option) != 0;
}

void KLogFilter::InvokeFilterCallback(bool remote) {
  Callback callback = callback_.load();
  if (callback == nullptr) return;
  const char* how = remote ? "remote" : "local";
  try {
    callback(remote);
  } catch (const std::exception& e) {
    KLogger::InternalLog(klogWarning, "Exception calling filter config callback(invoke:%s) [%s]!",
                         how, e.what());
  } catch (...) {
    KLogger::InternalLog(klogWarning,
                         "Unknown exception calling filter config callback (invoke:%s)!", how);
  }
}

void KLogFilter::CopySettingsFrom(const KLogFilter& other) {
  for (unsigned int i = 0; i < kSources; ++i) {
    active_[i].store(other.active_[i].load(kRelaxed), kRelaxed);
    never_[i].store(other.never_[i].load(kRelaxed), kRelaxed);
    overwritten_[i].store(other.overwritten_[i].load(kRelaxed), kRelaxed);
    saved_[i].store(other.saved_[i].load(kRelaxed), kRelaxed);
  }
  fullLog_.store(other.fullLog_.load(kRelaxed), kRelaxed);
  maxLogFileSize_.store(other.maxLogFileSize_.load(kRelaxed), kRelaxed);
  maxTotalLogSize_.store(other.maxTotalLogSize_.load(kRelaxed), kRelaxed);
}

void KLogFilter::OverwriteOption(KLogSource source, unsigned int mask) {
  if (source < 1 || source >= kSources) return;
  saved_[source].store(active_[source].load(kRelaxed), kRelaxed);
  active_[source].store(mask, kRelaxed);
  overwritten_[source].store(true, kRelaxed);
}

void KLogFilter::ReleaseOverwrittenOption(KLogSource source) {
  if (source >= kSources || !overwritten_[source].load(kRelaxed)) return;
  overwritten_[source].store(false, kRelaxed);
  active_[source].store(saved_[source].load(kRelaxed), kRelaxed);
}

unsigned int KLogFilter::GetConfig(KLogSource source) const {
  if (source > kSources) return 0;
  if (fullLog_.load(kRelaxed)) return 0xFFFFFFFFu;
  return source < kSources ? active_[source].load(kRelaxed) : 0;
}

std::string KLogFilter::ToBytes() {
  ByteWriter writer;
  Transfer(writer);
  return writer.bytes;
}

void KLogFilter::FromBytes(const void* data, size_t size) {
  ByteReader reader{static_cast<const unsigned char*>(data), size};
  Transfer(reader);
}

void KLogFilter::RaiseSizeLimits(unsigned long long minFile, unsigned long long minTotal) {
  if (maxLogFileSize_.load(kRelaxed) < minFile) maxLogFileSize_.store(minFile, kRelaxed);
  if (maxTotalLogSize_.load(kRelaxed) < minTotal) maxTotalLogSize_.store(minTotal, kRelaxed);
}
