// LoadSection over arbitrary file contents. The input's first line names the section to load,
// the rest is the file; then every getter and a save/reload.
#include "FuzzConfigSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzsupport::ScratchFile input("loadsection");
  static fuzzsupport::ScratchFile saved("loadsection_saved");
  const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
  size_t nameLength = newline != nullptr ? static_cast<size_t>(newline - data) : size;
  std::string section(reinterpret_cast<const char*>(data), nameLength);
  size_t rest = newline != nullptr ? size - nameLength - 1 : 0;
  input.Write(newline != nullptr ? newline + 1 : data, rest);
  KConfigReader reader;
  try {
    reader.LoadSection(input.Path(), section.c_str());
  } catch (const KTemplateException<KConfigReader>&) {
    // Missing or invalid sections; whatever was read stays and is exercised below.
  }
  fuzzsupport::ExerciseGetters(reader, saved.Path());
  return 0;
}
