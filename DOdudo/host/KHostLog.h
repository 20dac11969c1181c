#pragma once

#include <cstdarg>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/host/KExport.h"

// The host layer's own warnings and notices (thread start and stop, scheduler and priority
// changes, joins) belong to the process's running log. They all pass through KRunningLogWrite, so
// that the layer needs nothing heavier than the logger front end.
//
// The line is formatted here (at most 2047 characters, longer text is cut) and handed to the
// current sink. The default sink is KRunningLog::Log: the process-wide logger of source System, name
// "DIRUZED", module "running". Never throws; safe from any thread.
DODUDO_API void KRunningLogWrite(KLogLevel level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
DODUDO_API void KRunningLogWriteV(KLogLevel level, const char* format, va_list args);

// Receives one formatted line (without a newline).
using KRunningLogSink = void (*)(KLogLevel level, const char* text);

// Replaces the sink (null restores the default) and returns the previous one. Meant for the
// logging system and for tests that check what the host layer reports.
DODUDO_API KRunningLogSink SetRunningLogSink(KRunningLogSink sink);
