#pragma once
// What the benchmark programs share: a monotonic clock, order statistics,
// the process's own resource figures, and a way to keep the engine's log
// lines out of the figures they print.
//
// Absolute times under Wine on a shared machine are noisy, so the programs
// measure the product and its baseline in alternating rounds within one run
// and print the median of the per-round ratios.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "support/ConsoleCapture.h"

namespace bench {

// Seconds on the performance counter (the same clock in every process).
inline double now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / frequency;
}

// The value below which the fraction q of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    std::size_t rank = static_cast<std::size_t>(q * double(samples.size()) + 0.999999);
    rank = std::min(std::max<std::size_t>(rank, 1), samples.size());
    return samples[rank - 1];
}

inline double median(const std::vector<double>& samples)
{
    return percentile(samples, 0.5);
}

// Seconds the process has spent on the processor, user and kernel time.
inline double processCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return double((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct Resources {
    DWORD handles;
    SIZE_T privateBytes;
};

// Wine's GetProcessHandleCount answers 0 and its PrivateUsage stays 0; its
// PagefileUsage is the process's private commit (as on Windows, where the
// two are the same figure), and valid handles are found by asking for the
// information of every handle value in turn.
inline Resources processResources()
{
    Resources r = {0, 0};
    GetProcessHandleCount(GetCurrentProcess(), &r.handles);
    if (r.handles == 0) {
        for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
            DWORD flags;
            r.handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
        }
    }
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    r.privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    return r;
}

// Sends std::cout (where the engine logs) nowhere while it lives; the
// figures are printed with printf, which writes past it.
class QuietLog {
private:
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return traits_type::not_eof(c); }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    } nothing;
    CoutRedirect redirect{&nothing};
};

// printf and flush, so that figures reach a pipe in order.
template <class... Args>
void print(const char* format, Args... args)
{
    std::printf(format, args...);
    std::fflush(stdout);
}

}  // namespace bench
