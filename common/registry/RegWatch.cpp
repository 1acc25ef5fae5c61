#include "registry/RegWatch.h"

#include <stdexcept>

#include <boost/throw_exception.hpp>

namespace {

constexpr DWORD watchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

bool notifyOn(HKEY key, HANDLE event)
{
    return RegNotifyChangeKeyValue(key, TRUE, watchedChanges, event, TRUE) == ERROR_SUCCESS;
}

// The key that holds `path`, or the root's empty name.
std::wstring above(const std::wstring& path)
{
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

RegWatch::RegWatch(HKEY root, std::wstring subkey, REGSAM view)
    : root(root),
      subkey(std::move(subkey)),
      view(view),
      changed(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      watchingTarget(false)
{
    if (!changed)
        boost::throw_exception(std::runtime_error("Can't create the registry change event"));
}

void RegWatch::arm()
{
    ResetEvent(changed.get());
    // The usual case, one call: the key itself is still there.
    if (key && watchingTarget && notifyOn(key.get(), changed.get()))
        return;
    // Closing a watched handle signals its event: cleared again before the
    // new watch, whose reading after arm() covers the moments in between.
    key.reset();
    ResetEvent(changed.get());
    if (!watchNearest())
        SetEvent(changed.get());
}

bool RegWatch::watchNearest()
{
    // A deleted key tells no watcher of its own, only those of the keys above
    // it: a watch on the key itself, armed while its deletion was under way,
    // would never wake again. The key above it hears of everything below it,
    // its deletion and its creation included.
    const std::wstring target = above(subkey);
    std::wstring path = target;
    for (;;) {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_NOTIFY | view, &opened) == ERROR_SUCCESS) {
            key.reset(opened);
            if (notifyOn(key.get(), changed.get())) {
                watchingTarget = path == target;
                return true;
            }
            // Deleted between the open and the request: the key above sees
            // it created again.
            key.reset();
        }
        if (path.empty())
            return false;
        path = above(path);
    }
}
