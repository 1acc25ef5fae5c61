// Installing and removing services of this executable from the command
// line: the service manager's configuration, the description, the recovery
// actions and the event source.

#include "windows_service/WindowsService.h"

#include <cstdio>
#include <string>
#include <vector>

#include "windows_service/ServiceHandle.h"

namespace {

// "/remove" shows a dot per second while the service winds down; it waits
// as long as the service keeps reporting SERVICE_STOP_PENDING.
const DWORD stopPollMilliseconds = 1000;

const std::wstring applicationEventSources = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const DWORD eventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The dependency names, each followed by its NUL; the string's own
// terminator ends the list.
std::wstring dependencyList(const std::vector<std::wstring>& names)
{
    std::wstring list;
    for (const auto& name : names) {
        list += name;
        list.push_back(L'\0');
    }
    return list;
}

// One optional part of the configuration; a failure is printed with the
// part's name and the installation goes on.
void changeConfig(const ServiceHandle& service, DWORD level, void* info, const wchar_t* part)
{
    if (!ChangeServiceConfig2W(service.get(), level, info))
        wprintf(L"ChangeServiceConfig2 (%ls) failed, GetLastError: 0x%08lx\n", part, GetLastError());
}

void setDescription(const ServiceHandle& service, const std::wstring& description)
{
    SERVICE_DESCRIPTIONW config = {const_cast<LPWSTR>(description.c_str())};
    changeConfig(service, SERVICE_CONFIG_DESCRIPTION, &config, L"description");
}

// The restarts, then one "no action": the manager repeats the last action
// for every later failure, so a fault that persists ends in a stopped
// service instead of a restart every minute. The flag makes a stop with a
// non-zero exit code a failure too, not only a process that dies: that is
// how the framework reports a start or a run() that failed.
void setRecoveryActions(const ServiceHandle& service, const RecoveryActions& recovery)
{
    std::vector<SC_ACTION> actions(recovery.restarts, SC_ACTION{SC_ACTION_RESTART, recovery.restartDelayMilliseconds});
    actions.push_back(SC_ACTION{SC_ACTION_NONE, 0});
    SERVICE_FAILURE_ACTIONSW failureActions = {recovery.resetPeriodSeconds, nullptr, nullptr, DWORD(actions.size()),
                                               actions.data()};
    changeConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions, L"failure actions");
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    changeConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, L"failure actions flag");
}

// The executable is its own message file: its message table holds the
// texts of the records it writes.
void registerEventSource(const std::wstring& source, const std::wstring& programPath)
{
    const std::wstring key = applicationEventSources + source;
    LSTATUS result = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile", REG_EXPAND_SZ,
                                     programPath.c_str(), DWORD((programPath.size() + 1) * sizeof(wchar_t)));
    if (result == ERROR_SUCCESS)
        result = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported", REG_DWORD, &eventTypesSupported,
                                 sizeof eventTypesSupported);
    if (result != ERROR_SUCCESS)
        wprintf(L"RegSetKeyValue failed w/err 0x%08lx\n", static_cast<unsigned long>(result));
}

void unregisterEventSource(const std::wstring& source)
{
    const LSTATUS result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, (applicationEventSources + source).c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        wprintf(L"RegDeleteKey failed w/err 0x%08lx\n", static_cast<unsigned long>(result));
}

// Asks a running service to stop and waits while it reports stop pending;
// true when it does not run or has stopped. A service that does not run is
// left alone without a message. The manager's answer alone does not tell
// whether a stop is under way: one it gave up waiting for (the service's
// stop may wait long for a logger.ini another program holds), or one asked
// for earlier and still pending, which it answers as a control the service
// cannot accept, is waited for all the same, or the removal would report a
// service removed that is still reverting its lines.
bool stopForRemoval(const ServiceHandle& service, const std::wstring& name)
{
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
        (!QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED))
        return true;
    wprintf(L"Stopping %ls.", name.c_str());
    fflush(stdout);
    Sleep(stopPollMilliseconds);
    SERVICE_STATUS queried;
    while (QueryServiceStatus(service.get(), &queried)) {
        status = queried;
        if (status.dwCurrentState != SERVICE_STOP_PENDING)
            break;
        wprintf(L".");
        fflush(stdout);
        Sleep(stopPollMilliseconds);
    }
    const bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    if (stopped)
        wprintf(L"\n%ls is stopped.\n", name.c_str());
    else
        wprintf(L"\n%ls failed to stop.\n", name.c_str());
    return stopped;
}

}  // namespace

std::wstring WindowsService::description() const
{
    return std::wstring();
}

std::wstring WindowsService::eventSourceName() const
{
    return std::wstring();
}

RecoveryActions WindowsService::recoveryActions() const
{
    return RecoveryActions();
}

void InstallService(const std::wstring& name, const std::wstring& displayName, DWORD startType,
                    const std::vector<std::wstring>& dependencies, const std::wstring& accountName,
                    const boost::optional<std::wstring>& password, const std::wstring& description,
                    const std::wstring& eventSourceName, const RecoveryActions& recovery)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A full buffer means the path was cut short: installing it would point
    // the service at another file.
    if (length == 0 || length >= MAX_PATH) {
        wprintf(L"GetModuleFileName failed, GetLastError: 0x%08lx\n", GetLastError());
        return;
    }
    const std::wstring programPath(path, length);

    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        wprintf(L"OpenSCManager failed, GetLastError: 0x%08lx\n", GetLastError());
        return;
    }
    // Quoted: unquoted, a path with blanks would let the service manager
    // start a program named by its first words instead.
    const std::wstring imagePath = L"\"" + programPath + L"\"";
    const std::wstring dependencyNames = dependencyList(dependencies);
    const ServiceHandle service(CreateServiceW(manager.get(), name.c_str(), displayName.c_str(),
                                               // Restart actions need SERVICE_START.
                                               SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                               SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                               imagePath.c_str(), nullptr, nullptr, dependencyNames.c_str(),
                                               accountName.c_str(), password ? password->c_str() : nullptr));
    if (!service) {
        wprintf(L"CreateService failed, GetLastError: 0x%08lx\n", GetLastError());
        return;
    }
    wprintf(L"%ls is installed.\n", name.c_str());
    if (!description.empty())
        setDescription(service, description);
    if (recovery.restarts > 0)
        setRecoveryActions(service, recovery);
    if (!eventSourceName.empty())
        registerEventSource(eventSourceName, programPath);
}

void RemoveService(const std::wstring& name, const std::wstring& eventSourceName)
{
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        wprintf(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    const ServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        wprintf(L"OpenService failed, GetLastError: 0x%08lx\n", GetLastError());
        return;
    }
    const bool stopped = stopForRemoval(service, name);
    if (!DeleteService(service.get())) {
        wprintf(L"DeleteService failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    // A service that still runs is only marked for deletion: the manager
    // removes it once it stops.
    if (stopped)
        wprintf(L"%ls is removed.\n", name.c_str());
    else
        wprintf(L"%ls is removed once it stops.\n", name.c_str());
    if (!eventSourceName.empty())
        unregisterEventSource(eventSourceName);
}

void InstallServices(const ServiceTable& table)
{
    if (table.size() > maxServices)
        return;
    for (const auto& service : table)
        InstallService(service->serviceName(), service->displayName(), service->startType(), service->dependencies(),
                       service->accountName(), service->password(), service->description(), service->eventSourceName(),
                       service->recoveryActions());
}

void RemoveServices(const ServiceTable& table)
{
    if (table.empty() || table.size() > maxServices)
        return;
    for (const auto& service : table)
        RemoveService(service->serviceName(), service->eventSourceName());
}
