#pragma once
// Diagnostic hooks of the file layer: instance counters and named scopes.
//
// The trace facility reports its events to per-thread handler lists, and
// nothing in this system fills them; the hooks are therefore empty
// operations that cost nothing. They stay in the code so that a handler can
// be connected later without touching the classes that carry them.

namespace trace {

// Base of a class whose live instances are counted ("object_count" event
// under T's type name: +1 at construction, -1 at destruction).
template <class T>
class counted_object {
protected:
    counted_object() noexcept {}
    counted_object(const counted_object&) noexcept {}
    counted_object& operator=(const counted_object&) noexcept { return *this; }
    ~counted_object() {}
};

// Marks a named step for the life of the object ("scope_enter" at
// construction, "scope_exit" at destruction).
class scope {
public:
    explicit scope(const char* /*name*/) noexcept {}
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;
};

}  // namespace trace
