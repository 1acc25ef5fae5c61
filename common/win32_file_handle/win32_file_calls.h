#pragma once
// The file-system calls of the handle layer: every open, reopen, lock, read,
// write, cut, flush and move it makes passes through one function here.
//
// A test that links the layer can arm a fault seam in its own process: the
// seam then decides, call by call, whether a call fails (and with which
// Win32 error) or stores only part of a write, and supplies the clock and
// waits of the retries, so that a wait for a busy file costs no real time.
// Production never arms it (no setting, variable or file reads it): unarmed,
// each function is the Win32 call it names.

#include <windows.h>

#include <boost/cstdint.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>

#include <string>

namespace win32_file {

class retry_environment;

// The calls a seam sees.
enum class file_call { open, reopen, lock, read, write, truncate, flush, move };

// What an armed seam makes of one call.
struct call_outcome {
    // Non-zero: the call fails with this error and does nothing.
    DWORD error = 0;
    // Without an error, for a write: only this many bytes are stored, and
    // the write reports that count as done (a disk that runs full
    // part-way through a write).
    boost::optional<DWORD> stored;
};

class fault_seam {
public:
    // Asked on the calling thread before each call. `file` is the path for
    // an open, a reopen or a move (its source), else empty. `bytes`: the
    // length of a write. `growth`: how many bytes the write or cut would add
    // to the end of the file (a full disk has no room for them).
    virtual call_outcome before(file_call call, const boost::filesystem::path& file, DWORD bytes,
                                boost::uint64_t growth) = 0;
    // The clock and waits of every retry timer made while armed.
    virtual retry_environment& waits() = 0;

protected:
    ~fault_seam() {}
};

// Arms the seam for the whole process (null disarms). It must outlive its
// arming, and no file call may be in flight while it is changed.
void armFaultSeam(fault_seam* seam);
fault_seam* armedFaultSeam();

// The calls, with the Win32 functions' arguments and results.
namespace sys {
HANDLE createFile(const std::string& narrowPath, DWORD access, DWORD share, DWORD disposition);
// An armed seam's error for a reopen through an open handle (NtCreateFile,
// made by the caller), or none.
boost::optional<DWORD> reopenFailure(const boost::filesystem::path& path);
BOOL lockFile(HANDLE handle, DWORD flags);
BOOL readFile(HANDLE handle, void* buffer, DWORD size, DWORD* read);
// `at`: the offset to write at, or null for the handle's position.
BOOL writeFile(HANDLE handle, const void* data, DWORD size, DWORD* written, OVERLAPPED* at = nullptr);
BOOL setEndOfFile(HANDLE handle);
BOOL flushFileBuffers(HANDLE handle);
BOOL moveFileEx(const boost::filesystem::path& from, const boost::filesystem::path& to, DWORD flags);
}  // namespace sys

}  // namespace win32_file
