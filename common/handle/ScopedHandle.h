#pragma once
// ScopedHandle<Traits>: the one owner shape for every system handle of the
// program (file and process handles, service manager handles, registry
// keys). It closes what it owns when it goes out of scope, on every path;
// ownership moves but is never copied, and it is never handed back: a
// handle taken by a ScopedHandle is closed by it.
//
// Traits say what the handle is and how it ends:
//   typedef ... Handle;                 the raw handle type
//   static Handle none() noexcept;      the value that owns nothing
//   static bool owns(Handle) noexcept;  whether a value is a live handle
//   static void close(Handle) noexcept; closes a live handle
// No Windows header is needed here; the traits bring their own.

#include <utility>

template <class Traits>
class ScopedHandle {
public:
    typedef typename Traits::Handle Handle;

    ScopedHandle() noexcept = default;
    // Takes ownership; a value that owns nothing (a failed open) is kept as
    // it is and never closed.
    explicit ScopedHandle(Handle handle) noexcept : handle(handle) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle(std::exchange(other.handle, Traits::none())) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.handle, Traits::none()));
        return *this;
    }

    Handle get() const noexcept { return handle; }
    explicit operator bool() const noexcept { return Traits::owns(handle); }

    // Closes the handle owned so far, then owns `next`.
    void reset(Handle next = Traits::none()) noexcept
    {
        if (Traits::owns(handle))
            Traits::close(handle);
        handle = next;
    }

private:
    Handle handle = Traits::none();
};

// The traits of the usual handle type, whose null value owns nothing (a
// service manager handle, a registry key), closed by `closeFunction`; what
// that returns is of no use once the handle goes.
template <class H, auto closeFunction>
struct NullIsNoneTraits {
    typedef H Handle;
    static Handle none() noexcept { return nullptr; }
    static bool owns(Handle handle) noexcept { return handle != nullptr; }
    static void close(Handle handle) noexcept { closeFunction(handle); }
};
