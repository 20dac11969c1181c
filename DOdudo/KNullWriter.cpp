#include "DOdudo/KNullWriter.h"

namespace dodudo {

KNullWriter::KNullWriter() = default;
KNullWriter::~KNullWriter() = default;
void KNullWriter::CheckDay(unsigned int) {}
void KNullWriter::Write(const char*, va_list) {}
void KNullWriter::Flush(bool) {}
std::string KNullWriter::Name() { return std::string(); }

}  // namespace dodudo
