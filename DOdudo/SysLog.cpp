#include "DOdudo/SysLog.h"

#include <syslog.h>

void SysLog(KLogLevel level, const char* text) {
  int priority = LOG_NOTICE;
  if (level == klogError) priority = LOG_ERR;
  if (level == klogWarning) priority = LOG_WARNING;
  syslog(priority, "%s", text != nullptr ? text : "");
}
