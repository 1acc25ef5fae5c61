#pragma once
// Log statements: a level, the place in the source, and a printf-style
// message, written synchronously to standard output and to the Windows
// Application event log. Caller-supplied text must always be an argument,
// never the format: LOG_INFO("Setting [%s] mode to %s", lines, mode).

namespace logging {
enum Level : unsigned { Error = 0, Warn = 1, Info = 2, Spec = 3, Ctrl = 4 };
}

struct SourceLocation {
    const char* file;
    int line;
    const char* function;  // the compiler's full signature
};

// Writes one message to both sinks; an ERROR statement first breaks into an
// attached debugger. Never throws and never reports its own failures.
void logStatement(unsigned level, const SourceLocation& where, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define LOG_AT(level, ...)                                                                                             \
    ::logStatement((level), ::SourceLocation{__FILE__, __LINE__, __PRETTY_FUNCTION__}, __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT(::logging::Error, __VA_ARGS__)
#define LOG_WARN(...) LOG_AT(::logging::Warn, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(::logging::Info, __VA_ARGS__)
