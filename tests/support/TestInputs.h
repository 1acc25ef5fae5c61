#pragma once
// What test programs take from outside: a number from the environment (the
// long forms set them) and the bytes of a file. No Windows header.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
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

// A file's whole content; empty when there is no file. Throws
// std::runtime_error when the file is there but cannot be opened (another
// process holds it without sharing): unlike readFileBytes, a held file never
// reads as an empty one.
inline std::string readExistingFileBytes(const std::string& path)
{
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT)
            return std::string();
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::string bytes;
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
        bytes.append(block, got);
    std::fclose(file);
    return bytes;
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
