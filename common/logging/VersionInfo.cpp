#include "logging/VersionInfo.h"

#include <windows.h>

#include <cstdio>

namespace logging {

VersionInfo::VersionInfo(const char* path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return;
    block.resize(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data()))
        block.clear();
}

const char* VersionInfo::stringValue(const char* key) const
{
    if (block.empty())
        return "";
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation))
        return "";
    char query[256];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translations[0].language,
                  translations[0].codePage, key);
    char* value = nullptr;
    if (!VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&value), &length) || !value)
        return "";
    return value;
}

namespace {

struct ModulePath {
    char text[MAX_PATH + 1] = {};
};

ModulePath findOwnModule()
{
    ModulePath path;
    MEMORY_BASIC_INFORMATION memory{};
    if (VirtualQuery(reinterpret_cast<const void*>(&findOwnModule), &memory, sizeof memory) != 0)
        GetModuleFileNameA(static_cast<HMODULE>(memory.AllocationBase), path.text, sizeof path.text);
    return path;
}

}  // namespace

const char* ownModulePath()
{
    static const ModulePath path = findOwnModule();
    return path.text;
}

}  // namespace logging
