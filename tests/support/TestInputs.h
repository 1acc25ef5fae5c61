#pragma once
// What test programs take from outside: a number from the environment (the
// long forms set them) and the bytes of a file. No Windows header.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// An integer from the environment, else the default.
inline long environmentNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

// A file's whole content; empty when it cannot be read.
inline std::string readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Creates or replaces a file with exactly these bytes; false when it could
// not be written whole (the file is held, its folder is missing).
inline bool tryWriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return bool(out << bytes) && bool(out.flush());
}

// The same for a file no one else holds; a failure shows in what the test
// reads back.
inline void writeFileBytes(const std::string& path, const std::string& bytes)
{
    tryWriteFileBytes(path, bytes);
}
