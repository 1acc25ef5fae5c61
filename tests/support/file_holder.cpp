// file_holder: a second process that holds a file open or locked on command,
// for tests and benchmarks that need a real foreign process in the way.
// Tests drive it through FileHolder (FileHolder.h), which starts it from the
// folder of the running test program.
//
// It reads one command per line from standard input and answers each with
// one line on standard output, flushed at once (queuelock may first answer
// "waiting"):
//   "ok" or "ok <number>"      the command succeeded
//   "error <Win32 code>"       it failed, e.g. "error 33" for a lock conflict
// It holds at most one handle. At "exit" or at the end of its input it closes
// the handle (releasing every lock) and exits, so a test that dies never
// leaves a file held.
//
// Commands (the path is the rest of the line, blanks included):
//   open <path>                    open an existing file with read and write
//                                  access, sharing read, write and delete
//   deny <path>                    open an existing file with read access,
//                                  denying all sharing (others then fail
//                                  with 32)
//   nodelete <path>                open an existing file with read access,
//                                  sharing read and write but not delete
//                                  (others read it; a move of it fails)
//   lock shared|exclusive          lock the whole file, failing at once;
//                                  answers "ok <file size>"
//   waitlock shared|exclusive      the same, waiting until the lock is
//                                  granted; the size is read right after
//   queuelock shared|exclusive     the same, but when another handle holds a
//                                  conflicting lock it first answers
//                                  "waiting" and only then waits: a test
//                                  that reads "waiting" knows the request
//                                  was made before that lock's release
//   unlock                         unlock the whole file
//   size                           "ok <file size>"
//   close                          close the handle
//   exit

#include <windows.h>

#include <iostream>
#include <string>

#include "handle/KernelHandle.h"

namespace {

KernelHandle held;

std::string failure(DWORD error)
{
    return "error " + std::to_string(error);
}

std::string success(const std::string& value = std::string())
{
    return value.empty() ? "ok" : "ok " + value;
}

std::string sizeOrFailure()
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(held.get(), &size))
        return failure(GetLastError());
    return success(std::to_string(size.QuadPart));
}

void closeHeld()
{
    held.reset();
}

std::string open(const std::string& path, DWORD access, DWORD share)
{
    closeHeld();
    held.reset(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return held ? success() : failure(GetLastError());
}

std::string lock(const std::string& kind, bool wait)
{
    if (kind != "shared" && kind != "exclusive")
        return failure(ERROR_INVALID_PARAMETER);
    const DWORD flags = (kind == "exclusive" ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    OVERLAPPED fromStart = {};
    if (!LockFileEx(held.get(), flags, 0, 0xFFFFFFFF, 0xFFFFFFFF, &fromStart))
        return failure(GetLastError());
    return sizeOrFailure();
}

std::string queuedLock(const std::string& kind)
{
    const std::string atOnce = lock(kind, false);
    if (atOnce != failure(ERROR_LOCK_VIOLATION))
        return atOnce;
    std::cout << "waiting" << std::endl;
    return lock(kind, true);
}

std::string unlock()
{
    OVERLAPPED fromStart = {};
    return UnlockFileEx(held.get(), 0, 0xFFFFFFFF, 0xFFFFFFFF, &fromStart) ? success() : failure(GetLastError());
}

std::string execute(const std::string& line)
{
    const std::string::size_type blank = line.find(' ');
    const std::string verb = line.substr(0, blank);
    const std::string argument = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    if (verb == "open")
        return open(argument, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (verb == "deny")
        return open(argument, GENERIC_READ, 0);
    if (verb == "nodelete")
        return open(argument, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (verb == "lock")
        return lock(argument, false);
    if (verb == "waitlock")
        return lock(argument, true);
    if (verb == "queuelock")
        return queuedLock(argument);
    if (verb == "unlock")
        return unlock();
    if (verb == "size")
        return sizeOrFailure();
    if (verb == "close") {
        closeHeld();
        return success();
    }
    return failure(ERROR_INVALID_FUNCTION);
}

}  // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "exit")
            break;
        std::cout << execute(line) << std::endl;
    }
    closeHeld();
    return 0;
}
