#include "backup_file/BackupFile.h"

#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/system/system_error.hpp>

#include "locked_file/locked_file.h"
#include "win32_file_handle/win32_file_replace.h"

BackupFile::BackupFile(std::string path, boost::chrono::milliseconds wait) : filePath(std::move(path)), wait(wait) {}

boost::optional<std::string> BackupFile::read(const win32_file::timeout& readWait) const
{
    return readSharedFile(filePath, readWait);
}

void BackupFile::replaceDurably(const std::string& bytes) const
{
    win32_file::replaceDurably(filePath, filePath + ".tmp", bytes, wait);
}

std::string BackupFile::setAside() const
{
    // More damaged files than this within one second mean something else
    // is wrong with the folder.
    const int namesPerSecond = 100;
    const std::string stamped = filePath + "." +
                                boost::posix_time::to_iso_string(boost::posix_time::second_clock::local_time());
    std::string kept;
    for (int number = 1; number <= namesPerSecond; ++number) {
        kept = stamped + (number == 1 ? "" : "-" + std::to_string(number)) + ".damaged";
        try {
            win32_file::moveDurably(filePath, kept, wait, win32_file::existing_target::keep);
            return kept;
        } catch (const boost::system::system_error& e) {
            if (e.code().value() != ERROR_ALREADY_EXISTS && e.code().value() != ERROR_FILE_EXISTS)
                throw std::runtime_error("can't be kept as " + kept + " (" + e.what() + ")");
        }
    }
    throw std::runtime_error("can't be kept as " + kept + " (every name up to it is taken)");
}
