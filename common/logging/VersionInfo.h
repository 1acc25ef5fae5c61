#pragma once
// Version information of an executable file, and the file of the module
// that holds the logging code.

#include <string>
#include <vector>

namespace logging {

// The version-information block of one file, read once at construction.
// A file without version information gives an empty block: every string
// is then empty. Never throws on account of the file.
class VersionInfo {
public:
    explicit VersionInfo(const char* path);

    // The value of `key` in the string table of the first language and code
    // page the file lists, or "" when there is none. Valid while the object
    // lives.
    const char* stringValue(const char* key) const;

private:
    std::vector<char> block;
};

// The path of the executable or DLL that contains this code, found once
// (from the allocation base of one of its own functions) and kept for the
// life of the process; "" when it cannot be found.
const char* ownModulePath();

}  // namespace logging
