#pragma once
// OstrelService as the service manager knows it, and its removal. A test
// killed by its time-out can leave the service installed; as an auto-start
// service it would start with the next Wine session and toggle logger.ini
// outside CTest's locks, under another test. So every fixture that touches
// the configuration key, logger.ini or the service manager removes a
// leftover service first (removeOstrelService).

#include <windows.h>

#include <gtest/gtest.h>

#include "support/Eventually.h"
#include "support/ServiceManager.h"
#include "windows_service/ServiceHandle.h"

const wchar_t serviceName[] = L"OstrelService";
const wchar_t eventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brevik Ostrel service program";

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
    if (!eventually([&] { return !ServiceHandle(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS)); },
                    serviceManager::timeoutMilliseconds))
        ADD_FAILURE() << "OstrelService is still installed";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, eventSourceKey);
    waitForServiceProcesses();
}
