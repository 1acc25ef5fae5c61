#include "locked_file.h"

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/system/system_error.hpp>

namespace {

// A stream over the lock's device, reporting device errors by throwing.
std::unique_ptr<locked_stream> openStream(const win32_file::io_lock& lock)
{
    std::unique_ptr<locked_stream> stream(new locked_stream(lock.device()));
    stream->exceptions(std::ios_base::badbit);
    return stream;
}

}  // namespace

template <class Lock>
streamUnderLock<Lock>::streamUnderLock(win32_file::handle_lock& handle, const win32_file::timeout& wait)
    : Lock(handle, wait), fileStream(openStream(*this))
{
}

// The member stream goes before the base lock; its own destructor closes it
// inside a catch-all, which writes any buffered output.
template <class Lock>
streamUnderLock<Lock>::~streamUnderLock() = default;

template class streamUnderLock<win32_file::read_lock>;
template class streamUnderLock<win32_file::write_lock>;

lockedFile::lockedFile(const std::wstring& path, unsigned flags)
    : lockedHandle(path, flags), fileStream(openStream(lockedHandle.lock()))
{
}

lockedFile::lockedFile(const std::wstring& path, unsigned flags, boost::chrono::milliseconds wait)
    : lockedHandle(path, flags, wait), fileStream(openStream(lockedHandle.lock()))
{
}

lockedFile::~lockedFile() = default;

void lockedFile::truncate()
{
    win32_file::setEndOfFile(lockedHandle.handle().handle());
}

boost::posix_time::ptime lockedFile::getFileModificationTime() const
{
    return boost::posix_time::from_ftime<boost::posix_time::ptime>(
        win32_file::lastWriteTime(lockedHandle.handle().handle()));
}

boost::optional<std::string> readSharedFile(const boost::filesystem::path& path, const win32_file::timeout& wait)
{
    std::unique_ptr<win32_file::locked_handle> file;
    try {
        file.reset(wait ? new win32_file::locked_handle(path, 0, *wait) : new win32_file::locked_handle(path, 0));
    } catch (const boost::system::system_error& e) {
        if (e.code().value() == ERROR_FILE_NOT_FOUND)
            return boost::none;
        throw;
    }
    win32_file::device device = file->lock().device();
    std::string text;
    char block[16 * 1024];
    for (std::streamsize got; (got = device.read(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}
