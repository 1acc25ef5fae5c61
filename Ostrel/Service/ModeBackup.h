#pragma once
// The service's memory of the line modes it has changed in logger.ini, and
// the logger.ini line-mode access itself.
//
// Every change of a line's mode is recorded in the backup file before
// logger.ini is written, and the backup file is replaced atomically, so that
// at any moment it holds the mode to put back for every line the service
// may have changed. At start the engine reverts every line still recorded.

#include <string>

#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

namespace Ostrel {

enum LoggerConfigFile { LoggerIni = 0, LoggerRes = 1, LoggerInf = 2, RadioIni = 3 };

// The Windows directory, always ending in a backslash.
// Throws std::runtime_error("Can't get windows directory").
std::string windowsDirectory();

// The Windows directory followed by the file's name.
// Throws std::runtime_error("Invalid enum value for LoggerConfigFile").
std::string loggerConfigFilePath(LoggerConfigFile file);

// "Line%02d": the line's section in logger.ini and its record in the backup.
std::string lineSectionName(int line);

// The mode logger.ini shows for the line, read under the file's exclusive
// lock (waiting for as long as another holder keeps it). A missing section
// is logged at ERROR and gives the default; a section without "Mode" throws
// Configuration::KeyNotFoundError. Never changes the file. The path is that
// of the logging application's logger.ini unless a caller names another.
std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode,
                                     const std::string& iniPath = loggerConfigFilePath(LoggerIni));

// Writes the line's "Mode" under the exclusive lock. A missing section is
// logged at ERROR and nothing is written. File-layer and syntax errors pass.
void setLineModeInLoggerINI(int line, const std::string& mode,
                            const std::string& iniPath = loggerConfigFilePath(LoggerIni));

// The mode as logger.ini will show it once written: the INI grammar drops
// trailing blanks and tabs of a value when it reads the file back.
std::string modeAsStored(const std::string& mode);

class ModeBackup {
public:
    // The line modes are read and written in the file iniPath; the backup
    // file lives in the Windows directory.
    explicit ModeBackup(const std::string& iniPath);

    // Replaces the record by the backup file's content. A missing file gives
    // an empty record; a damaged one is kept aside under another name and
    // reported, so the modes it may hold are not overwritten.
    void load();

    // Replaces the backup file by the record: written to a temporary file,
    // flushed to disk and moved over the old one, so the file always holds
    // either the old or the new record. A failure is logged, not thrown.
    void save();

    // Reverts every recorded line. Records that do not name a line, or lack
    // the mode to put back, are reported and left in the file.
    void restoreAllLines();

    // Records the line's mode to put back, then writes the new mode. Safe
    // to call from several threads at once.
    void setLineMode(int line, const std::string& mode);

    // Writes the recorded mode back, unless logger.ini meanwhile shows a mode
    // the service did not write, and forgets the line. Thread-safe.
    void restoreLine(int line);

    // The backup file's full path.
    std::string backupPath() const;

private:
    void saveLocked();

    std::string iniPath;
    boost::property_tree::ptree tree;
    boost::mutex mutex;  // one toggle thread at a time in tree and file
};

}  // namespace Ostrel
