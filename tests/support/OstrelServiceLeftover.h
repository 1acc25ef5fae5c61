#pragma once
// OstrelService as the service manager knows it, and its removal. A test
// killed by its time-out can leave the service installed; as an auto-start
// service it would start with the next Wine session and toggle logger.ini
// outside CTest's locks, under another test. So every fixture that touches
// the configuration key, logger.ini or the service manager removes a
// leftover service first (removeOstrelService).

#include <windows.h>

#include <gtest/gtest.h>

#include "support/ServiceManager.h"

const wchar_t serviceName[] = L"OstrelService";
const wchar_t eventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brevik Ostrel service program";

inline bool serviceExists()
{
    return serviceInstalled(openManager().get(), serviceName);
}

// Stops and deletes OstrelService whatever installed it and whatever state
// it is in, with its event source, and waits until the manager has
// forgotten it and its process has ended.
inline void removeOstrelService()
{
    removeService(serviceName, eventSourceKey);
}
