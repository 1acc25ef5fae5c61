#pragma once
// ServiceHandle: owns one handle of the service control manager (a manager
// or a service handle, both SC_HANDLE) and closes it with CloseServiceHandle
// when it goes out of scope, on every path.

#include <windows.h>

#include <utility>

class ServiceHandle {
public:
    ServiceHandle() noexcept = default;
    // Takes ownership of `handle`; a null handle (a failed open) owns nothing.
    explicit ServiceHandle(SC_HANDLE handle) noexcept : handle(handle) {}
    ~ServiceHandle() { close(); }

    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ServiceHandle(ServiceHandle&& other) noexcept : handle(other.release()) {}
    ServiceHandle& operator=(ServiceHandle&& other) noexcept
    {
        if (this != &other) {
            close();
            handle = other.release();
        }
        return *this;
    }

    SC_HANDLE get() const noexcept { return handle; }
    explicit operator bool() const noexcept { return handle != nullptr; }
    // Hands the handle to the caller, who must close it.
    SC_HANDLE release() noexcept { return std::exchange(handle, nullptr); }

private:
    void close() noexcept
    {
        if (handle)
            CloseServiceHandle(handle);
        handle = nullptr;
    }

    SC_HANDLE handle = nullptr;
};
