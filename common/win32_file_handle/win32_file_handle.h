#pragma once
// Win32 file handles that open without ever blocking inside Windows.
//
// Every open and reopen is attempted with a request that fails at once when
// the file is in use; the library retries sharing violations (and lock
// violations) itself, with the back-off of win32_file_retry.h, for as long as
// the caller's time-out allows: without a time-out for ever, with a time-out
// of 0 ms a single attempt. Any other failure is thrown at once.
//
// Handles are opened with read and write sharing, so they conflict only with
// foreign handles that deny sharing; exclusion between readers and writers
// is the business of the whole-file locks (win32_file_lock.h).
//
// Failures are thrown through boost::throw_exception with the throw site:
//  - boost::system::system_error, Win32 error code in the system category,
//    text "File open failed", with boost::errinfo_api_function ("CreateFile"
//    or "NtCreateFile") and boost::errinfo_file_name (the narrow path);
//  - win32_file::temporarily_unavailable when a sharing violation outlasts
//    the time-out; the last system_error rides along as
//    boost::errinfo_nested_exception.
// Waits of 10 ms and more are Boost.Thread interruption points: an
// interrupted thread leaves with boost::thread_interrupted.

#include "handle/KernelHandle.h"
#include "trace/trace.h"

#include <windows.h>

#include <boost/chrono/duration.hpp>
#include <boost/cstdint.hpp>
#include <boost/exception/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/positioning.hpp>
#include <boost/optional.hpp>

#include <exception>
#include <ios>

namespace win32_file {

// How long an operation may keep retrying; none means for ever.
typedef boost::optional<boost::chrono::milliseconds> timeout;

// Whether e is the layer's report of a file, or its folder, that does not
// exist.
bool isMissingFile(const std::exception& e);

// Identifies a file by its file-system path.
struct id {
    boost::filesystem::path path;
};

// A sharing or lock violation lasted until the time-out.
class temporarily_unavailable : public virtual boost::exception, public virtual std::exception {
public:
    const char* what() const noexcept override;
};

// A seekable stream device on a handle that it never closes: the handle's
// owner keeps it and must outlive the device. Reads and writes are the
// layer's file calls (win32_file_calls.h). read gives -1 at the end of the
// file; write is the layer's one write (as handle_lock::write, at the
// handle's position): it stores all of the bytes or throws. Errors throw
// std::ios_base::failure ("failed reading", "failed seeking", and "failed
// writing" with the system's error code).
class device {
public:
    typedef char char_type;
    struct category : boost::iostreams::seekable_device_tag {};

    explicit device(HANDLE handle) : handle(handle) {}
    std::streamsize read(char* buffer, std::streamsize size);
    std::streamsize write(const char* data, std::streamsize size);
    std::streampos seek(boost::iostreams::stream_offset offset, std::ios_base::seekdir way);

private:
    HANDLE handle;
};

// Where an open finds the file: an existing one only (OPEN_EXISTING), an
// existing one or a new one (OPEN_ALWAYS), or a new one only (CREATE_NEW).
enum class disposition { open_existing, open_always, create_new };

// The rights of a handle: none, read, or read and write (write always
// comes with read).
enum class rights { none, read, read_write };

// Owns one Win32 handle of a file. Its rights only grow (none, read, read
// and write); every growth replaces the handle by a reopened one, so locks
// are taken only after the rights they need. Closing the handle releases
// any lock Windows still holds on it. One thread at a time.
class handle_lock : public trace::counted_object<handle_lock> {
public:
    // Opens the file with the given rights. A read-only, hidden or system
    // file is opened for writing by clearing those attributes for the moment
    // of the open. Throws as described at the top; a failed constructor
    // leaves nothing open.
    handle_lock(const id& file, disposition opening, rights granted, const timeout& wait = boost::none);
    ~handle_lock();

    handle_lock(const handle_lock&) = delete;
    handle_lock& operator=(const handle_lock&) = delete;

    // Makes sure the handle has at least the asked rights; when it has not,
    // reopens the same file object through the open handle (not the path).
    // Throws as the constructor does; on failure the handle and its rights
    // stay as they were.
    void upgrade(rights wanted, const timeout& wait = boost::none);

    // A stream device on the handle that never closes it: the handle_lock
    // keeps ownership and must outlive the device.
    win32_file::device device() const;

    // Writes all of the bytes at the offset (the file position ends after
    // them). A write that stores fewer bytes is carried on from where it
    // stopped, so the failure thrown is the system's own: system_error "File
    // write failed" with the function "WriteFile" and the file name (a write
    // that stores nothing without an error counts as ERROR_DISK_FULL).
    // What was stored before the failure stays stored.
    void write(boost::uint64_t offset, const char* bytes, std::size_t size) const;

    HANDLE handle() const { return owned.get(); }
    const id& file() const { return fileId; }
    bool hasRead() const { return readAccess; }
    bool hasWrite() const { return writeAccess; }

private:
    id fileId;
    KernelHandle owned;
    bool readAccess;
    bool writeAccess;
};

}  // namespace win32_file
