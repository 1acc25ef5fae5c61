#pragma once
// RegKey: a ScopedHandle of an open registry key, closed with RegCloseKey.
// Only keys this program opened go into one: the predefined roots
// (HKEY_LOCAL_MACHINE and the like) are never owned.

#include <windows.h>

#include "handle/ScopedHandle.h"

struct RegKeyTraits {
    typedef HKEY Handle;
    static Handle none() noexcept { return nullptr; }
    static bool owns(Handle handle) noexcept { return handle != nullptr; }
    static void close(Handle handle) noexcept { RegCloseKey(handle); }
};

typedef ScopedHandle<RegKeyTraits> RegKey;
