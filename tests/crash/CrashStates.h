#pragma once
// The crash-state explorer's model: the file calls of a recorded run, read
// from strace's text, and every state the watched files can be left in when
// the run stops after any of those calls. No Windows header: the model is
// tested natively.
//
// The calls are the Win32 file calls as they reach Linux under Wine: the
// program writes and flushes its files itself (write, pwrite64, fsync), the
// wineserver cuts them (SetEndOfFile: ftruncate; CREATE_ALWAYS: ftruncate to
// 0) and moves them (MoveFileEx: rename). Both are traced (`strace -f -ttt
// -y -x -P file...`), and their lines are merged by time: a call of one
// process that depends on a call of the other starts after it has ended.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace crash {

// One change of a watched file, named by its base name.
struct FileCall {
    enum Kind { Write, Truncate, Flush, Rename, Remove };
    Kind kind = Write;
    std::string file;
    std::string target;          // Rename: the new name
    std::uint64_t position = 0;  // Write: the offset; Truncate: the new length
    std::string data;            // Write: the bytes
};

bool operator==(const FileCall& a, const FileCall& b);
std::string describe(const FileCall& call);

// The content of each watched file that exists, by base name.
using Files = std::map<std::string, std::string>;

// What the call does to the files as the program sees them.
void apply(Files& files, const FileCall& call);

// One strace output (-f -ttt -y -x, any number of them, each the text of one
// -o file) read into the calls on the watched files, in the order they
// happened. Reads and seeks only keep each descriptor's position, so that a
// write lands where the program wrote it. Failed calls change nothing.
// Throws std::runtime_error on a line it cannot read.
std::vector<FileCall> callsFromTraces(const std::vector<std::string>& traces, const std::set<std::string>& watched);

// The states the files can be found in at the next start, from the files as
// they were before the run (taken as on disk) and the run's calls.
//
// Process kill: the program dies after a call; every call it completed
// stays, whether flushed or not (the system's cache outlives the process).
//
// Power cut: the machine stops after a call. A file's data written since its
// last flush (FlushFileBuffers) may be lost: the writes and truncations of a
// file reach the disk in the order they were made, so what is lost is the
// newest part of that file's unflushed calls, any number of them, from none
// to all; each file independently of the others. A flush makes everything
// written to the file before it durable. A replace (MoveFileEx with
// MOVEFILE_WRITE_THROUGH) is durable when the call returns: the new name
// holds the file's flushed data, and the calls not flushed before the move
// stay at risk under the new name. A creation or removal of a file counts as
// one of its unflushed calls. Each call is atomic: the model keeps no half
// of one write.
//
// States are distinct: a state reached both ways counts as a kill state.
struct CrashStates {
    struct State {
        Files files;
        std::string how;  // which stop after which call, for reports
    };
    std::vector<State> kill;
    std::vector<State> power;  // none of them equal to a kill state
};

CrashStates crashStates(const Files& before, const std::vector<FileCall>& calls);

}  // namespace crash
