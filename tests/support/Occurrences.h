#pragma once
// How often a text occurs in another one, counted without overlap: the tests'
// measure of how often a program logged a line.

#include <cstddef>
#include <string>

inline std::size_t occurrences(const std::string& text, const std::string& wanted)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + wanted.size()))
        ++n;
    return n;
}
