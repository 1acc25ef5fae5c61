#include "logging/LogLine.h"

#include "logging/ShortFunctionName.h"

#include <cstdio>

namespace logging {

fixed_size_streambuf::fixed_size_streambuf(char* buffer, std::size_t size)
{
    setp(buffer, buffer + size - 1);
}

void fixed_size_streambuf::vprint(const char* format, va_list args)
{
    const std::ptrdiff_t space = epptr() - pptr();
#ifdef _WIN32
    // Writes at most `space` characters, without NUL when the text does not
    // fit, and then reports a negative count.
    const int written = _vsnprintf(pptr(), static_cast<std::size_t>(space), format, args);
#else
    // The byte kept for the NUL lies right after the covered area, so the
    // C99 form may use it for its own terminator.
    const int written = std::vsnprintf(pptr(), static_cast<std::size_t>(space) + 1, format, args);
#endif
    const std::ptrdiff_t advance = written < 0 || written > space ? space : written;
    pbump(static_cast<int>(advance));
}

const char* fixed_size_streambuf::terminate()
{
    *pptr() = '\0';
    return pbase();
}

LogLine::LogLine() : buffer(text, capacity), output(&buffer) {}

void LogLine::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    buffer.vprint(format, args);
    va_end(args);
}

const char* levelName(unsigned level)
{
    static const char* const names[] = {"ERROR", "WARN", "INFO", "SPEC", "CTRL"};
    return level < sizeof names / sizeof names[0] ? names[level] : "<unknown>";
}

EventKind eventKind(unsigned level)
{
    switch (level) {
    case Error:
        return EventKind::Error;
    case Warn:
        return EventKind::Warning;
    default:
        return EventKind::Information;
    }
}

std::uint32_t eventIdentifier(EventKind kind)
{
    // Facility 7, codes 1 to 3, severities success, warning and error: the
    // three entries of the program's message table.
    static const std::uint32_t identifiers[] = {0x00070001u, 0x80070002u, 0xC0070003u};
    return identifiers[static_cast<unsigned>(kind)];
}

void composeConsoleLine(LogLine& line, unsigned level, const SourceLocation& where, const char* format, va_list args)
{
    line.print("%s(%d): %s: [", where.file, where.line, levelName(level));
    writeShortFunctionName(where.function, line.stream());
    line.stream() << "] : ";
    line.vprint(format, args);
    line.stream() << '\n';
}

void composeEventText(LogLine& line, const SourceLocation& where, const char* format, va_list args)
{
    line.stream() << '[';
    writeShortFunctionName(where.function, line.stream());
    line.stream() << "] ";
    line.vprint(format, args);
}

}  // namespace logging
