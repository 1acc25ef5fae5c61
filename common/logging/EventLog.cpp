#include "logging/EventLog.h"

O_EventLog::O_EventLog(const char* sourceName) : source(RegisterEventSourceA(nullptr, sourceName)) {}

O_EventLog::~O_EventLog()
{
    if (source)
        DeregisterEventSource(source);
}

void O_EventLog::report(logging::EventKind kind, const char* text)
{
    static const WORD types[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE};
    if (!source)
        return;
    LPCSTR strings[] = {text};
    ReportEventA(source, types[static_cast<unsigned>(kind)], 0, logging::eventIdentifier(kind), nullptr, 1, 0, strings,
                 nullptr);
}
