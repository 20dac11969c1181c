#pragma once

#include "DOdudo/KLogDefs.h"

// Reports a failure of the logging system itself to the operating system's log, with the C
// library's default identity and facility: error -> LOG_ERR, warning -> LOG_WARNING, anything
// else -> LOG_NOTICE. Thread-safe; never fails.
DODUDO_API void SysLog(KLogLevel level, const char* text);
