#pragma once
// The retry machinery of the handle layer: the back-off of one open, reopen
// or lock operation and the raw open and reopen steps. Used by
// win32_file_handle.cpp and win32_file_lock.cpp; exposed so that tests can
// drive the policy with a clock and waits of their own.

#include "win32_file_handle.h"

#include <boost/assert/source_location.hpp>
#include <boost/chrono/system_clocks.hpp>
#include <boost/cstdint.hpp>

#include <string>

namespace win32_file {

// The clock and the two kinds of wait a retryTimer uses.
class retry_environment {
public:
    typedef boost::chrono::steady_clock::time_point time_point;
    virtual time_point now() = 0;
    // Gives up the rest of the time slice; not an interruption point.
    virtual void yield() = 0;
    // Sleeps for a positive length; an interruption point.
    virtual void sleep(boost::chrono::milliseconds length) = 0;

protected:
    ~retry_environment() {}
};

// The steady clock, Sleep(0) and boost::this_thread::sleep_for.
retry_environment& systemEnvironment();

// The back-off of one operation on the file waited for, made fresh for each one: ten
// yields, then sleeps of 0, 10, ... 90 ms, then 100 ms before every further
// attempt. A wait that goes on for a few seconds is logged (WARN, naming
// the file), and so is its end, with how long it lasted.
class retryTimer {
public:
    retryTimer(const timeout& wait, const boost::filesystem::path& waitedFor,
               retry_environment& environment = systemEnvironment());
    // Logs the end of a wait that was logged.
    ~retryTimer();
    retryTimer(const retryTimer&) = delete;
    retryTimer& operator=(const retryTimer&) = delete;

    // The deadline has come (now at or after it); never without a time-out.
    bool passed() const;
    // Waits before the next attempt and advances the back-off.
    void wait();

private:
    boost::optional<retry_environment::time_point> deadline;
    boost::int32_t yieldsLeft;
    boost::int32_t growthsLeft;
    boost::int64_t sleepMs;
    retry_environment* environment;
    std::string file;
    retry_environment::time_point started;
    // The exceptions in flight at the start: one more at the end means the
    // operation gave up or was interrupted rather than got the file.
    int exceptionsAtStart;
    bool reported;
};

// Which Win32 errors are worth another attempt.
typedef bool (*retry_test)(DWORD error);
// ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION: another handle is in the way.
bool isSharingOrLockViolation(DWORD error);
// ERROR_LOCK_VIOLATION only: another handle holds a conflicting lock.
bool isLockViolation(DWORD error);

// Called after each failed attempt. Returns after a wait when the error
// passes the test and the deadline has not passed. Otherwise throws
// system_error(error, "File open failed") with the function name, the path
// and the throw site attached: as it is for an error the test rejects, or
// nested in a temporarily_unavailable for a retryable one.
void retryOrThrow(retry_test retryable, DWORD error, const boost::source_location& site, retryTimer& timer,
                  const std::string& narrowPath, const char* function);

// Opens a new handle with CreateFileA, retrying through the timer; a failed
// write open of an existing file is repeated once with the read-only, hidden
// and system attributes cleared (and put back afterwards).
KernelHandle createHandle(const boost::filesystem::path& path, DWORD access, DWORD share, disposition opening,
                          retryTimer& timer);

// Replaces handle by one with the given access to the same file object,
// reopened through the open handle with NtCreateFile. Without a timer a
// failed reopen is not retried; then, as when ntdll lacks NtCreateFile, the
// file is opened by path instead (waiting without time-out). On failure the
// old handle is kept.
void recreateHandle(KernelHandle& handle, const boost::filesystem::path& path, DWORD access, DWORD share,
                    retryTimer* timer);

}  // namespace win32_file
