#include "common/logger/debug_log_settings.h"

DebugLogSettings::DebugLogSettings()
    : moduleName(new char[kModuleNameSize]()),
      syslogHost(new char[kSyslogHostSize]()),
      logFile(new char[kLogFileSize]()),
      created(static_cast<std::int64_t>(std::time(nullptr)))
{
}
