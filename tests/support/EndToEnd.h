#pragma once
// The surroundings of the real OstrelService.exe for tests that run it from
// outside: logger.ini and the backup file in the Windows directory, the
// configuration key, and OstrelService in the service manager with its
// event source. The EndToEnd fixture starts every test with the three-line
// logger.ini and none of the others, and leaves the same behind.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/BackupFileText.h"
#include "support/Eventually.h"
#include "support/LoggerIniFixture.h"
#include "support/OstrelServiceLeftover.h"
#include "support/RegistryFixture.h"
#include "support/ServiceManager.h"
#include "support/TestInputs.h"
#include "windows_service/ServiceHandle.h"

// A lineset toggled for this long is still toggled whenever a test stops,
// kills or interrupts the program; a revert that waited for the interval
// would run into the test's time-out.
const DWORD longInterval = 120;
// Seconds from the configuration to a lineset's first toggle: later than
// the program's start under Wine (a service start takes about a second),
// soon enough to keep the suite short.
const int consoleDue = 2;
const int serviceDue = 3;

// How long after its configuration a lineset due in `dueIn` seconds has
// fired when the program is on time: its moment comes within dueIn + 1 s
// (whole seconds, rounded up), and a second more is a margin a loaded
// machine keeps. A moment missed by the program comes a minute later.
inline DWORD onTimeMilliseconds(int dueIn)
{
    return DWORD(dueIn + 2) * 1000;
}

// --- logger.ini and the backup file ---------------------------------------

// Replaces the file, waiting while a running program holds its lock.
inline void writeBytes(const std::string& path, const std::string& bytes)
{
    EXPECT_TRUE(eventually([&] { return tryWriteFileBytes(path, bytes) && readFileBytes(path) == bytes; })) << path;
}

// logger.ini of a three-line logger, as the logging application writes it.
inline std::string loggerIni(const std::string& line1, const std::string& line2, const std::string& line3)
{
    return "[General]\r\nStation=Test studio\r\n\r\n"
           "[Line01]\r\nName=Studio A\r\nMode=" +
           line1 +
           "\r\n\r\n"
           "[Line02]\r\nName=Studio B\r\nMode=" +
           line2 +
           "\r\n\r\n"
           "[Line03]\r\nName=Phone-in\r\nMode=" +
           line3 + "\r\n";
}

const std::string originalIni = loggerIni("REC", "REC", "VOX");
using backupfile::declaration;
using backupfile::record;

// --- the registry configuration -------------------------------------------

// One lineset as the test configures it: every minute by default, with its
// next moment `dueIn` seconds after the configuration is written.
struct Lineset {
    std::wstring name;
    std::wstring lines;
    std::wstring mode;
    DWORD interval;
    int dueIn;
    DWORD scheduleMode = 2;  // periodic
    std::int32_t periodicHours = 0;
    std::int32_t periodicMinutes = 1;
    std::int32_t dailyHour = 0;
    std::wstring periodicStart{};  // empty: `dueIn` seconds after the configuration is written
};

// The local wall-clock time `offset` seconds from now, as the registry
// holds a start time: in whole seconds, rounded up, so that a moment is
// never nearer than the offset says.
inline std::wstring localTimeText(std::int64_t offset)
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER ticks;
    ticks.LowPart = utc.dwLowDateTime;
    ticks.HighPart = utc.dwHighDateTime;
    const std::uint64_t second = 10000000;
    ticks.QuadPart = (ticks.QuadPart + offset * second + second - 1) / second * second;
    utc.dwLowDateTime = ticks.LowPart;
    utc.dwHighDateTime = ticks.HighPart;
    FILETIME local;
    SYSTEMTIME time;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &time);
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
             time.wSecond);
    return text;
}

// --- fixtures -------------------------------------------------------------------

// Every test starts from no configuration, the three-line logger.ini, no
// backup file and no OstrelService, and leaves the same behind.
class EndToEnd : public ::testing::Test, protected ScopedConfigurationKey, protected ScopedLoggerIni {
protected:
    void SetUp() override { writeBytes(iniPath, originalIni); }

    // The service goes before the files and the key it would write.
    void TearDown() override { removeOstrelService(); }

    // The records in the backup file (none without a file). Throws while
    // the file cannot be read.
    std::set<std::string> backupRecords() const { return backupfile::recordsIn(readExistingFileBytes(backupPath)); }

    // True once logger.ini shows exactly this text and the backup these
    // records.
    bool showsToggle(const std::string& text, const std::set<std::string>& records,
                     DWORD timeoutMilliseconds = timeouts::toggle) const
    {
        return eventually(
            [&] {
                try {
                    return ini() == text && backupRecords() == records;
                } catch (const std::runtime_error&) {
                    return false;  // the backup file held while it is saved
                }
            },
            timeoutMilliseconds);
    }

    static void configure(const std::vector<Lineset>& linesets)
    {
        for (std::size_t i = 0; i < linesets.size(); ++i) {
            const Lineset& lineset = linesets[i];
            const std::wstring key = std::to_wstring(i + 1);
            const std::int64_t period = std::int64_t(lineset.periodicHours) * 3600 + lineset.periodicMinutes * 60;
            setString(key, L"Name", lineset.name);
            setString(key, L"Lines", lineset.lines);
            setString(key, L"LineMode", lineset.mode);
            setDword(key, L"Interval", lineset.interval);
            setDword(key, L"ScheduleMode", lineset.scheduleMode);
            setDword(key, L"DailyHour", DWORD(lineset.dailyHour));
            setDword(key, L"DailyMinute", 0);
            setDword(key, L"PeriodicHours", DWORD(lineset.periodicHours));
            setDword(key, L"PeriodicMinutes", DWORD(lineset.periodicMinutes));
            setString(key, L"PeriodicStartTime",
                      lineset.periodicStart.empty() ? localTimeText(lineset.dueIn - period) : lineset.periodicStart);
        }
        // Last, so that a running program reads the linesets all at once.
        setDword(L"", L"Count", DWORD(linesets.size()));
    }
};
