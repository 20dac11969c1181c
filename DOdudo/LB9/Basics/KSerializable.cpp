#include "DOdudo/LB9/Basics/KSerializable.h"

namespace dodudo {

// Out of line so that the vtables and type information live in the library.
KSerializable::~KSerializable() = default;
KSerializer::~KSerializer() = default;

}  // namespace dodudo
