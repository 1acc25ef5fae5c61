#pragma once
// The folder of the running test program: test helper programs, and the
// service program itself, are built into the same folder as the tests.

#include <windows.h>

#include <string>

#include "utf/Utf.h"

// The folder, without a trailing separator.
inline std::wstring programDirectory()
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/"));
}

// The full path of a file in that folder.
inline std::wstring besideThisProgram(const std::wstring& name)
{
    return programDirectory() + L"\\" + name;
}

// The same as a narrow string, for the narrow file functions (the build
// folders' names are ASCII).
inline std::string besideThisProgram(const std::string& name)
{
    return utf::narrow(besideThisProgram(utf::widen(name)));
}
