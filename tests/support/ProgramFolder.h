#pragma once
// The folder of the running test program: test helper programs, and the
// service program itself, are built into the same folder as the tests.

#include <windows.h>

#include <stdexcept>
#include <string>

#include "support/Eventually.h"
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

// Copies a program built beside this one into `folder` (created when
// missing) under its own name: how the tests place a program where a
// service is installed from. A service process of an earlier test may
// still be exiting and holding the file, so the copy is tried again
// meanwhile. Throws std::runtime_error when it never succeeds.
inline void placeProgram(const std::wstring& name, const std::wstring& folder)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring source = besideThisProgram(name);
    const std::wstring copy = folder + L"\\" + name;
    if (!eventually([&] { return CopyFileW(source.c_str(), copy.c_str(), FALSE) != FALSE; }))
        throw std::runtime_error("cannot copy " + utf::narrow(name) + " (error " + std::to_string(GetLastError()) +
                                 ")");
}
