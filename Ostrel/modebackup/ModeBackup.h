#pragma once
// The service's memory of the line modes it has changed in logger.ini.
//
// Every change of a line's mode is recorded in the backup file before
// logger.ini is written, and the backup file is replaced atomically, so that
// at any moment it holds the mode to put back for every line the service
// may have changed. At start the engine reverts every line still recorded.

#include <map>
#include <string>

#include <boost/chrono.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

#include "Ostrel/modebackup/LoggerFiles.h"
#include "Ostrel/modebackup/LoggerIniEdit.h"
#include "backup_file/BackupFile.h"

namespace Ostrel {

// The line a backup record names, when its key is exactly a line's section
// name.
boost::optional<int> recordedLine(const std::string& key);

struct ModeBackupOptions {
    // How long a save, or the move of a damaged file, waits for a process
    // that holds the backup file (a virus scanner, a person looking at it):
    // such readers keep it for a moment only.
    boost::chrono::milliseconds backupWait = boost::chrono::seconds(2);
    // A revert that failed is tried again once this has passed, or sooner
    // after a successful write.
    boost::chrono::milliseconds retryPeriod = boost::chrono::minutes(1);
};

class ModeBackup {
public:
    // The line modes are read and written in files.iniPath, the record kept
    // in files.backupPath.
    explicit ModeBackup(const LoggerFiles& files, const ModeBackupOptions& options = ModeBackupOptions());

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

    // Records the line's mode to put back, then writes the new mode, in one
    // transaction on logger.ini: the file stays locked from the read of the
    // line's mode, through the save of its record, to the write, so the mode
    // recorded is the mode the write replaces. When the record cannot be
    // saved, the line is left unchanged and that is logged at ERROR. Safe to
    // call from several threads at once.
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
    bool recordDurably(const std::string& section, const std::string& mode, const std::string& shown,
                       LoggerIniEdit& edit);
    // setLineMode's work; throws BackupNotSaved when the record cannot be
    // saved, the line then unchanged.
    void changeLine(int line, const std::string& mode);
    // Whether the line had a record to revert.
    bool restoreLineLocked(int line, C_ConfigFile::Wait wait);
    void saveLocked();
    void saveOrReport();

    std::string iniPath;
    BackupFile file;
    boost::property_tree::ptree tree;
    // Why the backup file may not be written over: it holds what this run
    // could not read or move aside. Empty while the file is this run's.
    boost::optional<std::string> refusal;
    // The recorded lines whose revert failed, with the failure last
    // reported, and when to try them again.
    std::map<int, std::string> owedReverts;
    ModeBackupOptions options;
    boost::chrono::steady_clock::time_point nextRetry;
    bool logWritten = false;  // logger.ini written since the last try
    boost::mutex mutex;       // one toggle thread at a time in tree and file
};

}  // namespace Ostrel
