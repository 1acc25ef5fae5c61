#pragma once
// logger.ini and the backup file of the build's Wine prefix, owned by a
// test (ScopedLoggerIni), and the plain fixture that owns nothing else.

#include <windows.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Ostrel/modebackup/LoggerFiles.h"
#include "support/DamagedBackups.h"
#include "support/OstrelServiceLeftover.h"
#include "support/TestInputs.h"

inline bool fileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A file in the Windows directory, found without the program's help, so
// that a program looking elsewhere fails the tests.
inline std::string windowsFile(const char* name)
{
    char directory[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory, length) + "\\" + name;
}

// Owns logger.ini and the backup file in the Windows directory of the
// build's Wine prefix: both are removed when it is made (after any leftover
// OstrelService, which would otherwise write them) and when it goes.
class ScopedLoggerIni {
public:
    ScopedLoggerIni()
    {
        removeOstrelService();
        removeFiles();
    }
    ~ScopedLoggerIni() { removeFiles(); }
    ScopedLoggerIni(const ScopedLoggerIni&) = delete;
    ScopedLoggerIni& operator=(const ScopedLoggerIni&) = delete;

    const std::string iniPath = windowsFile("logger.ini");
    const std::string backupPath = windowsFile("brevik_ostrel_saved_modes.bak");
    Ostrel::LoggerFiles files() const { return {iniPath, backupPath}; }

    void removeFiles() const
    {
        for (const std::string& p : {iniPath, backupPath, backupPath + ".tmp"}) {
            SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(p.c_str());
            RemoveDirectoryA(p.c_str());
        }
        removeDamagedBackups(windowsFile(""));
    }

    // The damaged backup files set aside, oldest first.
    std::vector<std::string> damaged() const { return damagedBackups(windowsFile("")); }

    std::string ini() const { return readFileBytes(iniPath); }
    void setIni(const std::string& text) const { writeFileBytes(iniPath, text); }
    std::string backup() const { return readFileBytes(backupPath); }
    void setBackup(const std::string& text) const { writeFileBytes(backupPath, text); }
};

class LoggerIniFixture : public ::testing::Test, protected ScopedLoggerIni {};
