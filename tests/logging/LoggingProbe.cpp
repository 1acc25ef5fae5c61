// Issues the log statements named on its command line, for tests that watch
// the program's sinks from outside: "<level> <message>" pairs, each logged
// as LOG_AT(level, "probe says %s", message); "--kill" ends the process at
// once, without the runtime's exit-time flushing.
#include "logging/Log.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace probe {
struct Reporter {  // the tests expect the statement below on line 14
    void report(unsigned level, const char* message) const { LOG_AT(level, "probe says %s", message); }
};
}  // namespace probe

int main(int argc, char** argv)
{
    const probe::Reporter reporter;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kill") == 0)
            TerminateProcess(GetCurrentProcess(), 3);
        else if (i + 1 < argc) {
            reporter.report(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)), argv[i + 1]);
            ++i;
        }
    }
    return 0;
}
