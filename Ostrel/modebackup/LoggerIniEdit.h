#pragma once
// The line modes of logger.ini: each line's section "Line%02d" and its key
// "Mode". One edit of the file is one transaction under its exclusive lock;
// a missing file is never created (a logger.ini made empty by the service
// would have none of the sections its records wait for).

#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "utillib_configfile/ConfigFileEdit.h"

namespace Ostrel {

// "Line%02d": the line's section in logger.ini and its record in the backup.
std::string lineSectionName(int line);

// The mode as logger.ini will show it once written: the INI grammar drops
// trailing blanks and tabs of a value when it reads the file back.
std::string modeAsStored(const std::string& mode);

// What is logged, at ERROR, for a line whose section logger.ini lacks.
std::string missingSectionMessage(int line);

// logger.ini taken for one change: opened, locked exclusively and read at
// construction, held until destruction, written only by commit.
class LoggerIniEdit {
public:
    // Waits as `wait` says while another holder keeps the file. Throws as
    // C_ConfigFileEdit: a missing file throws system_error "File open
    // failed" (error 2).
    explicit LoggerIniEdit(const std::string& iniPath, C_ConfigFile::Wait wait = C_ConfigFile::Wait::whileHeld);

    // The mode the line shows, as edited so far; none when its section is
    // missing. Throws Configuration::KeyNotFoundError for a section without
    // "Mode", Configuration::SyntaxError for a text that does not parse.
    boost::optional<std::string> mode(int line);

    // Sets the line's mode for commit; false, with nothing set, when its
    // section is missing. Throws as mode().
    bool setMode(int line, const std::string& mode);

    // Brings what the system caches of the file, whoever wrote it, to disk.
    void flush() { file.flush(); }

    // Writes what was set; durable: on disk before it returns (a flush
    // when nothing was set). Throws what the file layer throws.
    void commit(C_ConfigFile::Durability durability) { file.commit(durability); }

private:
    C_ConfigFileEdit file;
};

// The mode logger.ini shows for the line, in one locked access. A missing
// section is logged at ERROR and gives the default; errors as
// LoggerIniEdit's.
std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode, const std::string& iniPath);

// Writes the line's "Mode" in one locked access; a durable write is on disk
// when it returns. A missing section is logged at ERROR and nothing is
// written. File-layer and syntax errors pass.
void setLineModeInLoggerINI(int line, const std::string& mode, const std::string& iniPath,
                            C_ConfigFile::Durability durability = C_ConfigFile::Durability::cached);

// A line's revert in one locked access of logger.ini: when the file shows
// one of the modes the service wrote, the saved mode is written back;
// otherwise (another program's mode stands) nothing is written. Either way
// the file is on disk when it returns, so the line's record may go. A
// missing section is logged at ERROR. Returns whether it wrote; throws as
// the two functions above.
bool revertLineInLoggerINI(int line, const std::string& saved, const std::vector<std::string>& written,
                           const std::string& iniPath, C_ConfigFile::Wait wait = C_ConfigFile::Wait::whileHeld);

}  // namespace Ostrel
