#pragma once
// Byte streams on files held open and locked by the win32_file layer.
//
// The stream reads, writes and seeks straight at the handle's file position
// through a device that never closes the handle, with Boost.Iostreams'
// default buffers. Its exception mask is bad-bit only: a device error
// (std::ios_base::failure, e.g. "failed reading") reaches the caller, while
// end of file and failed extractions only set state flags.
//
// Output may stay in the stream's buffer until a flush, a seek or the
// destruction of the object; the destructor always writes it before the lock
// is released, but swallows any error in doing so: flush explicitly when the
// output must be known to have arrived. Truncation cuts at the handle's
// position, not the stream's: flush before truncating.
//
// Opening and locking throw as win32_file_lock.h describes; a constructor
// that fails releases whatever it had taken.

#include "win32_file_handle/win32_file_handle.h"
#include "win32_file_handle/win32_file_lock.h"

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/iostreams/stream.hpp>
#include <boost/optional.hpp>

#include <memory>
#include <string>

typedef boost::iostreams::stream<win32_file::device> locked_stream;

// A lock of a caller-owned handle_lock with a stream over its device. The
// lock is taken first and released last; the stream goes in between,
// writing its buffered output (errors swallowed). The handle stays open.
template <class Lock>
class streamUnderLock : public Lock {
public:
    std::iostream& stream() { return *fileStream; }

protected:
    // Takes the lock (upgrading the handle to the rights it needs), waiting
    // as the time-out allows; the handle_lock must outlive the object.
    streamUnderLock(win32_file::handle_lock& handle, const win32_file::timeout& wait);
    ~streamUnderLock() override;

private:
    std::unique_ptr<locked_stream> fileStream;
};

// Reads the file under a shared lock.
class fileReader : public streamUnderLock<win32_file::read_lock> {
public:
    explicit fileReader(win32_file::handle_lock& handle, const win32_file::timeout& wait = boost::none)
        : streamUnderLock(handle, wait)
    {
    }
};

// Reads and rewrites the file under an exclusive lock; truncate() is the
// lock's.
class fileUpdater : public streamUnderLock<win32_file::write_lock> {
public:
    explicit fileUpdater(win32_file::handle_lock& handle, const win32_file::timeout& wait = boost::none)
        : streamUnderLock(handle, wait)
    {
    }
};

// Opens and locks a file by path for its own lifetime. Flags as for
// win32_file::locked_handle: open_read (0x01) read access at open,
// open_write (0x02) creation allowed and an exclusive lock (else the file
// must exist and the lock is shared), open_truncate (0x10, with open_write)
// empties the file.
class lockedFile {
public:
    // Waits without time-out.
    lockedFile(const std::wstring& path, unsigned flags);
    lockedFile(const std::wstring& path, unsigned flags, boost::chrono::milliseconds wait);
    // Destroys the stream (flushing it), then unlocks and closes.
    virtual ~lockedFile();

    lockedFile(const lockedFile&) = delete;
    lockedFile& operator=(const lockedFile&) = delete;

    std::iostream& stream() { return *fileStream; }

    // Ends the file at the handle's current position. Throws system_error
    // "File truncation failed".
    void truncate();
    // The last-write time in UTC, to the microsecond. Throws system_error
    // "File time retrieval failed".
    boost::posix_time::ptime getFileModificationTime() const;

private:
    win32_file::locked_handle lockedHandle;
    std::unique_ptr<locked_stream> fileStream;
};

// The whole file, read under a shared lock through a handle that shares
// reading and writing, or none when there is no file. Waits as `wait`
// allows while another process holds the file (none: for as long as it
// does); other failures throw as the layer does.
boost::optional<std::string> readSharedFile(const boost::filesystem::path& path, const win32_file::timeout& wait);
