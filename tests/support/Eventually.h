#pragma once
// Waiting on a state instead of sleeping: the tests' one polling loop.

#include <windows.h>

#include <functional>

#include "support/Timeouts.h"

// True once the condition holds, looked at every `pollMilliseconds` until
// `timeoutMilliseconds` have passed (then once more).
inline bool eventually(const std::function<bool()>& condition, DWORD timeoutMilliseconds = timeouts::state,
                       DWORD pollMilliseconds = timeouts::poll)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMilliseconds)
            return condition();
        Sleep(pollMilliseconds);
    }
    return true;
}
