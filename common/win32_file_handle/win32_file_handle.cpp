#include "win32_file_handle.h"
#include "win32_file_calls.h"
#include "win32_file_retry.h"

#include <winternl.h>

#include <algorithm>

#include <boost/exception/errinfo_api_function.hpp>
#include <boost/exception/errinfo_file_name.hpp>
#include <boost/exception/errinfo_nested_exception.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include <exception>
#include <system_error>

#include "logging/Log.h"

namespace win32_file {

namespace {

// Short contention (an indexer, a virus scanner, the other application
// saving) usually ends within a few time slices, so the first retries only
// give up the processor.
const boost::int32_t initialYields = 10;
// After the yields the sleeps grow by this step up to the ceiling below.
const boost::int64_t sleepGrowthMs = 10;
// Ten growths from 0 ms give the ceiling of 100 ms: it bounds how late we
// notice that the other side has released the file.
const boost::int32_t sleepGrowths = 10;
// A wait that lasts this long is logged, and its end too: the usual holders
// let go well within it and would only fill the log, while a longer wait
// (the logging application holding logger.ini, a person with the file open)
// is what an administrator needs to see when a line does not switch.
const boost::chrono::seconds reportWaitAfter(3);

// A length as the log tells it: seconds to one decimal, rounded half up.
std::string secondsText(retry_environment::time_point::duration length)
{
    const long long tenths = (boost::chrono::duration_cast<boost::chrono::milliseconds>(length).count() + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

class system_environment : public retry_environment {
public:
    time_point now() override { return boost::chrono::steady_clock::now(); }
    void yield() override { ::Sleep(0); }
    void sleep(boost::chrono::milliseconds length) override { boost::this_thread::sleep_for(length); }
};

// Clears the read-only, hidden and system attributes of a file for its own
// lifetime, so that a write open of such a file is not refused.
class attribute_guard {
public:
    explicit attribute_guard(const std::string& narrowPath) : path(narrowPath)
    {
        const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & blocking) != 0) {
            ::SetFileAttributesA(path.c_str(), attributes & ~blocking);
            cleared = attributes;
        }
    }
    ~attribute_guard()
    {
        if (cleared)
            ::SetFileAttributesA(path.c_str(), *cleared);
    }
    attribute_guard(const attribute_guard&) = delete;
    attribute_guard& operator=(const attribute_guard&) = delete;

private:
    std::string path;
    boost::optional<DWORD> cleared;
};

// Windows passes the narrow path through the ANSI or the OEM code page,
// whichever the process's file functions use; Boost.Filesystem's conversion
// follows the same choice.
std::string narrow(const boost::filesystem::path& path)
{
    return path.string();
}

typedef NTSTATUS(NTAPI* NtCreateFile_fn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                         ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef ULONG(NTAPI* RtlNtStatusToDosError_fn)(NTSTATUS);

// The two native functions of the reopen; both or none.
struct native_api {
    NtCreateFile_fn createFile = nullptr;
    RtlNtStatusToDosError_fn toWin32Error = nullptr;
};

native_api lookUpNativeApi()
{
    native_api api;
    if (HMODULE ntdll = ::GetModuleHandleA("ntdll.dll")) {
        auto createFile = reinterpret_cast<NtCreateFile_fn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
        auto toWin32Error = reinterpret_cast<RtlNtStatusToDosError_fn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
        if (createFile && toWin32Error) {
            api.createFile = createFile;
            api.toWin32Error = toWin32Error;
        }
    }
    return api;
}

// The status an armed fault seam's Win32 error stands for on a reopen.
NTSTATUS statusOf(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
        return static_cast<NTSTATUS>(0xC0000043L);  // STATUS_SHARING_VIOLATION
    case ERROR_LOCK_VIOLATION:
        return static_cast<NTSTATUS>(0xC0000054L);  // STATUS_FILE_LOCK_CONFLICT
    case ERROR_DISK_FULL:
        return static_cast<NTSTATUS>(0xC000007FL);  // STATUS_DISK_FULL
    default:
        return static_cast<NTSTATUS>(0xC0000022L);  // STATUS_ACCESS_DENIED
    }
}

// Opens the file object behind handle once more: with the open handle as root
// directory and an empty name, whatever has happened to its path meanwhile.
NTSTATUS reopenThrough(const native_api& api, HANDLE handle, const boost::filesystem::path& path, DWORD access,
                       HANDLE& fresh)
{
    if (const boost::optional<DWORD> failure = sys::reopenFailure(path))
        return statusOf(*failure);
    UNICODE_STRING emptyName = {0, 0, nullptr};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof(OBJECT_ATTRIBUTES);  // 48 on x64, 24 on x86
    attributes.RootDirectory = handle;
    attributes.ObjectName = &emptyName;
    IO_STATUS_BLOCK status = {};
    return api.createFile(&fresh, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

}  // namespace

retry_environment& systemEnvironment()
{
    static system_environment environment;
    fault_seam* seam = armedFaultSeam();
    return seam ? seam->waits() : environment;
}

retryTimer::retryTimer(const timeout& wait, const boost::filesystem::path& waitedFor, retry_environment& environment)
    : yieldsLeft(initialYields),
      growthsLeft(sleepGrowths),
      sleepMs(0),
      environment(&environment),
      file(narrow(waitedFor)),
      started(environment.now()),
      exceptionsAtStart(std::uncaught_exceptions()),
      reported(false)
{
    if (wait)
        deadline = started + *wait;
}

retryTimer::~retryTimer()
{
    if (!reported)
        return;
    const std::string waited = secondsText(environment->now() - started);
    if (std::uncaught_exceptions() > exceptionsAtStart)
        LOG_WARN("Stopped waiting for %s after %s", file.c_str(), waited.c_str());
    else
        LOG_INFO("Waited %s for %s", waited.c_str(), file.c_str());
}

bool retryTimer::passed() const
{
    return deadline && environment->now() >= *deadline;
}

void retryTimer::wait()
{
    if (yieldsLeft > 0) {
        environment->yield();
        --yieldsLeft;
        return;
    }
    if (!reported && environment->now() - started >= reportWaitAfter) {
        LOG_WARN("Waiting for %s, which another program holds", file.c_str());
        reported = true;
    }
    // A zero-length sleep returns at once and is no interruption point.
    if (sleepMs > 0)
        environment->sleep(boost::chrono::milliseconds(sleepMs));
    if (growthsLeft > 0) {
        sleepMs += sleepGrowthMs;
        --growthsLeft;
    }
}

bool isSharingOrLockViolation(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool isLockViolation(DWORD error)
{
    return error == ERROR_LOCK_VIOLATION;
}

const char* temporarily_unavailable::what() const noexcept
{
    return "File temporarily unavailable";
}

void retryOrThrow(retry_test retryable, DWORD error, const boost::source_location& site, retryTimer& timer,
                  const std::string& narrowPath, const char* function)
{
    const bool worthRetrying = retryable(error);
    if (worthRetrying && !timer.passed()) {
        timer.wait();
        return;
    }
    const auto failure = boost::enable_error_info(boost::system::system_error(
                             static_cast<int>(error), boost::system::system_category(), "File open failed"))
                         << boost::errinfo_api_function(function) << boost::errinfo_file_name(narrowPath);
    if (!worthRetrying)
        boost::throw_exception(failure, site);
    try {
        boost::throw_exception(failure, site);
    } catch (...) {
        boost::throw_exception(temporarily_unavailable() << boost::errinfo_nested_exception(boost::current_exception()),
                               site);
    }
}

namespace {

// The layer's one write: all of the bytes, at the offset or, without one,
// at the handle's position. A write that stores fewer bytes (a full disk)
// is carried on from where it stopped, so the failure thrown is the
// system's own: system_error "File write failed" with the function
// "WriteFile"; a write that stores nothing without an error counts as
// ERROR_DISK_FULL. What was stored before the failure stays stored.
void writeAll(HANDLE handle, boost::optional<boost::uint64_t> offset, const char* bytes, std::size_t size)
{
    // One WriteFile per 1 GB at most: its count is a DWORD.
    const std::size_t chunk = std::size_t(1) << 30;
    while (size > 0) {
        OVERLAPPED at = {};
        if (offset) {
            at.Offset = static_cast<DWORD>(*offset);
            at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
        }
        DWORD written = 0;
        const BOOL ok = sys::writeFile(handle, bytes, static_cast<DWORD>(std::min(size, chunk)), &written,
                                       offset ? &at : nullptr);
        if (!ok || written == 0) {
            const DWORD error = ok ? DWORD(ERROR_DISK_FULL) : ::GetLastError();
            boost::throw_exception(boost::enable_error_info(boost::system::system_error(
                                       static_cast<int>(error), boost::system::system_category(), "File write failed"))
                                       << boost::errinfo_api_function("WriteFile"),
                                   BOOST_CURRENT_LOCATION);
        }
        if (offset)
            *offset += written;
        bytes += written;
        size -= written;
    }
}

}  // namespace

KernelHandle createHandle(const boost::filesystem::path& path, DWORD access, DWORD share, disposition opening,
                          retryTimer& timer)
{
    const DWORD creation = opening == disposition::open_existing ? OPEN_EXISTING
                           : opening == disposition::open_always ? OPEN_ALWAYS
                                                                 : CREATE_NEW;
    const bool openExisting = opening != disposition::create_new;
    const std::string narrowPath = narrow(path);
    const auto attempt = [&] { return sys::createFile(narrowPath, access, share, creation); };
    boost::optional<attribute_guard> guard;
    HANDLE handle = attempt();
    while (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (openExisting && (access & GENERIC_WRITE) && !guard)
            guard.emplace(narrowPath);
        else
            retryOrThrow(isSharingOrLockViolation, error, BOOST_CURRENT_LOCATION, timer, narrowPath, "CreateFile");
        handle = attempt();
    }
    return KernelHandle(handle);
}

void recreateHandle(KernelHandle& handle, const boost::filesystem::path& path, DWORD access, DWORD share,
                    retryTimer* timer)
{
    const native_api api = lookUpNativeApi();
    HANDLE fresh = INVALID_HANDLE_VALUE;
    if (api.createFile) {
        const std::string narrowPath = narrow(path);
        boost::optional<attribute_guard> guard;
        NTSTATUS status = reopenThrough(api, handle.get(), path, access, fresh);
        while (!NT_SUCCESS(status)) {
            if ((access & GENERIC_WRITE) && !guard)
                guard.emplace(narrowPath);
            else if (!timer)
                break;
            else
                // A sharing violation becomes ERROR_SHARING_VIOLATION and is
                // retried like one on open.
                retryOrThrow(isSharingOrLockViolation, api.toWin32Error(status), BOOST_CURRENT_LOCATION, *timer,
                             narrowPath, "NtCreateFile");
            status = reopenThrough(api, handle.get(), path, access, fresh);
        }
        if (!NT_SUCCESS(status))
            fresh = INVALID_HANDLE_VALUE;
    }
    // The old handle goes only once the new one exists, so that a failure
    // leaves the caller with a valid handle rather than a closed one.
    if (fresh != INVALID_HANDLE_VALUE) {
        handle.reset(fresh);
        return;
    }
    retryTimer forever(boost::none, path);
    handle = createHandle(path, access, share, disposition::open_existing, forever);
}

handle_lock::handle_lock(const id& file, disposition opening, rights granted, const timeout& wait)
    : fileId(file), readAccess(granted != rights::none), writeAccess(granted == rights::read_write)
{
    trace::scope scope("handle_open");
    retryTimer timer(wait, fileId.path);
    // Without rights the handle also shares delete access, so that it does
    // not stand in the way of a rename or delete.
    const DWORD share = (readAccess || writeAccess) ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                                    : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    owned = createHandle(fileId.path, (readAccess ? GENERIC_READ : 0) | (writeAccess ? GENERIC_WRITE : 0), share,
                         opening, timer);
}

handle_lock::~handle_lock()
{
    trace::scope scope("handle_close");
    owned.reset();
}

void handle_lock::upgrade(rights wanted, const timeout& wait)
{
    if (wanted == rights::read_write && !writeAccess) {
        trace::scope scope("handle_lock_exclusive");
        retryTimer timer(wait, fileId.path);
        recreateHandle(owned, fileId.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &timer);
        writeAccess = true;
        readAccess = true;
    }
    if (wanted != rights::none && !readAccess) {
        trace::scope scope("handle_lock_shared");
        retryTimer timer(wait, fileId.path);
        recreateHandle(owned, fileId.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &timer);
        readAccess = true;
    }
}

device handle_lock::device() const
{
    return win32_file::device(owned.get());
}

std::streamsize device::read(char* buffer, std::streamsize size)
{
    DWORD read = 0;
    if (!sys::readFile(handle, buffer, static_cast<DWORD>(size), &read))
        boost::throw_exception(std::ios_base::failure("failed reading"), BOOST_CURRENT_LOCATION);
    return read == 0 ? -1 : static_cast<std::streamsize>(read);
}

std::streamsize device::write(const char* data, std::streamsize size)
{
    try {
        writeAll(handle, boost::none, data, static_cast<std::size_t>(size));
    } catch (const boost::system::system_error& failure) {
        boost::throw_exception(
            std::ios_base::failure("failed writing", std::error_code(failure.code().value(), std::system_category())),
            BOOST_CURRENT_LOCATION);
    }
    return size;
}

std::streampos device::seek(boost::iostreams::stream_offset offset, std::ios_base::seekdir way)
{
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    const DWORD method = way == std::ios_base::beg ? FILE_BEGIN : way == std::ios_base::cur ? FILE_CURRENT : FILE_END;
    if (!::SetFilePointerEx(handle, distance, &position, method))
        boost::throw_exception(std::ios_base::failure("failed seeking"), BOOST_CURRENT_LOCATION);
    return boost::iostreams::offset_to_position(position.QuadPart);
}

void handle_lock::write(boost::uint64_t offset, const char* bytes, std::size_t size) const
{
    try {
        writeAll(owned.get(), offset, bytes, size);
    } catch (boost::exception& failure) {
        failure << boost::errinfo_file_name(fileId.path.string());
        throw;
    }
}

bool isMissingFile(const std::exception& e)
{
    const auto* failure = dynamic_cast<const boost::system::system_error*>(&e);
    return failure &&
           (failure->code().value() == ERROR_FILE_NOT_FOUND || failure->code().value() == ERROR_PATH_NOT_FOUND);
}

}  // namespace win32_file
