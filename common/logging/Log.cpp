// The two sinks of a log statement and the debugger break.

#include "logging/Log.h"

#include "logging/EventLog.h"
#include "logging/LogLine.h"
#include "logging/VersionInfo.h"

#include <windows.h>

#include <iostream>
#include <string>

namespace logging {
namespace {

// Nothing in the program clears it; it lets a debugging session stop at
// every error where it happens.
bool breakOnError = true;

void debuggerBreak()
{
    if (breakOnError && IsDebuggerPresent())
        __debugbreak();
}

void consoleSink(unsigned level, const SourceLocation& where, const char* format, va_list args)
{
    LogLine line;
    composeConsoleLine(line, level, where, format, args);
    // Flushed line by line: output redirected to a file or pipe would
    // otherwise lose its last lines when the process is killed.
    std::cout << line.terminate() << std::flush;
}

// The source the records are reported under: the program's description
// in its version information. Read on the first statement only (threads
// that log meanwhile wait for that one read): reading the version block
// opens and maps the executable, which took milliseconds on every
// statement, a toggle's first one before its first write among them.
const std::string& eventSourceName()
{
    static const std::string name = VersionInfo(ownModulePath()).stringValue("FileDescription");
    return name;
}

void eventLogSink(unsigned level, const SourceLocation& where, const char* format, va_list args)
{
    LogLine line;
    composeEventText(line, where, format, args);
    O_EventLog log(eventSourceName().c_str());
    log.report(eventKind(level), line.terminate());
}

}  // namespace
}  // namespace logging

void logStatement(unsigned level, const SourceLocation& where, const char* format, ...)
{
    if (level == logging::Error)
        logging::debuggerBreak();
    // Logging must never be the reason a statement fails: what a sink throws
    // (a console stream set to throw, no memory for the version block) stays
    // here, and the other sink still runs.
    va_list args;
    va_start(args, format);
    try {
        logging::consoleSink(level, where, format, args);
    } catch (...) {
    }
    va_end(args);
    va_start(args, format);
    try {
        logging::eventLogSink(level, where, format, args);
    } catch (...) {
    }
    va_end(args);
}
