#pragma once
// Following services through Wine's real service manager: their status
// reports, polled, and the processes that served them, so that no test
// begins while an earlier test's service process is still on its way out.

#include <windows.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <gtest/gtest.h>

#include "handle/KernelHandle.h"
#include "registry/RegKey.h"
#include "support/Eventually.h"
#include "utf/Utf.h"
#include "windows_service/ServiceHandle.h"

inline ServiceHandle openManager()
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        throw std::runtime_error("OpenSCManager failed");
    return manager;
}

inline SERVICE_STATUS_PROCESS queryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        ADD_FAILURE() << "QueryServiceStatusEx failed: " << GetLastError();
    return status;
}

// The service's configuration, a QUERY_SERVICE_CONFIGW at the buffer's start.
inline std::vector<BYTE> queryConfig(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (!QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), needed, &needed))
        ADD_FAILURE() << "QueryServiceConfigW failed: " << GetLastError();
    return buffer;
}

// The description the service manager shows beside the display name.
inline std::wstring queryDescription(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(SERVICE_DESCRIPTIONW));
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), DWORD(buffer.size()), &needed))
        return L"<failed>";
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
    return description->lpDescription ? description->lpDescription : L"";
}

// The recovery actions the manager keeps for the service: the reset period
// in seconds, each action as (type, delay in ms), and the failure-actions
// flag. None when the manager keeps none: Wine's answers either query with
// ERROR_INVALID_LEVEL, whose code is then in *error.
struct FailureActions {
    DWORD resetPeriod;
    std::vector<std::pair<int, DWORD>> actions;
    bool onNonCrashFailures;
};

inline boost::optional<FailureActions> queryFailureActions(SC_HANDLE service, DWORD* error)
{
    DWORD needed = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(SERVICE_FAILURE_ACTIONSW));
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), DWORD(buffer.size()), &needed)) {
        *error = GetLastError();
        return boost::none;
    }
    const auto* config = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    FailureActions result{config->dwResetPeriod, {}, false};
    for (DWORD i = 0; i < config->cActions; ++i)
        result.actions.emplace_back(config->lpsaActions[i].Type, config->lpsaActions[i].Delay);
    SERVICE_FAILURE_ACTIONS_FLAG flag = {};
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&flag), sizeof flag,
                              &needed)) {
        *error = GetLastError();
        return boost::none;
    }
    result.onNonCrashFailures = flag.fFailureActionsOnNonCrashFailures != FALSE;
    return result;
}

// One status as the manager reported it, in a form gtest can print.
struct StatusReport {
    DWORD state;
    DWORD checkPoint;
    bool operator==(const StatusReport& other) const { return state == other.state && checkPoint == other.checkPoint; }
};
inline void PrintTo(const StatusReport& report, std::ostream* out)
{
    *out << "{state " << report.state << ", check point " << report.checkPoint << "}";
}

// Every service process seen by waitForStatus since the last wait for them.
inline std::vector<DWORD>& seenServiceProcesses()
{
    static std::vector<DWORD> processes;
    return processes;
}

inline void waitForServiceProcesses()
{
    for (DWORD id : seenServiceProcesses()) {
        const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
        if (process)
            WaitForSingleObject(process.get(), timeouts::state);
    }
    seenServiceProcesses().clear();
}

// Polls the service's status until `done` holds, appending each status that
// differs from the one before to `seen`. Fails the test on time-out. A
// pending state a test must see is held by the test (a file the service
// waits for), never caught by polling fast.
inline SERVICE_STATUS_PROCESS waitForStatus(SC_HANDLE service,
                                            const std::function<bool(const SERVICE_STATUS_PROCESS&)>& done,
                                            std::vector<StatusReport>* seen = nullptr)
{
    std::vector<DWORD>& processes = seenServiceProcesses();
    SERVICE_STATUS_PROCESS status = {};
    const bool reached = eventually([&] {
        status = queryStatus(service);
        if (status.dwProcessId && std::find(processes.begin(), processes.end(), status.dwProcessId) == processes.end())
            processes.push_back(status.dwProcessId);
        const StatusReport report{status.dwCurrentState, status.dwCheckPoint};
        if (seen && (seen->empty() || !(seen->back() == report)))
            seen->push_back(report);
        return done(status);
    });
    if (!reached)
        ADD_FAILURE() << "service stuck in state " << status.dwCurrentState;
    return status;
}

inline SERVICE_STATUS_PROCESS waitForState(SC_HANDLE service, DWORD state, std::vector<StatusReport>* seen = nullptr)
{
    return waitForStatus(
        service, [state](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState == state; }, seen);
}

inline bool processAlive(DWORD id)
{
    const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
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

// Whether the event source's key (its path below HKEY_LOCAL_MACHINE) is there.
inline bool eventSourceExists(const wchar_t* key)
{
    HKEY opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) == ERROR_SUCCESS && RegKey(opened);
}

inline bool serviceInstalled(SC_HANDLE manager, const wchar_t* name)
{
    return bool(ServiceHandle(OpenServiceW(manager, name, SERVICE_QUERY_STATUS)));
}

// Stops and deletes a service whatever installed it and whatever state it
// is in, with its event source when it has one (the key's path below
// HKEY_LOCAL_MACHINE), and waits until the manager has forgotten it and its
// process has ended: a test killed by its time-out may have left it.
inline void removeService(const wchar_t* name, const wchar_t* eventSourceKey = nullptr)
{
    const ServiceHandle manager = openManager();
    {
        const ServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
        if (service) {
            SERVICE_STATUS status;
            if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                reviveKilledService(service.get());
            waitForState(service.get(), SERVICE_STOPPED);
            DeleteService(service.get());
        }
    }
    if (!eventually([&] { return !serviceInstalled(manager.get(), name); }))
        ADD_FAILURE() << utf::narrow(std::wstring(name)) << " is still installed";
    if (eventSourceKey)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, eventSourceKey);
    waitForServiceProcesses();
}
