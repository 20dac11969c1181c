#pragma once

#include "DOdudo/host/KExport.h"

namespace dodudo {

// Entry points of an application built on the toolkit. Initialize starts the log manager's
// reload thread (which keeps a connection to the local log server); Finalize stops it. Both may
// be called from any thread, Finalize at most once per Initialize; neither throws.
DODUDO_API void Initialize();
DODUDO_API void Finalize();

}  // namespace dodudo
