#include "Ostrel/modebackup/LoggerFiles.h"

#include <windows.h>

#include <stdexcept>

#include <boost/throw_exception.hpp>

namespace Ostrel {

std::string windowsDirectory()
{
    char buffer[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length > MAX_PATH)
        boost::throw_exception(std::runtime_error("Can't get windows directory"));
    std::string dir(buffer, length);
    if (dir.back() != '\\')
        dir += '\\';
    return dir;
}

namespace {

const char* loggerConfigFileName(LoggerConfigFile file)
{
    static const char* const names[] = {"logger.ini", "logger.res", "logger.inf", "radio.ini"};
    if (file < LoggerIni || file > RadioIni)
        boost::throw_exception(std::runtime_error("Invalid enum value for LoggerConfigFile"));
    return names[file];
}

}  // namespace

std::string loggerConfigFilePath(LoggerConfigFile file)
{
    return windowsDirectory() + loggerConfigFileName(file);
}

LoggerFiles loggerFilesInWindowsDirectory()
{
    const std::string directory = windowsDirectory();
    return {directory + loggerConfigFileName(LoggerIni), directory + "brevik_ostrel_saved_modes.bak"};
}

}  // namespace Ostrel
