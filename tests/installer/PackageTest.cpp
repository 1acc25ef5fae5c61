// Ostrel.msi as an administrator deploys it: installed, upgraded to a newer
// package built from the same Ostrel.wxs, refused over a newer one and
// uninstalled with Wine's msiexec, and the service it registers driven
// through Wine's service manager.
//
// Where Wine's Windows Installer does less than Windows does, the tests say
// so beside the step and check what Wine does carry out:
// - It does not wait for a service it stops (ServiceControl Wait): the stop
//   is sent, the removal goes on while the service still reverts its lines,
//   and the deletion of the program file fails while the service process
//   ends (the file and its folder then stay; msiexec may report that a
//   restart is needed).
// - It stops a service before it deletes it whether or not the package
//   asks for the stop (ServiceControl Stop), so the uninstall test cannot
//   tell the package's own stop from Wine's.
// - It writes the service's image path without the quotes that Windows
//   Installer and "/install" put around it.
//
// "/install" also sets recovery actions; the package sets none (wixl cannot
// express them), and Wine's service manager keeps none in either case, so
// the registrations are compared without them.

#include <windows.h>

#include <msi.h>

#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logging/VersionInfo.h"
#include "support/EndToEnd.h"
#include "support/LiveProcess.h"
#include "support/RunProgram.h"
#include "utf/Utf.h"
#include "windows_service/ServiceHandle.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// An installation under Wine takes a few seconds; a loaded machine may need
// many times that.
const DWORD installMilliseconds = 120000;

// The Windows name of a file of the build: Wine's drive Z: is the Linux root.
std::wstring dosPath(const char* linuxPath)
{
    std::wstring path = L"Z:" + utf::widen(std::string(linuxPath));
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

const std::wstring package = dosPath(OSTREL_PACKAGE);
const std::wstring nextPackage = dosPath(OSTREL_NEXT_PACKAGE);

std::wstring programFiles()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return std::wstring(path, length);
}

const std::wstring brevikFolder = programFiles() + L"\\Brevik";
const std::wstring installFolder = brevikFolder + L"\\Ostrel";
const std::wstring installedProgram = installFolder + L"\\OstrelService.exe";

using utf::narrow;

// msiexec with the arguments, without user interface; its exit code.
DWORD msiexec(const std::wstring& arguments)
{
    return runProgram(L"msiexec " + arguments + L" /qn", installMilliseconds).exitCode;
}

DWORD install(const std::wstring& msi)
{
    return msiexec(L"/i \"" + msi + L"\"");
}

// The versions of the installed products of this package's upgrade code.
std::vector<std::string> installedVersions()
{
    std::vector<std::string> versions;
    wchar_t product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(OSTREL_UPGRADE_CODE, 0, i, product) == ERROR_SUCCESS; ++i) {
        wchar_t version[64];
        DWORD length = 64;
        MsiGetProductInfoW(product, L"VersionString", version, &length);
        versions.push_back(narrow(std::wstring(version, length)));
    }
    return versions;
}

// Uninstalls every installed version of the package.
void uninstallAll()
{
    wchar_t product[39];
    while (MsiEnumRelatedProductsW(OSTREL_UPGRADE_CODE, 0, 0, product) == ERROR_SUCCESS) {
        const DWORD result = msiexec(L"/x " + std::wstring(product));
        if (result != ERROR_SUCCESS && result != ERROR_SUCCESS_REBOOT_REQUIRED) {
            ADD_FAILURE() << "msiexec /x failed: " << result;
            return;
        }
    }
}

// What Wine leaves in Program Files (see the top); waits while the
// service process of an earlier step still holds the program file.
void removeInstallFolder()
{
    eventually([] { return !fileExists(narrow(installedProgram)) || DeleteFileW(installedProgram.c_str()); });
    RemoveDirectoryW(installFolder.c_str());
    RemoveDirectoryW(brevikFolder.c_str());
}

std::string fileVersion(const std::wstring& path)
{
    return logging::VersionInfo(narrow(path).c_str()).stringValue("FileVersion");
}

std::wstring withoutQuotes(std::wstring path)
{
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
        path = path.substr(1, path.size() - 2);
    return path;
}

// A registry value of the event source: its type and its data as text.
std::wstring eventSourceValue(const wchar_t* name, DWORD* type)
{
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    *type = REG_NONE;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, eventSourceKey, name, RRF_RT_ANY | RRF_NOEXPAND, type, data, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    if (*type == REG_DWORD) {
        DWORD number;
        std::memcpy(&number, data, sizeof number);
        return std::to_wstring(number);
    }
    return data;
}

// Everything installing OstrelService registers.
struct Registration {
    std::wstring imagePath;
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    std::wstring displayName;
    std::wstring account;
    std::wstring dependencies;
    std::wstring description;
    DWORD messageFileType;
    std::wstring messageFile;
    DWORD typesSupportedType;
    std::wstring typesSupported;
};

Registration registration()
{
    const ServiceHandle service(OpenServiceW(openManager().get(), serviceName, SERVICE_QUERY_CONFIG));
    if (!service) {
        ADD_FAILURE() << "OstrelService is not installed";
        return Registration();
    }
    const std::vector<BYTE> buffer = queryConfig(service.get());
    const auto& config = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    Registration r;
    r.imagePath = config.lpBinaryPathName;
    r.serviceType = config.dwServiceType;
    r.startType = config.dwStartType;
    r.errorControl = config.dwErrorControl;
    r.displayName = config.lpDisplayName;
    r.account = config.lpServiceStartName;
    r.dependencies = config.lpDependencies ? config.lpDependencies : L"";
    r.description = queryDescription(service.get());
    r.messageFile = eventSourceValue(L"EventMessageFile", &r.messageFileType);
    r.typesSupported = eventSourceValue(L"TypesSupported", &r.typesSupportedType);
    return r;
}

// Field by field, so that a failure names the field.
void expectSameRegistration(const Registration& actual, const Registration& expected)
{
    EXPECT_EQ(withoutQuotes(actual.imagePath), withoutQuotes(expected.imagePath));
    EXPECT_EQ(actual.serviceType, expected.serviceType);
    EXPECT_EQ(actual.startType, expected.startType);
    EXPECT_EQ(actual.errorControl, expected.errorControl);
    EXPECT_EQ(actual.displayName, expected.displayName);
    EXPECT_EQ(actual.account, expected.account);
    EXPECT_EQ(actual.dependencies, expected.dependencies);
    EXPECT_EQ(actual.description, expected.description);
    EXPECT_EQ(actual.messageFileType, expected.messageFileType);
    EXPECT_EQ(actual.messageFile, expected.messageFile);
    EXPECT_EQ(actual.typesSupportedType, expected.typesSupportedType);
    EXPECT_EQ(actual.typesSupported, expected.typesSupported);
}

// What "/install" registers for the program in the folder the package
// installs to; the service, its event source and the copy are removed again.
Registration registrationByInstall()
{
    CreateDirectoryW(brevikFolder.c_str(), nullptr);
    placeProgram(L"OstrelService.exe", installFolder);
    const ProgramResult result = runProgram(L"\"" + installedProgram + L"\" /install", timeouts::state);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    const Registration expected = registration();
    // "/install" quotes the path; the comparison goes without the quotes,
    // so it must not pass for want of them.
    EXPECT_EQ(expected.imagePath, L"\"" + installedProgram + L"\"");
    removeOstrelService();
    removeInstallFolder();
    return expected;
}

// Whether the configuration is there as the service reads it: "/check" of
// the built program exits with 0 only when it loads linesets that all fire.
bool configurationIntact()
{
    return runProgram(L"\"" + besideThisProgram(L"OstrelService.exe") + L"\" /check", timeouts::state).exitCode == 0;
}

// Every test starts and ends without the package, OstrelService, its files
// in Program Files, configuration, and with the three-line logger.ini.
class Package : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        uninstallAll();
        removeOstrelService();
        removeInstallFolder();
    }

    void TearDown() override
    {
        service = ServiceHandle();
        uninstallAll();
        EndToEnd::TearDown();
        removeInstallFolder();
    }

    // Installs the package and waits until the service it started runs.
    void installAndWaitUntilRunning(const std::wstring& msi)
    {
        ASSERT_EQ(install(msi), DWORD(ERROR_SUCCESS));
        service = ServiceHandle(OpenServiceW(openManager().get(), serviceName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service) << "OstrelService is not installed: " << GetLastError();
        waitForState(service.get(), SERVICE_RUNNING);
    }

    // A lineset on lines 1 and 3 that toggles shortly after now and stays
    // toggled for the rest of the test; next due ten minutes later.
    static void configureLongToggle()
    {
        Lineset lineset{L"Studios", L"1,3", L"CNT", longInterval, serviceDue};
        lineset.periodicMinutes = 10;
        configure({lineset});
    }

    ServiceHandle service;
};

TEST_F(Package, InstallsAndStartsTheServiceAsItsOwnInstallRegistersIt)
{
    const Registration expected = registrationByInstall();
    // The administrator's configuration, which the package must not touch:
    // a lineset that does not fire during the test.
    Lineset nightly{L"Nightly", L"2", L"CNT", 30, 3600};
    nightly.periodicHours = 23;
    nightly.periodicMinutes = 0;
    configure({nightly});
    ASSERT_TRUE(configurationIntact());

    installAndWaitUntilRunning(package);
    expectSameRegistration(registration(), expected);
    EXPECT_EQ(readFileBytes(narrow(installedProgram)), readFileBytes(narrow(besideThisProgram(L"OstrelService.exe"))));
    EXPECT_THAT(installedVersions(), ElementsAre(OSTREL_VERSION));
    // Windows Installer compares three numbers only: a fourth would let two
    // releases pass for one.
    EXPECT_THAT(installedVersions(), ElementsAre(::testing::MatchesRegex("\\d+\\.\\d+\\.\\d+")));
    EXPECT_TRUE(configurationIntact());
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
}

TEST_F(Package, InstalledServiceTogglesALinesetAndRevertsIt)
{
    installAndWaitUntilRunning(package);
    configure({{L"Studios", L"1,3", L"CNT", 2, serviceDue}});
    EXPECT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);
}

TEST_F(Package, UpgradeReplacesTheProgramAndItsStartRevertsWhatTheBackupRecords)
{
    installAndWaitUntilRunning(package);
    const Registration before = registration();
    configureLongToggle();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
    // What a crash at this moment would leave behind.
    const std::string toggledIni = readFileBytes(iniPath);
    const std::string toggledBackup = readFileBytes(backupPath);

    // On Windows the upgrade stops the old service and waits for it before
    // deleting it. Wine's Windows Installer does not wait, so the new
    // service would be created while the old one is still stopping and be
    // gone with it; the test stops the service itself first.
    const ProgramResult stopped = runProgram(L"net stop OstrelService", timeouts::state);
    EXPECT_EQ(stopped.exitCode, 0u) << stopped.output;
    waitForState(service.get(), SERVICE_STOPPED);
    service = ServiceHandle();
    waitForServiceProcesses();
    EXPECT_EQ(readFileBytes(iniPath), originalIni) << "the stop reverts the toggle";
    // The crash's leftovers: the new version's start must revert them.
    writeBytes(iniPath, toggledIni);
    writeBytes(backupPath, toggledBackup);

    installAndWaitUntilRunning(nextPackage);
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);
    EXPECT_EQ(fileVersion(installedProgram), OSTREL_NEXT_VERSION);
    EXPECT_THAT(installedVersions(), ElementsAre(OSTREL_NEXT_VERSION)) << "the older version is removed";
    expectSameRegistration(registration(), before);
}

TEST_F(Package, OlderPackageDoesNotInstallOverANewerOne)
{
    installAndWaitUntilRunning(nextPackage);
    EXPECT_EQ(install(package), DWORD(ERROR_INSTALL_FAILURE));
    EXPECT_THAT(installedVersions(), ElementsAre(OSTREL_NEXT_VERSION));
    EXPECT_EQ(fileVersion(installedProgram), OSTREL_NEXT_VERSION);
    EXPECT_EQ(queryStatus(service.get()).dwCurrentState, DWORD(SERVICE_RUNNING));
}

TEST_F(Package, UninstallStopsAndRemovesTheServiceAndLeavesTheAdministratorsFiles)
{
    installAndWaitUntilRunning(package);
    configureLongToggle();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
    service = ServiceHandle();

    // Wine reports a needed restart when the program file was still in use.
    const DWORD result = msiexec(L"/x \"" + package + L"\"");
    EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED) << result;
    EXPECT_THAT(installedVersions(), IsEmpty());
    // Under Wine the removal does not wait for the stop: the service is gone
    // once its process has reverted the lines and ended.
    EXPECT_TRUE(eventually([] { return !serviceExists(); })) << "OstrelService is still installed";
    waitForServiceProcesses();
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
    EXPECT_FALSE(eventSourceExists(eventSourceKey));
    EXPECT_TRUE(fileExists(backupPath));
    EXPECT_TRUE(configurationIntact());
}

}  // namespace
