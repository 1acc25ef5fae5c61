#include "win32_file_lock.h"
#include "win32_file_calls.h"
#include "win32_file_retry.h"

#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

namespace win32_file {

namespace {

// Both halves of the unlock length: the range covers every possible offset.
const DWORD wholeFile = 0xFFFFFFFF;

// Last-write times are kept in these steps by FAT (2 s) and by file systems
// that round to 10 ms; in 100-ns units.
const boost::uint64_t coarseResolution = 20000000;
const boost::uint64_t fineResolution = 100000;

boost::uint64_t toUint64(const FILETIME& time)
{
    return (static_cast<boost::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

BOOL tryLock(HANDLE handle, bool exclusive)
{
    return sys::lockFile(handle, LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0));
}

}  // namespace

io_lock::io_lock(handle_lock& handle, bool exclusive, const timeout& wait) : handle(handle)
{
    handle.upgrade(exclusive ? rights::read_write : rights::read, wait);
    retryTimer timer(wait, handle.file().path);
    const std::string narrowPath = handle.file().path.string();
    while (!tryLock(handle.handle(), exclusive))
        retryOrThrow(isLockViolation, ::GetLastError(), BOOST_CURRENT_LOCATION, timer, narrowPath, "LockFile");
}

io_lock::~io_lock()
{
    OVERLAPPED fromStart = {};
    ::UnlockFileEx(handle.handle(), 0, wholeFile, wholeFile, &fromStart);
}

device io_lock::device() const
{
    return handle.device();
}

read_lock::read_lock(handle_lock& handle, const timeout& wait) : io_lock(handle, false, wait) {}

write_lock::write_lock(handle_lock& handle, const timeout& wait) : io_lock(handle, true, wait) {}

void write_lock::truncate()
{
    setEndOfFile(handle.handle());
}

void write_lock::flush()
{
    flushToDisk(handle.handle());
}

void write_lock::write(boost::uint64_t offset, const std::string& bytes)
{
    handle.write(offset, bytes.data(), bytes.size());
}

locked_handle::locked_handle(const boost::filesystem::path& path, unsigned flags)
    : locked_handle(path, flags, rights::none, boost::none)
{
}

locked_handle::locked_handle(const boost::filesystem::path& path, unsigned flags, boost::chrono::milliseconds wait)
    : locked_handle(path, flags,
                    (flags & open_write)  ? rights::read_write
                    : (flags & open_read) ? rights::read
                                          : rights::none,
                    timeout(wait))
{
}

locked_handle::locked_handle(const boost::filesystem::path& path, unsigned flags, rights granted, const timeout& wait)
    : handleLock(id{path}, (flags & open_write) ? disposition::open_always : disposition::open_existing, granted, wait)
{
    if (flags & open_write) {
        std::unique_ptr<write_lock> exclusive(new write_lock(handleLock, wait));
        if (flags & open_truncate)
            exclusive->truncate();  // the position is still 0
        ioLock = std::move(exclusive);
    } else {
        ioLock.reset(new read_lock(handleLock, wait));
    }
}

void setEndOfFile(HANDLE handle)
{
    if (!sys::setEndOfFile(handle))
        boost::throw_exception(boost::system::system_error(static_cast<int>(::GetLastError()),
                                                           boost::system::system_category(), "File truncation failed"),
                               BOOST_CURRENT_LOCATION);
}

void flushToDisk(HANDLE handle)
{
    if (!sys::flushFileBuffers(handle))
        boost::throw_exception(boost::system::system_error(static_cast<int>(::GetLastError()),
                                                           boost::system::system_category(), "File flush failed"),
                               BOOST_CURRENT_LOCATION);
}

FILETIME lastWriteTime(HANDLE handle)
{
    FILETIME written;
    if (!::GetFileTime(handle, nullptr, nullptr, &written))
        boost::throw_exception(boost::system::system_error(static_cast<int>(::GetLastError()),
                                                           boost::system::system_category(),
                                                           "File time retrieval failed"),
                               BOOST_CURRENT_LOCATION);
    return written;
}

namespace state {

boost::uint64_t getValue(const handle_lock& handle)
{
    const boost::uint64_t value = toUint64(lastWriteTime(handle.handle()));
    const boost::uint64_t resolution = value % coarseResolution == 0 ? coarseResolution
                                       : value % fineResolution == 0 ? fineResolution
                                                                     : 0;
    const boost::uint64_t limit = value + resolution;
    for (;;) {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        if (toUint64(now) > limit)
            return value;
        ::Sleep(0);
    }
}

}  // namespace state

}  // namespace win32_file
