#pragma once
// KernelHandle: a ScopedHandle of a kernel object (file, process, thread,
// pipe, event), closed with CloseHandle. Both null and INVALID_HANDLE_VALUE
// own nothing, since Windows returns one or the other from a failed open.

#include <windows.h>

#include "handle/ScopedHandle.h"

struct KernelHandleTraits {
    typedef HANDLE Handle;
    static Handle none() noexcept { return nullptr; }
    static bool owns(Handle handle) noexcept { return handle && handle != INVALID_HANDLE_VALUE; }
    static void close(Handle handle) noexcept { CloseHandle(handle); }
};

typedef ScopedHandle<KernelHandleTraits> KernelHandle;
