#pragma once
// ServiceHandle: a ScopedHandle of the service control manager (a manager or
// a service handle, both SC_HANDLE), closed with CloseServiceHandle. A null
// handle (a failed open) owns nothing.

#include <windows.h>

#include "handle/ScopedHandle.h"

struct ServiceHandleTraits {
    typedef SC_HANDLE Handle;
    static Handle none() noexcept { return nullptr; }
    static bool owns(Handle handle) noexcept { return handle != nullptr; }
    static void close(Handle handle) noexcept { CloseServiceHandle(handle); }
};

typedef ScopedHandle<ServiceHandleTraits> ServiceHandle;
