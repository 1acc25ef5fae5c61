#pragma once
// An INI file bound to its snapshot, held open and locked for the object's
// whole life: shared when read only, exclusive when opened for update, so
// that no process taking the same locks reads or writes it meanwhile.
//
// The file is read at construction (unless told not to) and on reload(); it
// is written only by commit(): an object destroyed without commit leaves the
// file as it was. Waiting for a sharing or lock violation happens in the
// constructor, with the retries of the win32_file layer; those waits are
// Boost.Thread interruption points.

#include "CfgFileSnapshot.h"

#include "locked_file/locked_file.h"

#include <memory>
#include <string>

class C_ConfigFile : public C_CfgFileSnapshot {
public:
    // How a commit ends: `cached` leaves the new text to the system's cache;
    // `durable` also brings it to disk (FlushFileBuffers) before the commit
    // returns, while the lock is still held.
    enum class Durability { cached, durable };

    // Mode flags.
    enum : unsigned {
        modeRead = 0x01,      // read access at open (else reopened for the shared lock)
        modeUpdate = 0x02,    // read and write access, created if missing, exclusive lock
        modeNoLoad = 0x10,    // start with an empty snapshot instead of reading the file
        modeExisting = 0x20,  // with modeUpdate: never create the file ("File open failed", error 2)
    };

    // What the constructor does while another process holds the file:
    // retries sharing and lock violations without end, or fails at the
    // first one (win32_file::temporarily_unavailable).
    enum class Wait { whileHeld, never };

    // Opens and locks the file (path in the process's ANSI or OEM code page)
    // and reads it unless modeNoLoad is set, waiting as `wait` says.
    // Throws boost::system::system_error "File open failed",
    // win32_file::temporarily_unavailable, Configuration::SyntaxError, or
    // boost::thread_interrupted; a failed constructor leaves nothing open or
    // locked.
    C_ConfigFile(const std::string& path, unsigned mode, Wait wait = Wait::whileHeld);
    // Unlocks and closes; writes nothing.
    ~C_ConfigFile() override;

    C_ConfigFile(const C_ConfigFile&) = delete;
    C_ConfigFile& operator=(const C_ConfigFile&) = delete;

    // Replaces the snapshot by the file's current content; on a syntax error
    // the snapshot stays as it was.
    void reload();

    // The file's whole content from offset 0, read straight from the handle
    // in as few reads as its size allows; the snapshot is not touched.
    // Throws std::ios_base::failure on a read error.
    std::string readText();

    // Replaces the file's content by text; the file always reads as the old
    // text or the new one (see commit). Requires modeUpdate; throws as commit.
    void commitText(const std::string& text, Durability durability = Durability::cached);

    // Writes the whole snapshot into the file from offset 0 and cuts the file
    // after it. A process killed between the write and the cut leaves a file
    // that reads as the new text: a shorter text is written followed by
    // blank lines up to the old end (withBlankLinesTo), so no tail of the
    // old text is left. A longer text takes its room before the old text is
    // touched, so a full disk leaves the old text as it was; a write that
    // fails or stores part of its bytes puts the old text back. Requires
    // modeUpdate (std::logic_error otherwise). Passes on the stream's errors
    // (std::ios_base::failure), "File write failed", "File truncation
    // failed" and "File flush failed"; the snapshot is never changed.
    void commit(Durability durability = Durability::cached);

    // Brings what the system still caches of the file, whoever wrote it, to
    // disk. Requires modeUpdate; throws system_error "File flush failed".
    void flush();

private:
    // The updater; throws std::logic_error when the file is not open for
    // update.
    fileUpdater& updater();

    win32_file::handle_lock handle;
    std::unique_ptr<fileReader> sharedReader;
    std::unique_ptr<fileUpdater> exclusiveUpdater;
};
