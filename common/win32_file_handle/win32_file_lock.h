#pragma once
// Whole-file byte-range locks on a handle_lock: shared for readers,
// exclusive for writers. They act between processes and between handles (a
// second handle in the same process conflicts too, because locks belong to
// handles). A lock is requested without blocking and retried with the
// back-off of the handle layer, for as long as the time-out allows; only
// ERROR_LOCK_VIOLATION is retried. Failures:
//  - boost::system::system_error "File open failed" with function "LockFile",
//    the file name and the throw site, for any other error;
//  - win32_file::temporarily_unavailable when the lock violation outlasts the
//    time-out, with that system_error nested;
//  - boost::thread_interrupted when the waiting thread is interrupted.

#include "win32_file_handle.h"

#include <boost/cstdint.hpp>

#include <memory>
#include <string>

namespace win32_file {

// A lock over the whole file, from offset 0 whatever its size.
class io_lock {
public:
    // Upgrades the handle (read, and write when exclusive), then locks. On
    // failure the handle_lock stays as the upgrade left it, unlocked. The
    // handle_lock must outlive the io_lock.
    io_lock(handle_lock& handle, bool exclusive, const timeout& wait);
    // Unlocks (result ignored).
    virtual ~io_lock();

    io_lock(const io_lock&) = delete;
    io_lock& operator=(const io_lock&) = delete;

    // The device of the locked handle; it never closes the handle.
    win32_file::device device() const;

protected:
    handle_lock& handle;
};

class read_lock : public io_lock, public trace::counted_object<read_lock> {
public:
    explicit read_lock(handle_lock& handle, const timeout& wait = boost::none);
};

class write_lock : public io_lock, public trace::counted_object<write_lock> {
public:
    explicit write_lock(handle_lock& handle, const timeout& wait = boost::none);
    // Ends the file at the handle's current file position (not a stream's:
    // flush buffered output first). Throws system_error "File truncation
    // failed".
    void truncate();
    // Brings everything the system still caches of the file (written
    // through any handle) to disk before it returns, while the lock is
    // held. Throws system_error "File flush failed".
    void flush();
    // Writes all of the bytes at the offset; throws as handle_lock::write.
    void write(boost::uint64_t offset, const std::string& bytes);
};

// Flags of locked_handle (and lockedFile).
enum : unsigned {
    open_read = 0x01,      // read access at open (the form with a time-out only)
    open_write = 0x02,     // may create the file, write access, exclusive lock
    open_truncate = 0x10,  // with open_write: empty the file right after locking
};

// A handle_lock and the one lock taken on it. Destruction unlocks, then
// closes; a failed constructor leaves nothing open.
class locked_handle {
public:
    // Waits without time-out and opens without rights; taking the lock then
    // reopens the handle with what it needs.
    locked_handle(const boost::filesystem::path& path, unsigned flags);
    locked_handle(const boost::filesystem::path& path, unsigned flags, boost::chrono::milliseconds wait);

    locked_handle(const locked_handle&) = delete;
    locked_handle& operator=(const locked_handle&) = delete;

    handle_lock& handle() { return handleLock; }
    const handle_lock& handle() const { return handleLock; }
    io_lock& lock() { return *ioLock; }

private:
    locked_handle(const boost::filesystem::path& path, unsigned flags, rights granted, const timeout& wait);

    handle_lock handleLock;
    std::unique_ptr<io_lock> ioLock;
};

// Ends the file of a raw handle at its current position (SetEndOfFile).
// Throws system_error "File truncation failed" with the throw site.
void setEndOfFile(HANDLE handle);

// Writes the file's cached data to disk (FlushFileBuffers; the handle needs
// write access). Throws system_error "File flush failed" with the throw site.
void flushToDisk(HANDLE handle);

// The last-write time of the file (GetFileTime). Throws system_error "File
// time retrieval failed" with the throw site.
FILETIME lastWriteTime(HANDLE handle);

namespace state {
// A stamp of the file's state: its last-write time in 100-ns units. Returns
// only once the system clock has moved past the stamp by the resolution the
// stamp shows (2 s when it is a multiple of 2 s, as on FAT; else 10 ms when
// a multiple of that), so that any later write gives a different stamp.
// Spins with Sleep(0) meanwhile. Throws as lastWriteTime.
boost::uint64_t getValue(const handle_lock& handle);
}  // namespace state

}  // namespace win32_file
