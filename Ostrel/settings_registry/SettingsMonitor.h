#pragma once
// Tells whether the configuration differs from the copy in force by reading
// it again and comparing the two; the engine asks only when the registry has
// told it of a change below the settings key. The comparison is the
// settings' own equality, so only what the loader takes from the registry
// counts: an edit of a field the selected schedule mode does not use, or
// below a lineset subkey beyond "Count", is no change.

#include <boost/shared_ptr.hpp>

#include "Ostrel/settings/Settings.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"

namespace Ostrel {

// How a monitor reads a fresh instance of its settings type.
template <class SettingsT>
struct SettingsLoader;

template <>
struct SettingsLoader<Settings> {
    static boost::shared_ptr<Settings> load() { return loadSettings(); }
};

// Used by one thread only; takes no lock.
template <class SettingsT>
class SettingsMonitor {
public:
    SettingsMonitor() = default;

    // Whether a fresh read differs from the copy in force (also when exactly
    // one of them is missing, so before the first setCurrent the answer is
    // yes). Leaves the copy in force unchanged. Throws what the loader and
    // the equality throw.
    bool changed() const
    {
        boost::shared_ptr<const SettingsT> fresh;
        return changed(fresh);
    }

    // The same test, handing out the fresh read, so that a change found is
    // applied as it was read instead of being read once more.
    bool changed(boost::shared_ptr<const SettingsT>& fresh) const
    {
        fresh = SettingsLoader<SettingsT>::load();
        if (fresh && current)
            return !(*fresh == *current);
        return bool(fresh) != bool(current);
    }

    // Keeps settings (or nothing, for an empty pointer) as the settings in
    // force. Loaded settings are never changed, so the engine's own copy is
    // shared rather than copied.
    void setCurrent(const boost::shared_ptr<const SettingsT>& settings) { current = settings; }

private:
    boost::shared_ptr<const SettingsT> current;
};

}  // namespace Ostrel
