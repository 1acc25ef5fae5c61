#pragma once
// Identity of the framework's test services, shared by the test program and
// the service program it installs. The names never collide with the real
// service, and the services start only on demand, so a test that dies never
// leaves one that restarts with every Wine session.

#include <string>

namespace frameworkTest {

constexpr const wchar_t* firstName = L"OstrelFrameworkTest";
constexpr const wchar_t* firstDisplayName = L"Ostrel framework test service";
constexpr const wchar_t* firstDescription = L"Runs the tests of the Windows service framework.";
constexpr const wchar_t* eventSource = L"Ostrel framework test program";

// The second slot of the table: no description and no event source, and
// dependencies that Wine runs anyway.
constexpr const wchar_t* secondName = L"OstrelFrameworkTest2";
constexpr const wchar_t* secondDisplayName = L"Ostrel framework test service 2";
constexpr const wchar_t* secondDependencies[] = {L"RpcSs", L"PlugPlay"};

constexpr const wchar_t* accountName = L"NT AUTHORITY\\SYSTEM";

// Set by a test to let a service held in a pending state go on.
inline std::wstring continueEventName(const std::wstring& service)
{
    return L"Global\\" + service + L".continue";
}

}  // namespace frameworkTest
