#pragma once
// The tests' one way to cut a program's output or a log file into lines.

#include <string>
#include <vector>

// The complete lines of a text, each ended by '\n', line ends and CRs
// removed: under Wine a program's output ends its lines with CR LF. A last
// line without its end is left out, as one still being written.
inline std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    return lines;
}
