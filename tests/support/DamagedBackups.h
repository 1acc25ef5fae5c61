#pragma once
// The damaged backup files the service has set aside in a folder (the
// Windows directory): "brevik_ostrel_saved_modes.bak.<time>[-<n>].damaged".

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// Their full paths, sorted by name (so by the time they were set aside).
// `folder` ends in a backslash.
inline std::vector<std::string> damagedBackups(const std::string& folder)
{
    std::vector<std::string> paths;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "brevik_ostrel_saved_modes.bak.*.damaged").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return paths;
    do
        paths.push_back(folder + found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(paths.begin(), paths.end());
    return paths;
}

inline void removeDamagedBackups(const std::string& folder)
{
    for (const std::string& path : damagedBackups(folder))
        DeleteFileA(path.c_str());
}
