#pragma once
// ServiceHandle: a ScopedHandle of the service control manager (a manager or
// a service handle, both SC_HANDLE), closed with CloseServiceHandle. A null
// handle (a failed open) owns nothing.

#include <windows.h>

#include "handle/ScopedHandle.h"

typedef ScopedHandle<NullIsNoneTraits<SC_HANDLE, &CloseServiceHandle>> ServiceHandle;
