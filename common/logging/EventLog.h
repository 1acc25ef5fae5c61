#pragma once
// The program's records in the Windows Application event log.

#include "logging/LogLine.h"

#include <windows.h>

// One event source, registered for as long as the object lives.
class O_EventLog {
public:
    // Opens the source on the local computer; on failure the object holds
    // no handle and report does nothing.
    explicit O_EventLog(const char* sourceName);
    virtual ~O_EventLog();
    O_EventLog(const O_EventLog&) = delete;
    O_EventLog& operator=(const O_EventLog&) = delete;

    // Reports `text` as the one insertion string of an event of that kind,
    // under the kind's message identifier; a failure is ignored.
    void report(logging::EventKind kind, const char* text);

private:
    HANDLE source;
};
