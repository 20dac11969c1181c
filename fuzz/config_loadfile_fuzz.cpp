// LoadFile over arbitrary file contents, then every getter and a save/reload.
#include "FuzzConfigSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzsupport::ScratchFile input("loadfile");
  static fuzzsupport::ScratchFile saved("loadfile_saved");
  input.Write(data, size);
  KConfigReader reader;
  reader.LoadFile(input.Path(), false);
  fuzzsupport::ExerciseGetters(reader, saved.Path());
  return 0;
}
