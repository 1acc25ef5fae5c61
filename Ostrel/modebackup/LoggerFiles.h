#pragma once
// The files of the logging application, and the service's backup file
// beside them, in the Windows directory. Asked of Windows at the program's
// edge; everything else is given the paths.

#include <string>

namespace Ostrel {

enum LoggerConfigFile { LoggerIni = 0, LoggerRes = 1, LoggerInf = 2, RadioIni = 3 };

// The Windows directory, always ending in a backslash.
// Throws std::runtime_error("Can't get windows directory").
std::string windowsDirectory();

// The Windows directory followed by the file's name.
// Throws std::runtime_error("Invalid enum value for LoggerConfigFile").
std::string loggerConfigFilePath(LoggerConfigFile file);

// The files the service's memory of line modes works on.
struct LoggerFiles {
    std::string iniPath;     // the logging application's logger.ini
    std::string backupPath;  // the backup file of the modes the service changed
};

// logger.ini and the backup file in the Windows directory, asked once.
// Throws as windowsDirectory.
LoggerFiles loggerFilesInWindowsDirectory();

}  // namespace Ostrel
