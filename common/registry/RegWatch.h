#pragma once
// RegWatch: tells a waiting loop that a registry key, or anything below it,
// may have changed, through an event the loop waits on beside its timer.
// The loop arms the watch before it reads the key, so that a change made
// while it reads signals the event and is read at the next look.

#include <windows.h>

#include <string>

#include "handle/KernelHandle.h"
#include "registry/RegKey.h"

class RegWatch {
public:
    // Watches `subkey` of `root` in the registry view `view` (KEY_WOW64_32KEY,
    // KEY_WOW64_64KEY or 0). Not armed yet: the event starts signalled, so
    // that the first look reads the key. Throws std::runtime_error when no
    // event can be made.
    RegWatch(HKEY root, std::wstring subkey, REGSAM view);
    RegWatch(const RegWatch&) = delete;
    RegWatch& operator=(const RegWatch&) = delete;

    // Signalled by the first change of a value or subkey anywhere below the
    // key (names and values, subkeys included) after arm(); manual reset.
    HANDLE event() const { return changed.get(); }

    // Clears the event and watches from now on: the key above the watched
    // one, with everything below it, or while that one does not exist the
    // nearest existing key above it, so that the key's creation and its
    // deletion signal the event too. A key deleted and created again is
    // opened afresh. When not even the root can
    // be watched, the event is left signalled: the caller then reads at
    // every look instead of missing a change.
    void arm();

private:
    // Opens the key, or the nearest one above it, and asks for the
    // notification; false when none could be watched.
    bool watchNearest();

    HKEY root;
    std::wstring subkey;
    REGSAM view;
    KernelHandle changed;
    RegKey key;           // what is watched; none before the first arm
    bool watchingTarget;  // the key right above the watched one, not one higher
};
