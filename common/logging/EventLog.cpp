#include "logging/EventLog.h"

O_EventLog::O_EventLog(const char* sourceName) : m_source(RegisterEventSourceA(nullptr, sourceName)) {}

O_EventLog::~O_EventLog() {
    if (m_source)
        DeregisterEventSource(m_source);
}

void O_EventLog::report(logging::EventKind kind, const char* text) {
    static const WORD types[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE};
    if (!m_source)
        return;
    LPCSTR strings[] = {text};
    ReportEventA(m_source, types[static_cast<unsigned>(kind)], 0, logging::eventIdentifier(kind), nullptr, 1, 0,
                 strings, nullptr);
}
