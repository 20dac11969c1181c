#pragma once

#include <cstdarg>

#include "DOdudo/config/KList.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

class KConfigReader;

// Failures of the configuration reader. The message is the formatted text followed by
// "(config[<file name>])", for instance "Config file not found(config[app.cfg])".
template <>
class DODUDO_API KTemplateException<KConfigReader> : public KBaseException {
 public:
  KTemplateException(KConfigReader* reader, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

 protected:
  KTemplateException() = default;
  void Build(KConfigReader* reader, const char* format, va_list args);
};

// A key is not in the list.
class DODUDO_API KItemNotFoundException : public KTemplateException<KConfigReader> {
 public:
  KItemNotFoundException(KConfigReader* reader, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

// A key is present but its value is "@", the undefined marker: the default applies.
class DODUDO_API KValueUndefinedException : public KTemplateException<KConfigReader> {
 public:
  KValueUndefinedException(KConfigReader* reader, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

// One configuration entry, a 200-byte block. A key entry holds the key in the first 100 bytes and
// the value in the last 100, each at most 99 characters and NUL-terminated. A verbatim entry
// (a file line that begins with '>') holds the whole line, up to 199 characters, across the block.
struct DODUDO_API KConfigItem {
  static constexpr int kFieldSize = 100;
  char text[2 * kFieldSize];

  bool IsVerbatim() const { return text[0] == '>'; }
  char* Key() { return text; }
  char* Value() { return text + kFieldSize; }
  const char* Key() const { return text; }
  const char* Value() const { return text + kFieldSize; }
};

// Reader of the toolkit's line-oriented ".cfg" files: a list of entries in file order (duplicate
// keys are kept; look-ups find the first, comparing keys without regard to case).
//
// LoadFile appends every line of a file as a flat list, untrimmed; LoadSection replaces the list
// with the trimmed entries of one "[section]". Getters throw KItemNotFoundException for a missing
// key, KValueUndefinedException for "@" (numeric getters), and KTemplateException<KConfigReader>
// for a value that is not a number; the *Def getters turn the first two into the default.
//
// Ownership: the reader owns its entries; pointers from Search/GetString stay valid until Clear,
// LoadSection or destruction. Threading: no locking, one thread at a time.
class DODUDO_API KConfigReader : public KList {
 public:
  KConfigReader();
  void Clear() override;
  ~KConfigReader() override;

  virtual void LoadFile(const dodudo::kstring& path);
  virtual void LoadFile(const char* path, bool create);
  virtual void LoadSection(const char* path, const char* section);
  virtual void SaveFile();
  // Reports non-fatal events (defaults used, a file created). Does nothing here; a derived reader
  // overrides it to send them to a log.
  virtual void Warning(const char* text);

  void SetConfigFileName(const char* name);
  const char* GetConfigFileName() const { return fileName_; }

  KConfigItem* Search(const char* key);
  // Replaces the value of the key, or appends a new entry; both cut to 99 characters.
  void SetValue(const char* key, const char* value);
  bool ValueExists(const char* key);

  char* GetString(const char* key);
  int GetInteger(const char* key);
  int GetHexadecimal(const char* key);
  // Accepts a decimal comma, which is turned into a point in the stored value.
  double GetDouble(const char* key);
  // true only for "true" in any case.
  bool GetBool(const char* key);

  int GetIntDef(const char* key, int def);
  int GetHexDef(const char* key, int def);
  double GetDoubleDef(const char* key, double def);
  bool GetBoolDef(const char* key, bool def);
  // The stored text of a present key (even "@"), else def.
  const char* GetStringDef(const char* key, const char* def);

  // Comma-separated values. out must hold 100 characters.
  bool GetStringAtPos(const char* key, char* out, int pos);
  bool IsContained(const char* key, int number);
  // Appends one entry per non-empty field (trimmed key, empty value) to out, which owns them.
  void GetFieldList(const char* key, KConfigReader* out);

  void vWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));

 protected:
  // A key entry from raw text: at most 99 characters of each, the rest is cut.
  static KConfigItem* NewItem(const char* key, size_t keyLength, const char* value,
                              size_t valueLength);

 private:
  void AddLoadFileLine(const char* line);
  void AddSectionLine(char* line);

  char fileName_[256];
};
