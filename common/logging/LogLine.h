#pragma once
// The text of one log statement, composed without heap memory in a fixed
// buffer on the statement's stack, and the level table that both sinks use.

#include "logging/Log.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

namespace logging {

// A stream buffer over a caller's array of `size` bytes. It takes at most
// size - 1 characters and keeps the last byte for the terminating NUL; a
// write past that is dropped and puts the stream on it into its failed
// state.
class fixed_size_streambuf : public std::streambuf {
public:
    fixed_size_streambuf(char* buffer, std::size_t size);
    fixed_size_streambuf(const fixed_size_streambuf&) = delete;
    fixed_size_streambuf& operator=(const fixed_size_streambuf&) = delete;

    // printf-style output into the space left, bounded by it: text that does
    // not fit is cut and leaves the buffer full.
    void vprint(const char* format, va_list args);

    // Stores a NUL after the last character written and returns the text.
    const char* terminate();

    std::size_t length() const { return static_cast<std::size_t>(pptr() - pbase()); }
};

// One statement's line: the 4096-byte array, its stream buffer and a
// stream on it.
class LogLine {
public:
    static constexpr std::size_t capacity = 4096;

    LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::ostream& stream() { return output; }
    void vprint(const char* format, va_list args) { buffer.vprint(format, args); }
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* terminate() { return buffer.terminate(); }
    std::size_t length() const { return buffer.length(); }

private:
    char text[capacity];
    fixed_size_streambuf buffer;
    std::ostream output;
};

// "ERROR", "WARN", "INFO", "SPEC", "CTRL", or "<unknown>" for any other level.
const char* levelName(unsigned level);

// Which of the three event kinds a level is reported as.
enum class EventKind : unsigned { Information = 0, Warning = 1, Error = 2 };
EventKind eventKind(unsigned level);
// The message-table identifier the event viewer shows the text under.
std::uint32_t eventIdentifier(EventKind kind);

// "<file>(<line>): <LEVEL>: [<short function name>] : <message>\n"
void composeConsoleLine(LogLine& line, unsigned level, const SourceLocation& where, const char* format, va_list args);

// "[<short function name>] <message>": no file, line, level or line end.
void composeEventText(LogLine& line, const SourceLocation& where, const char* format, va_list args);

}  // namespace logging
