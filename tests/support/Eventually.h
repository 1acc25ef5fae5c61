#pragma once
// Waiting on a state instead of sleeping: the tests' one polling loop.

#include <windows.h>

#include <functional>

// True once the condition holds, polled every `pollMilliseconds` until
// `timeoutMilliseconds` have passed (then looked at once more).
inline bool eventually(const std::function<bool()>& condition, DWORD timeoutMilliseconds, DWORD pollMilliseconds = 20)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMilliseconds)
            return condition();
        Sleep(pollMilliseconds);
    }
    return true;
}
