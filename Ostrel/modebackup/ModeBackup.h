#pragma once
// The service's memory of the line modes it has changed in logger.ini, and
// the logger.ini line-mode access itself.
//
// Every change of a line's mode is recorded in the backup file before
// logger.ini is written, and the backup file is replaced atomically, so that
// at any moment it holds the mode to put back for every line the service
// may have changed. At start the engine reverts every line still recorded.

#include <map>
#include <string>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

#include "utillib_configfile/ConfigFile.h"

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

// The line a backup record names, when its key is exactly a line's section
// name.
boost::optional<int> recordedLine(const std::string& key);

// The backup file's full path, in the Windows directory.
std::string backupFilePath();

// The whole file, read under a shared lock through a handle that shares
// reading and writing, or none when there is no file. Waits as `wait`
// allows while another process holds the file (none: for as long as it
// does); other failures throw.
boost::optional<std::string> readSharedFile(const std::string& path, const win32_file::timeout& wait);

// The mode logger.ini shows for the line, read under the file's exclusive
// lock (waiting for as long as another holder keeps it). A missing section
// is logged at ERROR and gives the default; a section without "Mode" throws
// Configuration::KeyNotFoundError. Never changes the file, nor creates it:
// a missing file throws system_error "File open failed" (error 2), as do
// the writes below. The path is that
// of the logging application's logger.ini unless a caller names another.
std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode,
                                     const std::string& iniPath = loggerConfigFilePath(LoggerIni));

// Writes the line's "Mode" under the exclusive lock; a durable write is on
// disk when it returns. A missing section is logged at ERROR and nothing is
// written. File-layer and syntax errors pass.
void setLineModeInLoggerINI(int line, const std::string& mode,
                            const std::string& iniPath = loggerConfigFilePath(LoggerIni),
                            C_ConfigFile::Durability durability = C_ConfigFile::Durability::cached);

// A line's revert in one locked access of logger.ini: when the file shows
// one of the modes the service wrote, the saved mode is written back;
// otherwise (another program's mode stands) nothing is written. Either way
// the file is on disk when it returns, so the line's record may go. A
// missing section is logged at ERROR. Returns whether it wrote; throws as
// the two functions above.
// wait: as long as another holder keeps the file; else a single attempt
// (win32_file::temporarily_unavailable).
bool revertLineInLoggerINI(int line, const std::string& saved, const std::vector<std::string>& written,
                           const std::string& iniPath, bool wait = true);

// The mode as logger.ini will show it once written: the INI grammar drops
// trailing blanks and tabs of a value when it reads the file back.
std::string modeAsStored(const std::string& mode);

class ModeBackup {
public:
    // The line modes are read and written in the file iniPath; the backup
    // file lives in the Windows directory. A revert that failed is tried
    // again once retryPeriod has passed, or sooner after a successful write.
    explicit ModeBackup(const std::string& iniPath,
                        boost::chrono::milliseconds retryPeriod = boost::chrono::minutes(1));

    // Replaces the record by the backup file's content. A missing file gives
    // an empty record. A file that another process holds is waited for with
    // the file layer's retries (boost::thread_interrupted ends the wait, the
    // record then empty). A file read whole that is no well-formed backup is
    // moved aside to a name of its own (never over an earlier damaged file)
    // and reported with that name. A file that cannot be read, or
    // a damaged one that cannot be moved, is reported at ERROR and never
    // written over: no line is changed until a later setLineMode or
    // retryFailedReverts can take the file over; its records are then
    // reverted as soon as may be.
    void load();

    // Replaces the backup file by the record: written to a temporary file,
    // flushed to disk and moved over the old one, so the file always holds
    // either the old or the new record. A failure is logged, not thrown.
    void save();

    // Reverts every recorded line. Records that do not name a line, lack
    // the mode to put back, or cannot be reverted (logged with the reason)
    // stay in the file; the others are reverted all the same, and those
    // that failed are owed to retryFailedReverts. A logger.ini that cannot
    // be opened is reported once for all records.
    void restoreAllLines();

    // Records the line's mode to put back, then writes the new mode, both
    // for the mode logger.ini shows under the lock of the write: another
    // program's mode written in between is recorded (and saved) before the
    // write is tried again. When the record cannot be saved, the line is
    // left unchanged and that is logged at ERROR. Safe to call from several
    // threads at once.
    void setLineMode(int line, const std::string& mode);

    // Writes the recorded mode back, unless logger.ini meanwhile shows a mode
    // the service did not write, and forgets the line once logger.ini is on
    // disk. A revert that fails throws and stays owed to retryFailedReverts.
    // Thread-safe.
    void restoreLine(int line);

    // Called on every pass of the engine's loop: tries again the reverts
    // that failed, and the backup file that could not be read, once the
    // retry period has passed or a write of logger.ini has succeeded since
    // the last try. Never waits: returns at once while a toggle is at work
    // or a file is held. Logs what it reverts, and each new cause of
    // failure once.
    void retryFailedReverts();

    // The backup file's full path.
    std::string backupPath() const;

private:
    // What takeOver found: the file read into the tree, no file, or a
    // damaged file moved aside (`report` says where).
    struct TakeOver {
        enum { read, missing, keptAside } outcome;
        std::string report;
    };

    // Under the mutex. takeOver reads the backup file into the tree, waiting
    // for it as `wait` allows, and throws when the file can be neither read
    // nor moved aside. saveLocked throws when the file cannot be replaced,
    // or holds records this run has not taken over.
    TakeOver takeOver(const win32_file::timeout& wait);
    // Takes over the file that load could not, when there is one; its
    // records become owed reverts. Throws BackupNotSaved.
    void takeOverRefused(const win32_file::timeout& wait);
    bool recordChange(const std::string& section, const std::string& mode, const std::string& ini);
    // setLineMode's work; throws BackupNotSaved when the record cannot be
    // saved, the line then unchanged.
    void changeLine(int line, const std::string& mode);
    // Whether the line had a record to revert.
    bool restoreLineLocked(int line, bool wait);
    void saveLocked();
    void saveOrReport();

    std::string iniPath;
    boost::property_tree::ptree tree;
    // Why the backup file may not be written over: it holds what this run
    // could not read or move aside. Empty while the file is this run's.
    boost::optional<std::string> refusal;
    // The recorded lines whose revert failed, with the failure last
    // reported, and when to try them again.
    std::map<int, std::string> owedReverts;
    boost::chrono::milliseconds retryPeriod;
    boost::chrono::steady_clock::time_point nextRetry;
    bool logWritten = false;  // logger.ini written since the last try
    boost::mutex mutex;       // one toggle thread at a time in tree and file
};

}  // namespace Ostrel
