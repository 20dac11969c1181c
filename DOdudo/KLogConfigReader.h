#pragma once

#include <string>
#include <vector>

#include "DOdudo/host/KExport.h"

// The reader the log filter loads klog.cfg with. Two ways of loading:
//  - LoadFile takes every line of the file as one flat list of keys; nothing is trimmed, so the
//    line "MaxLogFileSize = 2000" defines the key "MaxLogFileSize " (with its blank).
//  - LoadSection takes the lines of one [section] (names matched without regard to case); keys
//    are not trimmed, values are.
// Keys are matched without regard to case; the first of duplicate keys wins; "#" starts a comment
// line; a value "@" means "undefined, use the default". Key and value are cut to 99 characters,
// lines are read in pieces of at most 199 characters.
//
// Failures throw KBaseException whose message ends with "(config[<file>])": "Config file not
// found", "Section [%s] not found", "Invalid section [%s]", "Config item [%s] not found".
// One reader is used by one thread at a time.
class DODUDO_API KLogConfigReader {
 public:
  struct Entry {
    std::string key;
    std::string value;
  };

  KLogConfigReader() = default;
  virtual ~KLogConfigReader();

  virtual void LoadFile(const char* path, bool create);
  virtual void LoadSection(const char* path, const char* section);

  // The first entry with the key; throws "Config item [%s] not found".
  const Entry& Search(const char* key) const;
  const Entry* Find(const char* key) const;
  std::string GetStringDef(const char* key, const char* def) const;
  bool GetBoolDef(const char* key, bool def) const;

  const std::string& SectionName() const { return section_; }
  const std::vector<Entry>& Entries() const { return entries_; }

 private:
  [[noreturn]] void Fail(const char* format, const char* argument) const;

  std::string fileName_;
  std::string section_;
  std::vector<Entry> entries_;
};
