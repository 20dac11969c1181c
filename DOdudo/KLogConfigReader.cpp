#include "DOdudo/KLogConfigReader.h"

KLogConfigReader::~KLogConfigReader() = default;

void KLogConfigReader::LoadSection(const char* path, const char* section) {
  section_ = section != nullptr ? section : "";
  KConfigReader::LoadSection(path, section);
}
