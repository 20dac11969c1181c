#include "DOdudo/config/KConfigReader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "DOdudo/host/KHostSystem.h"

namespace {

// One read yields at most 199 characters, newline included.
constexpr int kReadBuffer = 200;
constexpr size_t kFieldChars = KConfigItem::kFieldSize - 1;

// Closes the file on every way out of a loader.
class FileCloser {
 public:
  explicit FileCloser(FILE* file) : file_(file) {}
  ~FileCloser() {
    if (file_ != nullptr) fclose(file_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  FILE* file_;
};

size_t WithoutNewline(const char* line) {
  size_t length = strlen(line);
  return (length > 0 && line[length - 1] == '\n') ? length - 1 : length;
}

// Decimal text to a 32-bit int, saturating as the C library does where long has 32 bits, so that
// a configuration reads the same on 32- and 64-bit hosts.
int ParseInt32(const char* text, char** end) {
  long long value = strtoll(text, end, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Hexadecimal text ("ff" or "0xff") to 32 bits, with the 32-bit strtoul's overflow and negation.
int ParseHex32(const char* text, char** end) {
  errno = 0;
  unsigned long long raw = strtoull(text, end, 16);
  bool overflow = errno == ERANGE;
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  unsigned long long magnitude = negative && !overflow ? 0ULL - raw : raw;
  unsigned int value;
  if (overflow || magnitude > 0xFFFFFFFFULL)
    value = 0xFFFFFFFFU;
  else
    value = static_cast<unsigned int>(negative ? 0ULL - magnitude : magnitude);
  return static_cast<int>(value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Exceptions

void KTemplateException<KConfigReader>::Build(KConfigReader* reader, const char* format,
                                              va_list args) {
  dodudo::kstring text;
  text.vFormat(format, args);
  text.AppendFormat("(config[%s])", reader != nullptr ? reader->GetConfigFileName() : "");
  message_ = text;
}

#define KCONFIG_EXCEPTION_CTOR(Class, Name)                     \
  Class::Name(KConfigReader* reader, const char* format, ...) { \
    va_list args;                                               \
    va_start(args, format);                                     \
    try {                                                       \
      Build(reader, format, args);                              \
    } catch (...) {                                             \
      va_end(args);                                             \
      throw;                                                    \
    }                                                           \
    va_end(args);                                               \
  }

KCONFIG_EXCEPTION_CTOR(KTemplateException<KConfigReader>, KTemplateException)
KCONFIG_EXCEPTION_CTOR(KItemNotFoundException, KItemNotFoundException)
KCONFIG_EXCEPTION_CTOR(KValueUndefinedException, KValueUndefinedException)
#undef KCONFIG_EXCEPTION_CTOR

// ---------------------------------------------------------------------------------------------
// Life cycle and entries

KConfigReader::KConfigReader() { fileName_[0] = '\0'; }

KConfigReader::~KConfigReader() { KConfigReader::Clear(); }

void KConfigReader::Clear() {
  for (KListNode* node = head_; node != nullptr; node = node->next)
    delete static_cast<KConfigItem*>(node->data);
  KList::Clear();
}

void KConfigReader::SetConfigFileName(const char* name) {
  if (name == nullptr) name = "";
  snprintf(fileName_, sizeof fileName_, "%s", name);
}

KConfigItem* KConfigReader::NewItem(const char* key, size_t keyLength, const char* value,
                                    size_t valueLength) {
  auto* item = new KConfigItem();
  memcpy(item->Key(), key, keyLength < kFieldChars ? keyLength : kFieldChars);
  memcpy(item->Value(), value, valueLength < kFieldChars ? valueLength : kFieldChars);
  return item;
}

void KConfigReader::Warning(const char*) {}

void KConfigReader::vWarning(const char* format, ...) {
  dodudo::kstring text;
  va_list args;
  va_start(args, format);
  try {
    text.vFormat(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  Warning(text.c_str());
}

// ---------------------------------------------------------------------------------------------
// Loading and saving

void KConfigReader::LoadFile(const dodudo::kstring& path) { LoadFile(path.c_str(), false); }

void KConfigReader::LoadFile(const char* path, bool create) {
  SetConfigFileName(path);
  FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
  if (file == nullptr) {
    if (!create) throw KTemplateException<KConfigReader>(this, "Config file not found");
    // The path itself: the stored file name keeps only its first 255 characters.
    vWarning("File %s not found, trying to create...", path != nullptr ? path : "");
    FILE* created = path != nullptr ? fopen(path, "a") : nullptr;
    if (created == nullptr) return;
    fclose(created);
    Warning("File created successfully");
    return;  // a new file has no lines
  }
  FileCloser closer(file);
  char line[kReadBuffer];
  while (KHostSystem::ReadLine(line, sizeof line, file) != nullptr) AddLoadFileLine(line);
}

// LoadFile's rules: nothing is trimmed and sections mean nothing.
void KConfigReader::AddLoadFileLine(const char* line) {
  if (line[0] == '#') return;
  if (line[0] == '>') {
    auto* item = new KConfigItem();
    // A read never yields more than 199 characters, so the line and its NUL fit the block.
    memcpy(item->text, line, strnlen(line, sizeof item->text - 1));
    Add(item);
    return;
  }
  const char* equals = strchr(line, '=');
  if (equals == nullptr) {
    Add(NewItem(line, WithoutNewline(line), "", 0));
    return;
  }
  const char* value = equals + 1;
  Add(NewItem(line, static_cast<size_t>(equals - line), value, WithoutNewline(value)));
}

void KConfigReader::LoadSection(const char* path, const char* section) {
  SetConfigFileName(path);
  FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
  if (file == nullptr) throw KTemplateException<KConfigReader>(this, "Config file not found");
  FileCloser closer(file);
  Clear();
  if (section == nullptr) section = "";
  bool inside = false;
  char line[kReadBuffer];
  for (;;) {
    if (KHostSystem::ReadLine(line, sizeof line, file) == nullptr) {
      if (ferror(file))
        throw KTemplateException<KConfigReader>(this, "Error reading configuration file (errno=%d)",
                                                errno);
      if (inside) return;
      throw KTemplateException<KConfigReader>(this, "Section [%s] not found", section);
    }
    size_t length = WithoutNewline(line);
    if (line[0] == '#' || length == 0) continue;
    if (line[0] == '[') {
      if (line[length - 1] != ']')
        throw KTemplateException<KConfigReader>(this, "Invalid section [%s]", line);
      if (inside) return;
      line[length - 1] = '\0';
      inside = KHostSystem::StriCmp(line + 1, section) == 0;
      continue;
    }
    if (inside) AddSectionLine(line);
  }
}

// LoadSection's rules: the value is trimmed, the key is not.
void KConfigReader::AddSectionLine(char* line) {
  line[WithoutNewline(line)] = '\0';
  char* equals = strchr(line, '=');
  if (equals == nullptr) {
    Add(NewItem(line, strlen(line), "", 0));
    return;
  }
  *equals = '\0';
  char* value = KHostSystem::StrTrim(equals + 1);
  Add(NewItem(line, strlen(line), value, strlen(value)));
}

void KConfigReader::SaveFile() {
  FILE* file = fopen(fileName_, "w");
  if (file == nullptr)
    throw KTemplateException<KConfigReader>(this, "Could not open file for writing");
  errno = 0;
  bool failed = false;
  for (KListNode* node = head_; node != nullptr; node = node->next) {
    const auto* item = static_cast<const KConfigItem*>(node->data);
    if (item->IsVerbatim()) {
      failed |= fprintf(file, "%s\n", item->text) < 0;
    } else if (item->Key()[0] != '\0' && item->Value()[0] != '\0') {
      failed |= fprintf(file, "%s=%s\n", item->Key(), item->Value()) < 0;
    }
  }
  // A full disk shows only here; a truncated file must not pass for a saved one.
  failed |= ferror(file) != 0;
  int error = errno;
  failed |= fclose(file) != 0;
  if (failed) {
    if (errno != 0) error = errno;
    throw KTemplateException<KConfigReader>(this, "Error writing configuration file (errno=%d)",
                                            error);
  }
}

// ---------------------------------------------------------------------------------------------
// Look-ups

KConfigItem* KConfigReader::Search(const char* key) {
  if (key != nullptr) {
    for (KListNode* node = head_; node != nullptr; node = node->next) {
      auto* item = static_cast<KConfigItem*>(node->data);
      if (!item->IsVerbatim() && KHostSystem::StriCmp(item->Key(), key) == 0) return item;
    }
  }
  throw KItemNotFoundException(this, "Config item [%s] not found", key != nullptr ? key : "");
}

void KConfigReader::SetValue(const char* key, const char* value) {
  if (key == nullptr) return;
  if (value == nullptr) value = "";
  for (KListNode* node = head_; node != nullptr; node = node->next) {
    auto* item = static_cast<KConfigItem*>(node->data);
    if (!item->IsVerbatim() && KHostSystem::StriCmp(item->Key(), key) == 0) {
      snprintf(item->Value(), KConfigItem::kFieldSize, "%s", value);
      return;
    }
  }
  Add(NewItem(key, strlen(key), value, strlen(value)));
}

bool KConfigReader::ValueExists(const char* key) {
  try {
    Search(key);
    return true;
  } catch (const KItemNotFoundException&) {
    return false;
  } catch (const std::exception& e) {
    vWarning("Error [%s] searching config item [%s]", e.what(), key != nullptr ? key : "");
    return false;
  }
}

char* KConfigReader::GetString(const char* key) { return Search(key)->Value(); }

namespace {

// The numeric getters' common rules: a value that ends in exactly "@" is undefined, one where
// nothing was parsed is invalid, and text after the number is ignored ("10ms" is 10).
template <typename T, typename Parse>
T ParseValue(KConfigReader* reader, const char* key, KConfigItem* item, Parse parse) {
  char* end = nullptr;
  T number = parse(item->Value(), &end);
  if (strcmp(end, "@") == 0)
    throw KValueUndefinedException(reader, "Config item [%s] undefined (=@)", key);
  if (end == item->Value())
    throw KTemplateException<KConfigReader>(reader, "Invalid config value [%s=%s]", key,
                                            item->Value());
  return number;
}

double ParseDouble(const char* text, char** end) { return strtod(text, end); }

}  // namespace

int KConfigReader::GetInteger(const char* key) {
  return ParseValue<int>(this, key, Search(key), ParseInt32);
}

int KConfigReader::GetHexadecimal(const char* key) {
  return ParseValue<int>(this, key, Search(key), ParseHex32);
}

double KConfigReader::GetDouble(const char* key) {
  KConfigItem* item = Search(key);
  // A decimal comma becomes a point in the stored value itself (SaveFile writes the point).
  if (char* comma = strchr(item->Value(), ',')) *comma = '.';
  return ParseValue<double>(this, key, item, ParseDouble);
}

bool KConfigReader::GetBool(const char* key) {
  return KHostSystem::StriCmp(Search(key)->Value(), "true") == 0;
}

// ---------------------------------------------------------------------------------------------
// Look-ups with a default: a missing key warns, an undefined one ("@") silently uses the default,
// an invalid value still throws.

#define KCONFIG_WITH_DEFAULT(call, ...)                          \
  try {                                                          \
    return call;                                                 \
  } catch (const KItemNotFoundException&) {                      \
    vWarning(__VA_ARGS__, fileName_, key != nullptr ? key : ""); \
    return def;                                                  \
  } catch (const KValueUndefinedException&) {                    \
    return def;                                                  \
  }

int KConfigReader::GetIntDef(const char* key, int def) {
  KCONFIG_WITH_DEFAULT(GetInteger(key), "Default value (%d) used for configuration [%s][%s]", def)
}

int KConfigReader::GetHexDef(const char* key, int def) {
  KCONFIG_WITH_DEFAULT(GetHexadecimal(key), "Default value (0x%X) used for configuration [%s][%s]",
                       static_cast<unsigned int>(def))
}

double KConfigReader::GetDoubleDef(const char* key, double def) {
  KCONFIG_WITH_DEFAULT(GetDouble(key), "Default value (%f) used for configuration [%s][%s]", def)
}

bool KConfigReader::GetBoolDef(const char* key, bool def) {
  KCONFIG_WITH_DEFAULT(GetBool(key), "Default value (%s) used for configuration [%s][%s]",
                       def ? "true" : "false")
}

const char* KConfigReader::GetStringDef(const char* key, const char* def) {
  KCONFIG_WITH_DEFAULT(GetString(key), "Default value (\"%s\") used for configuration [%s][%s]",
                       def != nullptr ? def : "")
}
#undef KCONFIG_WITH_DEFAULT

// ---------------------------------------------------------------------------------------------
// Comma-separated values

bool KConfigReader::GetStringAtPos(const char* key, char* out, int pos) {
  if (pos < 0 || !ValueExists(key)) return false;
  const char* field = GetString(key);
  for (int i = 0; i < pos; ++i) {
    field = strchr(field, ',');
    if (field == nullptr) return false;
    ++field;
  }
  size_t length = strcspn(field, ",");
  if (length == 0) return false;
  memcpy(out, field, length);
  out[length] = '\0';
  return true;
}

bool KConfigReader::IsContained(const char* key, int number) {
  if (!ValueExists(key)) return false;
  const char* field = GetString(key);
  for (;;) {
    size_t length = strcspn(field, ",");
    if (length > 0 && field[0] != '@') {
      char copy[KConfigItem::kFieldSize];
      memcpy(copy, field, length);
      copy[length] = '\0';
      char* end = nullptr;
      int value = ParseInt32(copy, &end);
      // A field without digits ("abc") is no number at all, not a zero.
      if (end != copy && value == number) return true;
    }
    if (field[length] == '\0') return false;
    field += length + 1;
  }
}

void KConfigReader::GetFieldList(const char* key, KConfigReader* out) {
  char copy[KConfigItem::kFieldSize];
  snprintf(copy, sizeof copy, "%s", GetString(key));
  if (out == nullptr) return;
  char* state = nullptr;
  for (char* field = strtok_r(copy, ",", &state); field != nullptr;
       field = strtok_r(nullptr, ",", &state)) {
    KHostSystem::StrTrim(field);
    out->Add(NewItem(field, strlen(field), "", 0));
  }
}
