#include "DOdudo/DOdudo.h"

#include "DOdudo/KLogger.h"

namespace dodudo {

void Initialize() { KLogger::NotifyAppInitialization(); }

void Finalize() { KLogger::NotifyAppTermination(); }

}  // namespace dodudo
