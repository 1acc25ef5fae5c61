#include "win32_file_calls.h"

#include <algorithm>
#include <atomic>

namespace win32_file {

namespace {

std::atomic<fault_seam*> armed{nullptr};

// The armed seam's verdict on a call; an unarmed process asks nothing.
call_outcome outcome(file_call call, const boost::filesystem::path& file = boost::filesystem::path())
{
    fault_seam* seam = armed.load();
    return seam ? seam->before(call, file, 0, 0) : call_outcome();
}

// How far a write of `bytes` at `at` (or at the handle's position) or a cut
// at the position would take the file past its end.
boost::uint64_t growth(HANDLE handle, const OVERLAPPED* at, DWORD bytes)
{
    LARGE_INTEGER size, position;
    const LARGE_INTEGER none = {};
    if (!::GetFileSizeEx(handle, &size) || !::SetFilePointerEx(handle, none, &position, FILE_CURRENT))
        return 0;
    const boost::uint64_t from = at ? (static_cast<boost::uint64_t>(at->OffsetHigh) << 32) | at->Offset
                                    : boost::uint64_t(position.QuadPart);
    const boost::uint64_t end = from + bytes;
    return end > boost::uint64_t(size.QuadPart) ? end - boost::uint64_t(size.QuadPart) : 0;
}

// The verdict on a write or cut, which the seam sees with its growth.
call_outcome sizedOutcome(file_call call, HANDLE handle, const OVERLAPPED* at, DWORD bytes)
{
    fault_seam* seam = armed.load();
    return seam ? seam->before(call, boost::filesystem::path(), bytes, growth(handle, at, bytes)) : call_outcome();
}

BOOL failWith(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

void armFaultSeam(fault_seam* seam)
{
    armed.store(seam);
}

fault_seam* armedFaultSeam()
{
    return armed.load();
}

namespace sys {

HANDLE createFile(const std::string& narrowPath, DWORD access, DWORD share, DWORD disposition)
{
    if (const DWORD error = outcome(file_call::open, narrowPath).error) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileA(narrowPath.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

boost::optional<DWORD> reopenFailure(const boost::filesystem::path& path)
{
    if (const DWORD error = outcome(file_call::reopen, path).error)
        return error;
    return boost::none;
}

BOOL lockFile(HANDLE handle, DWORD flags)
{
    if (const DWORD error = outcome(file_call::lock).error)
        return failWith(error);
    OVERLAPPED fromStart = {};
    // Both halves of the length: the range covers every possible offset.
    return ::LockFileEx(handle, flags, 0, 0xFFFFFFFF, 0xFFFFFFFF, &fromStart);
}

BOOL readFile(HANDLE handle, void* buffer, DWORD size, DWORD* read)
{
    if (const DWORD error = outcome(file_call::read).error) {
        *read = 0;
        return failWith(error);
    }
    return ::ReadFile(handle, buffer, size, read, nullptr);
}

BOOL writeFile(HANDLE handle, const void* data, DWORD size, DWORD* written, OVERLAPPED* at)
{
    const call_outcome decided = sizedOutcome(file_call::write, handle, at, size);
    if (decided.error) {
        *written = 0;
        return failWith(decided.error);
    }
    return ::WriteFile(handle, data, decided.stored ? std::min(*decided.stored, size) : size, written, at);
}

BOOL setEndOfFile(HANDLE handle)
{
    if (const DWORD error = sizedOutcome(file_call::truncate, handle, nullptr, 0).error)
        return failWith(error);
    return ::SetEndOfFile(handle);
}

BOOL flushFileBuffers(HANDLE handle)
{
    if (const DWORD error = outcome(file_call::flush).error)
        return failWith(error);
    return ::FlushFileBuffers(handle);
}

BOOL moveFileEx(const boost::filesystem::path& from, const boost::filesystem::path& to, DWORD flags)
{
    if (const DWORD error = outcome(file_call::move, from).error)
        return failWith(error);
    return ::MoveFileExW(from.c_str(), to.c_str(), flags);
}

}  // namespace sys

}  // namespace win32_file
