#pragma once
// Whether a handle value still names an open handle to a given file. A
// closed handle's value may be given to the next handle any thread of the
// process opens (a pipe, an event), so "the value is no longer valid" would
// fail now and then although the file's handle was closed.

#include <windows.h>

// True when `value` is an open handle to the file that `file` is open on.
inline bool opensSameFile(HANDLE value, HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION of = {};
    BY_HANDLE_FILE_INFORMATION wanted = {};
    return GetFileInformationByHandle(value, &of) && GetFileInformationByHandle(file, &wanted) &&
           of.dwVolumeSerialNumber == wanted.dwVolumeSerialNumber && of.nFileIndexHigh == wanted.nFileIndexHigh &&
           of.nFileIndexLow == wanted.nFileIndexLow;
}
