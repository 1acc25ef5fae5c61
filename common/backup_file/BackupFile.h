#pragma once
// A small file that a program keeps its memory in, read and replaced whole:
// at every moment it holds its old content or its new one, and a content
// the program cannot take is set aside under a name of its own rather than
// written over.
//
// Another process that has the file open for a moment (a virus scanner, a
// person looking at it) is waited for, for as long as the given time-out
// allows; the waits are Boost.Thread interruption points.

#include "win32_file_handle/win32_file_handle.h"

#include <boost/optional.hpp>

#include <string>

class BackupFile {
public:
    // The file at `path`; `wait` is how long a replace or a set-aside waits
    // for a process that holds the file.
    BackupFile(std::string path, boost::chrono::milliseconds wait);

    const std::string& path() const { return filePath; }

    // The whole file, read under a shared lock, or none when there is no
    // file. Waits as `wait` allows (none: for as long as the file is held);
    // throws what the file layer throws.
    boost::optional<std::string> read(const win32_file::timeout& wait) const;

    // Replaces the file by `bytes`, written to "<path>.tmp", flushed and moved
    // over it: the file is never seen half written, and the new content is
    // on disk when the call returns. Throws as win32_file::replaceDurably,
    // the file then as it was.
    void replaceDurably(const std::string& bytes) const;

    // Moves the file aside, so that a later damaged file never replaces an
    // earlier one: to its name, the local time and ".damaged", numbered when
    // that name is taken. Returns the name; throws std::runtime_error
    // "can't be kept as <name> (<reason>)".
    std::string setAside() const;

private:
    std::string filePath;
    boost::chrono::milliseconds wait;
};
