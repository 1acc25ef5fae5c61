#pragma once
// Runs a command line to its end and returns what it printed, for tests.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Lines.h"
#include "support/LiveProcess.h"

struct ProgramResult {
    DWORD exitCode;
    std::string output;  // standard output and error, CRs removed

    std::vector<std::string> lines() const { return linesOf(output); }
};

// Runs a command line to its end. A process still running after the
// time-out fails the test; it is then ended and reported as STILL_ACTIVE.
inline ProgramResult runProgram(const std::wstring& commandLine, DWORD timeoutMilliseconds)
{
    LiveProcess process(commandLine);
    DWORD exitCode = STILL_ACTIVE;
    if (!process.finish(timeoutMilliseconds, &exitCode))
        ADD_FAILURE() << utf::narrow(commandLine) << " did not end";
    return {exitCode, process.text()};
}
