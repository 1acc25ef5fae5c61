#pragma once
// Owns what the program in this process writes to std::cout (the log's
// console sink) for its lifetime: the text can be read at any moment while
// other threads go on writing, so that a test waits for a log line instead
// of sleeping. The previous buffer is put back on destruction.

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

#include "support/Occurrences.h"

// Points std::cout at another buffer while it lives.
class CoutRedirect {
public:
    explicit CoutRedirect(std::streambuf* to) : previous(std::cout.rdbuf(to)) {}
    ~CoutRedirect() { std::cout.rdbuf(previous); }
    CoutRedirect(const CoutRedirect&) = delete;
    CoutRedirect& operator=(const CoutRedirect&) = delete;

private:
    std::streambuf* previous;
};

class ConsoleCapture {
public:
    // Everything written so far.
    std::string text() const { return buffer.text(); }

    // How often `wanted` occurs in the text so far.
    std::size_t count(const std::string& wanted) const { return occurrences(text(), wanted); }

private:
    // Unbuffered: every character goes straight into the string, under a
    // lock, so lines of different threads never tear a read.
    class LockedBuffer : public std::streambuf {
    public:
        std::string text() const
        {
            std::lock_guard<std::mutex> lock(mutex);
            return written;
        }

    protected:
        int_type overflow(int_type c) override
        {
            if (!traits_type::eq_int_type(c, traits_type::eof())) {
                std::lock_guard<std::mutex> lock(mutex);
                written += traits_type::to_char_type(c);
            }
            return traits_type::not_eof(c);
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            written.append(s, std::size_t(n));
            return n;
        }

    private:
        mutable std::mutex mutex;
        std::string written;
    };

    LockedBuffer buffer;
    CoutRedirect redirect{&buffer};
};
