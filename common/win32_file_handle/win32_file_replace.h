#pragma once
// Replacing a whole file so that, at every moment, it holds either its old
// content or the new one, and the new one is on disk once the call returns:
// the content is written to a temporary file, flushed, and moved over the
// file with write-through.
//
// Another process that has the files open for a moment (a virus scanner, an
// indexer, a person looking at the file) makes the open of the temporary
// file fail with a sharing violation, and the move with a sharing violation
// or an access denial; both are retried with the back-off of the handle
// layer for as long as the time-out allows. The waits of 10 ms and more are
// Boost.Thread interruption points.

#include "win32_file_handle.h"

#include <string>

namespace win32_file {

// Writes bytes into temp (created, or emptied when it exists; opened with
// read and write sharing), flushes it to disk and moves it over path.
// Throws, leaving path as it was: what the handle layer throws for the open
// (system_error "File open failed", temporarily_unavailable),
// system_error "File write failed", "File truncation failed" or "File flush
// failed", what moveDurably throws, or boost::thread_interrupted.
void replaceDurably(const boost::filesystem::path& path, const boost::filesystem::path& temp, const std::string& bytes,
                    const timeout& wait);

// What a move does to a file that already has the target's name.
enum class existing_target { replace, keep };

// Moves from to the name `to` with write-through, replacing a file of that
// name unless told to keep it. Throws system_error "File move failed" with
// the function "MoveFileEx" and the source's name when the move fails
// otherwise than by sharing (ERROR_ALREADY_EXISTS when a kept target is in
// the way), or still fails when the time-out has passed;
// boost::thread_interrupted.
void moveDurably(const boost::filesystem::path& from, const boost::filesystem::path& to, const timeout& wait,
                 existing_target existing = existing_target::replace);

}  // namespace win32_file
