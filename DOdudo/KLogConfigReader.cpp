#include "DOdudo/KLogConfigReader.h"

#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "DOdudo/host/KBaseException.h"

namespace {

constexpr size_t kLineBuffer = 200;
constexpr size_t kFieldMax = 99;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One read of at most 199 characters, newline included; a CR LF ending reads as LF.
bool ReadLine(FILE* file, std::string& line) {
  char buffer[kLineBuffer];
  if (fgets(buffer, sizeof buffer, file) == nullptr) return false;
  line.assign(buffer, strnlen(buffer, sizeof buffer));
  size_t n = line.size();
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') line.erase(n - 2, 1);
  return true;
}

std::string StripNewline(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Cut(const std::string& text) { return text.substr(0, kFieldMax); }

}  // namespace

KLogConfigReader::~KLogConfigReader() = default;

void KLogConfigReader::Fail(const char* format, const char* argument) const {
  std::string message;
  char text[512];
  snprintf(text, sizeof text, format, argument);
  message = text;
  message += "(config[" + fileName_ + "])";
  throw KBaseException("%s", message.c_str());
}

void KLogConfigReader::LoadFile(const char* path, bool create) {
  fileName_ = std::string(path != nullptr ? path : "").substr(0, 255);
  File file(fopen(fileName_.c_str(), "r"));
  if (!file) {
    if (!create) Fail("Config file not found%s", "");
    File created(fopen(fileName_.c_str(), "a"));
    return;
  }
  std::string line;
  while (ReadLine(file.get(), line)) {
    if (line[0] == '#' || line[0] == '>') continue;  // comments; verbatim lines hold no keys
    size_t equals = line.find('=');
    Entry entry;
    if (equals == std::string::npos) {
      entry.key = Cut(StripNewline(line));
    } else {
      entry.key = Cut(line.substr(0, equals));
      entry.value = StripNewline(Cut(line.substr(equals + 1)));
    }
    entries_.push_back(std::move(entry));
  }
}

void KLogConfigReader::LoadSection(const char* path, const char* section) {
  section_ = section != nullptr ? section : "";
  fileName_ = std::string(path != nullptr ? path : "").substr(0, 255);
  File file(fopen(fileName_.c_str(), "r"));
  if (!file) Fail("Config file not found%s", "");
  entries_.clear();
  bool inside = false;
  std::string line;
  while (true) {
    errno = 0;
    if (!ReadLine(file.get(), line)) {
      if (ferror(file.get())) {
        Fail("Error reading configuration file (errno=%s)", std::to_string(errno).c_str());
      }
      if (!inside) Fail("Section [%s] not found", section_.c_str());
      return;
    }
    if (line[0] == '#' || line[0] == '\n') continue;
    std::string body = StripNewline(line);
    if (body[0] == '[') {
      if (body.back() != ']') Fail("Invalid section [%s]", line.c_str());
      if (inside) return;
      inside = strcasecmp(body.substr(1, body.size() - 2).c_str(), section_.c_str()) == 0;
      continue;
    }
    if (!inside) continue;
    Entry entry;
    size_t equals = body.find('=');
    entry.key = Cut(body.substr(0, equals));
    if (equals != std::string::npos) entry.value = Cut(Trim(body.substr(equals + 1)));
    entries_.push_back(std::move(entry));
  }
}

const KLogConfigReader::Entry* KLogConfigReader::Find(const char* key) const {
  if (key == nullptr) return nullptr;
  for (const Entry& entry : entries_) {
    if (strcasecmp(entry.key.c_str(), key) == 0) return &entry;
  }
  return nullptr;
}

const KLogConfigReader::Entry& KLogConfigReader::Search(const char* key) const {
  const Entry* entry = Find(key);
  if (entry == nullptr) Fail("Config item [%s] not found", key != nullptr ? key : "");
  return *entry;
}

std::string KLogConfigReader::GetStringDef(const char* key, const char* def) const {
  const Entry* entry = Find(key);
  return entry != nullptr ? entry->value : std::string(def != nullptr ? def : "");
}

bool KLogConfigReader::GetBoolDef(const char* key, bool def) const {
  const Entry* entry = Find(key);
  return entry != nullptr ? strcasecmp(entry->value.c_str(), "true") == 0 : def;
}
