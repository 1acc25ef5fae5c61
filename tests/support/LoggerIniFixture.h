#pragma once
// A fixture owning the logger.ini and the backup file in the Windows
// directory of the build's Wine prefix: both are removed before and after
// each test, and the console output of the test is captured so that log
// messages can be checked.

#include <windows.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Ostrel/Service/ModeBackup.h"
#include "support/TestInputs.h"

inline bool fileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LoggerIniFixture : public ::testing::Test {
protected:
    const std::string iniPath = Ostrel::loggerConfigFilePath(Ostrel::LoggerIni);
    const std::string backupPath = Ostrel::windowsDirectory() + "brevik_ostrel_saved_modes.bak";

    void SetUp() override { removeFiles(); }
    void TearDown() override { removeFiles(); }

    void removeFiles()
    {
        for (const std::string& p : {iniPath, backupPath, backupPath + ".tmp", backupPath + ".damaged"}) {
            SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(p.c_str());
            RemoveDirectoryA(p.c_str());
        }
    }

    std::string ini() const { return readFileBytes(iniPath); }
    void setIni(const std::string& text) const { writeFileBytes(iniPath, text); }
    std::string backup() const { return readFileBytes(backupPath); }
    void setBackup(const std::string& text) const { writeFileBytes(backupPath, text); }
};
