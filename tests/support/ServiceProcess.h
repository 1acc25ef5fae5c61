#pragma once
// The real OstrelService.exe run in the foreground ("/console") as a child
// process, found in the folder of the running program (a target that uses
// it depends on OstrelService). Its output is drained while it runs, so the
// engine never blocks on a full pipe and callers can wait for a log line.
// kill() ends it as a crash would: TerminateProcess, no revert. Destruction
// kills it if it still runs.

#include <algorithm>
#include <chrono>
#include <string>

#include "support/LiveProcess.h"
#include "support/Occurrences.h"

class ServiceProcess : public LiveProcess {
public:
    ServiceProcess() : LiveProcess(L"\"" + besideThisProgram(L"OstrelService.exe") + L"\" /console") {}

    // Everything the program has written so far, CR removed.
    std::string output() const { return text(); }

    // Waits until the output holds `text` at or after offset `from`; false
    // when the time ran out or the program ended without writing it.
    bool waitForOutput(const std::string& wanted, std::chrono::milliseconds timeout, std::size_t from = 0)
    {
        return waitForText(
            [&](const std::string& out) { return out.find(wanted, std::min(from, out.size())) != std::string::npos; },
            static_cast<DWORD>(timeout.count()));
    }

    // How often `wanted` occurs in the output.
    std::size_t count(const std::string& wanted) const { return occurrences(text(), wanted); }
};
