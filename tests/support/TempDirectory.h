#pragma once
// A fresh folder under the Windows temporary folder (inside the Wine prefix
// when run under Wine), removed with everything in it at destruction, also
// files left read-only, hidden or system.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class TempDirectory {
public:
    TempDirectory()
    {
        char temp[MAX_PATH];
        const DWORD length = GetTempPathA(MAX_PATH, temp);
        static unsigned counter = 0;
        for (;;) {
            folder = std::string(temp, length) + "ostrel-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(++counter) + "\\";
            if (CreateDirectoryA(folder.c_str(), nullptr))
                return;
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                throw std::runtime_error("cannot create " + folder);
        }
    }

    ~TempDirectory()
    {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = path(found.cFileName);
                SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(name.c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(folder.c_str());
    }

    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    std::string path(const std::string& name) const { return folder + name; }
    // The same path for the wide functions; the narrow one is in the ANSI
    // code page, as the narrow functions take it.
    std::wstring widePath(const std::string& name) const
    {
        const std::string narrow = path(name);
        std::wstring wide(narrow.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &wide[0],
                                        static_cast<int>(wide.size())));
        return wide;
    }

    // Creates or replaces a file with exactly these bytes; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out.flush())
            throw std::runtime_error("cannot write " + path(name));
        return path(name);
    }

    // The bytes of a file.
    std::string read(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    bool exists(const std::string& name) const
    {
        return GetFileAttributesA(path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    std::string folder;
};
