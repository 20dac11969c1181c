#pragma once

// Shared by the configuration harnesses: a scratch file per process and a pass of every getter
// over whatever was loaded.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "DOdudo/config/KConfigReader.h"

namespace fuzzsupport {

// A file in memory (/dev/shm, else /tmp) owned by this process, removed at exit.
class ScratchFile {
 public:
  explicit ScratchFile(const char* tag) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(dir) + "/snl_fuzz_" + tag + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) abort();
    close(fd);
    path_ = name.data();
  }
  ~ScratchFile() { unlink(path_.c_str()); }
  void Write(const uint8_t* data, size_t size) {
    FILE* file = fopen(path_.c_str(), "wb");
    if (file == nullptr) abort();
    if (size != 0 && fwrite(data, 1, size, file) != size) abort();
    fclose(file);
  }
  const char* Path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Runs every getter over every key the reader holds. Only the reader's own exceptions are
// expected; anything else escapes and is reported as a crash.
inline void ExerciseGetters(KConfigReader& reader, const char* savePath) {
  // Getters throw for most fuzzed values; a few dozen keys keep every path busy without
  // spending each run on unwinding.
  constexpr size_t kMaxKeys = 24;
  std::vector<std::string> keys;
  for (KListNode* node = reader.Head(); node != nullptr && keys.size() < kMaxKeys;
       node = node->next) {
    auto* item = static_cast<KConfigItem*>(node->data);
    if (!item->IsVerbatim()) keys.emplace_back(item->Key());
  }
  keys.emplace_back("missing key");
  for (const std::string& key : keys) {
    const char* k = key.c_str();
    try {
      reader.GetInteger(k);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetHexadecimal(k);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetDouble(k);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetBool(k);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetIntDef(k, 1);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetHexDef(k, 1);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    try {
      reader.GetDoubleDef(k, 1.0);
    } catch (const KTemplateException<KConfigReader>&) {
    }
    reader.GetBoolDef(k, true);
    reader.GetStringDef(k, "default");
    reader.ValueExists(k);
    char out[100];
    for (int pos = 0; pos < 4; ++pos) reader.GetStringAtPos(k, out, pos);
    reader.IsContained(k, 0);
    reader.IsContained(k, 1);
    KConfigReader fields;
    try {
      reader.GetFieldList(k, &fields);
    } catch (const KTemplateException<KConfigReader>&) {
    }
  }
  if (!keys.empty()) reader.SetValue(keys.front().c_str(), keys.back().c_str());
  reader.SetConfigFileName(savePath);
  reader.SaveFile();
  KConfigReader again;
  again.LoadFile(savePath, false);
}

}  // namespace fuzzsupport
