#include "win32_file_replace.h"
#include "win32_file_calls.h"
#include "win32_file_lock.h"
#include "win32_file_retry.h"

#include <boost/exception/errinfo_api_function.hpp>
#include <boost/exception/errinfo_file_name.hpp>
#include <boost/exception/info.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

namespace win32_file {

namespace {

// A process that has the source or the target open without delete sharing
// makes the move fail with one of these until it closes its handle.
bool isMoveBlocked(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

[[noreturn]] void throwFailure(DWORD error, const char* text, const char* function, const boost::filesystem::path& file,
                               const boost::source_location& site)
{
    boost::throw_exception(boost::enable_error_info(boost::system::system_error(static_cast<int>(error),
                                                                                boost::system::system_category(), text))
                               << boost::errinfo_api_function(function) << boost::errinfo_file_name(file.string()),
                           site);
}

}  // namespace

void replaceDurably(const boost::filesystem::path& path, const boost::filesystem::path& temp, const std::string& bytes,
                    const timeout& wait)
{
    {
        handle_lock file(id{temp}, disposition::open_always, rights::read_write, wait);
        file.write(0, bytes.data(), bytes.size());
        // A temporary file left longer by an earlier failure ends here.
        setEndOfFile(file.handle());
        flushToDisk(file.handle());
    }
    moveDurably(temp, path, wait);
}

void moveDurably(const boost::filesystem::path& from, const boost::filesystem::path& to, const timeout& wait,
                 existing_target existing)
{
    const DWORD flags = MOVEFILE_WRITE_THROUGH |
                        (existing == existing_target::replace ? MOVEFILE_REPLACE_EXISTING : DWORD(0));
    retryTimer timer(wait, to);
    while (!sys::moveFileEx(from, to, flags)) {
        const DWORD error = ::GetLastError();
        if (!isMoveBlocked(error) || timer.passed())
            throwFailure(error, "File move failed", "MoveFileEx", from, BOOST_CURRENT_LOCATION);
        timer.wait();
    }
}

}  // namespace win32_file
