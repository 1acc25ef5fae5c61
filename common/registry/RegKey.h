#pragma once
// RegKey: a ScopedHandle of an open registry key, closed with RegCloseKey.
// Only keys this program opened go into one: the predefined roots
// (HKEY_LOCAL_MACHINE and the like) are never owned.

#include <windows.h>

#include "handle/ScopedHandle.h"

typedef ScopedHandle<NullIsNoneTraits<HKEY, &RegCloseKey>> RegKey;
