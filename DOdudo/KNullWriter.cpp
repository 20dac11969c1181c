#include "DOdudo/KNullWriter.h"

namespace dodudo {

KNullWriter::KNullWriter() = default;
KNullWriter::~KNullWriter() = default;
void KNullWriter::CheckDay(unsigned int) {}
void KNullWriter::Write(const char*, va_list) {}
void KNullWriter::Flush(bool) {}
kstring KNullWriter::Name() { return kstring(); }

}  // namespace dodudo
