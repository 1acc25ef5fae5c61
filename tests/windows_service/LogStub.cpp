// Stands in for the logging library while a tree has none: the statement
// goes to standard output as "<file>(<line>): <level>: <message>".
#include <cstdarg>
#include <cstdio>

#include "logging/Log.h"

void logStatement(unsigned level, const SourceLocation& where, const char* format, ...)
{
    std::printf("%s(%d): %u: ", where.file, where.line, level);
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::printf("\n");
}
