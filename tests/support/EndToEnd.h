#pragma once
// The surroundings of the real OstrelService.exe for tests that run it from
// outside: logger.ini and the backup file in the Windows directory, the
// configuration key, and OstrelService in the service manager with its
// event source. The EndToEnd fixture starts every test with the three-line
// logger.ini and none of the others, and leaves the same behind.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/RegistryFixture.h"
#include "support/ServiceManager.h"
#include "windows_service/ServiceHandle.h"

// Generous bounds for a loaded machine; a passing test never waits for them.
const DWORD waitMilliseconds = 15000;
const DWORD pollMilliseconds = 10;
// A lineset toggled for this long is still toggled whenever a test stops,
// kills or interrupts the program; a revert that waited for the interval
// would run into the test's time-out.
const DWORD longInterval = 120;
// Seconds from the configuration to a lineset's first toggle: later than
// the program's start under Wine (a service start takes about a second),
// soon enough to keep the suite short.
const int consoleDue = 2;
const int serviceDue = 3;

const wchar_t serviceName[] = L"OstrelService";
const wchar_t eventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brevik Ostrel service program";

// True once the condition holds, polled until the time-out.
inline bool eventually(const std::function<bool()>& condition, DWORD timeoutMilliseconds = waitMilliseconds)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMilliseconds)
            return condition();
        Sleep(pollMilliseconds);
    }
    return true;
}


// --- logger.ini and the backup file ---------------------------------------

inline std::string windowsFile(const char* name)
{
    char directory[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory, length) + "\\" + name;
}

const std::string iniPath = windowsFile("logger.ini");
const std::string backupPath = windowsFile("brevik_ostrel_saved_modes.bak");

// The file's bytes; empty when it is missing or locked by the program.
inline std::string readBytes(const std::string& path)
{
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

inline bool tryWriteBytes(const std::string& path, const std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Replaces the file, waiting while a running program holds its lock.
inline void writeBytes(const std::string& path, const std::string& bytes)
{
    EXPECT_TRUE(eventually([&] { return tryWriteBytes(path, bytes) && readBytes(path) == bytes; })) << path;
}

inline bool fileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void removeFiles()
{
    for (const std::string& path : {iniPath, backupPath, backupPath + ".tmp", backupPath + ".damaged"})
        DeleteFileA(path.c_str());
}

// logger.ini of a three-line logger, as the logging application writes it.
inline std::string loggerIni(const std::string& line1, const std::string& line2, const std::string& line3)
{
    return "[General]\r\nStation=Test studio\r\n\r\n"
           "[Line01]\r\nName=Studio A\r\nMode=" + line1 + "\r\n\r\n"
           "[Line02]\r\nName=Studio B\r\nMode=" + line2 + "\r\n\r\n"
           "[Line03]\r\nName=Phone-in\r\nMode=" + line3 + "\r\n";
}

const std::string originalIni = loggerIni("REC", "REC", "VOX");
const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

// One line's record in the backup file, as the program writes it.
inline std::string record(const std::string& section, const std::string& current, const std::string& saved)
{
    return "<" + section + "><current_mode>" + current + "</current_mode><saved_mode>" + saved +
           "</saved_mode></" + section + ">";
}

// The line records in the backup file (its elements "LineNN").
inline std::set<std::string> backupRecords()
{
    const std::string text = readBytes(backupPath);
    const std::regex record("<(Line[0-9]+)>");
    std::set<std::string> lines;
    for (std::sregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it)
        lines.insert((*it)[1]);
    return lines;
}

// True once logger.ini shows exactly this text and the backup these records.
inline bool showsToggle(const std::string& ini, const std::set<std::string>& records,
                 DWORD timeoutMilliseconds = waitMilliseconds)
{
    return eventually([&] { return readBytes(iniPath) == ini && backupRecords() == records; }, timeoutMilliseconds);
}

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
// holds a start time.
inline std::wstring localTimeText(std::int64_t offset)
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER ticks;
    ticks.LowPart = utc.dwLowDateTime;
    ticks.HighPart = utc.dwHighDateTime;
    ticks.QuadPart += offset * 10000000;
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

// --- the service manager -----------------------------------------------------

inline bool eventSourceExists()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, eventSourceKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline bool serviceExists()
{
    return bool(ServiceHandle(OpenServiceW(openManager().get(), serviceName, SERVICE_QUERY_STATUS)));
}

inline bool processAlive(DWORD id)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!process)
        return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

// Wine's manager never notices that the process of a running service was
// killed: it goes on showing the service running and refuses to delete it
// until it stops, which the dead process never reports. A start replaces
// the dead process by one that can be stopped.
inline void reviveKilledService(SC_HANDLE service)
{
    const SERVICE_STATUS_PROCESS status = queryStatus(service);
    if (status.dwCurrentState == SERVICE_STOPPED || processAlive(status.dwProcessId) ||
        !StartServiceW(service, 0, nullptr))
        return;
    waitForStatus(service, [&](const SERVICE_STATUS_PROCESS& s) {
        return s.dwCurrentState == SERVICE_RUNNING && s.dwProcessId != status.dwProcessId;
    });
    SERVICE_STATUS stopping;
    ControlService(service, SERVICE_CONTROL_STOP, &stopping);
}

// Stops and deletes OstrelService whatever installed it and whatever state
// it is in, and waits until the manager has forgotten it and its process
// has ended.
inline void removeOstrelService()
{
    const ServiceHandle manager = openManager();
    {
        const ServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
        if (service) {
            SERVICE_STATUS status;
            if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                reviveKilledService(service.get());
            waitForState(service.get(), SERVICE_STOPPED);
            DeleteService(service.get());
        }
    }
    if (!eventually([&] { return !ServiceHandle(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS)); }))
        ADD_FAILURE() << "OstrelService is still installed";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, eventSourceKey);
    waitForServiceProcesses();
}

// --- fixtures -------------------------------------------------------------------

// Every test starts from no configuration, the three-line logger.ini, no
// backup file and no OstrelService, and leaves the same behind.
class EndToEnd : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        removeOstrelService();
        removeFiles();
        writeBytes(iniPath, originalIni);
    }

    void TearDown() override
    {
        removeOstrelService();
        removeFiles();
        RegistryFixture::TearDown();
    }

    static void configure(const std::vector<Lineset>& linesets)
    {
        setDword(L"", L"Count", DWORD(linesets.size()));
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
    }
};
