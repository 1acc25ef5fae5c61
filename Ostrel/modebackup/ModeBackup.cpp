#include "Ostrel/modebackup/ModeBackup.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/backup_text/ModeBackupText.h"
#include "logging/Log.h"

namespace Ostrel {

// The order of every change, and why (a crash, a kill or a power cut may
// come between any two file operations):
//  - Write ahead: a line changes in logger.ini only after its record is on
//    disk in the backup file (saveLocked flushes and replaces it), so that
//    the next start finds the mode to put back.
//  - Durable before forgetting: a record leaves the backup, or loses a mode
//    it guards (replaced_mode), only after the logger.ini write that made it
//    unnecessary is on disk (a durable commit: FlushFileBuffers under the
//    lock). Otherwise a power cut could keep the backup's new state and lose
//    the cached write of logger.ini, leaving the line in the service's mode
//    with no record of it. A first change of a line needs no flush: its
//    record was saved before, and logger.ini showing the old mode after a
//    power cut is what the record expects.
//  - The record is made for what the write replaces: logger.ini stays
//    locked from the read of the line's mode through the save of its record
//    to the write, so no other program changes the line in between.
//  - Nothing failed is forgotten: a revert that fails keeps its record and
//    is tried again while the service runs (retryFailedReverts), and so is
//    a backup file that could not be read.
//
// A line's record, and what logger.ini may show meanwhile:
//   not recorded       the line's own mode
//   recorded           saved_mode (the write did not happen or was lost), or
//                      current_mode
//   replacing          also replaced_mode: the service's earlier mode, while
//                      a new one is being written over it
// setLineMode: not recorded -> recorded (first change), recorded ->
// replacing -> recorded (switched again; the file keeps replaced_mode until
// its next save, and replacing stays when logger.ini has no section for the
// line); restoreLine: any -> not recorded, once it has written.

namespace {

const char* const replacedModeKey = "replaced_mode";

// The backup file could not be taken over or saved: nothing of a change
// that needs a record may happen.
class BackupNotSaved : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::string> keysOf(const boost::property_tree::ptree& tree)
{
    std::vector<std::string> keys;
    for (const auto& child : tree)
        keys.push_back(child.first);
    return keys;
}

// What a line's record holds.
struct LineRecord {
    boost::optional<std::string> saved, current, replaced;

    explicit LineRecord(const boost::property_tree::ptree& tree, const std::string& section)
        : saved(tree.get_optional<std::string>(section + ".saved_mode")),
          current(tree.get_optional<std::string>(section + ".current_mode")),
          replaced(tree.get_optional<std::string>(section + "." + replacedModeKey))
    {
    }
    // The modes the service may have left in logger.ini.
    std::vector<std::string> written() const
    {
        std::vector<std::string> modes;
        for (const auto* mode : {&current, &replaced})
            if (*mode)
                modes.push_back(**mode);
        return modes;
    }
    bool wrote(const std::string& shown) const
    {
        const std::vector<std::string> modes = written();
        return std::find(modes.begin(), modes.end(), shown) != modes.end();
    }
};

}  // namespace

ModeBackup::ModeBackup(const LoggerFiles& files, const ModeBackupOptions& options)
    : iniPath(files.iniPath),
      file(files.backupPath, options.backupWait),
      options(options),
      nextRetry(boost::chrono::steady_clock::now() + options.retryPeriod)
{
}

void ModeBackup::load()
{
    boost::mutex::scoped_lock lock(mutex);
    tree.clear();
    refusal = boost::none;
    try {
        const TakeOver taken = takeOver(boost::none);
        if (taken.outcome == TakeOver::missing)
            LOG_INFO("Backup file not found, nothing to revert");
        else if (taken.outcome == TakeOver::keptAside)
            LOG_ERROR("%s", taken.report.c_str());
    } catch (const BackupNotSaved& e) {
        refusal = e.what();
        LOG_ERROR("%s; no line is changed until it can be recorded", e.what());
    }
}

ModeBackup::TakeOver ModeBackup::takeOver(const win32_file::timeout& wait)
{
    boost::optional<std::string> text;
    try {
        text = file.read(wait);
    } catch (const std::exception& e) {
        throw BackupNotSaved(std::string("Backup file can't be read, nothing reverted: ") + e.what());
    }
    if (!text)
        return {TakeOver::missing, std::string()};
    try {
        tree = backupFileTree(*text);
        return {TakeOver::read, std::string()};
    } catch (const std::exception& e) {
        tree.clear();
        // Saving over a damaged file would destroy whatever modes it still
        // holds: it goes aside for the administrator before anything else.
        std::string kept;
        try {
            kept = file.setAside();
        } catch (const std::runtime_error& moveFailure) {
            throw BackupNotSaved(std::string("Backup file damaged and ") + moveFailure.what() +
                                 ", nothing reverted: " + e.what());
        }
        return {TakeOver::keptAside, "Backup file damaged, kept as " + kept + ", nothing reverted: " + e.what()};
    }
}

void ModeBackup::save()
{
    boost::mutex::scoped_lock lock(mutex);
    saveOrReport();
}

void ModeBackup::saveLocked()
{
    if (refusal)
        throw BackupNotSaved(*refusal);
    try {
        file.replaceDurably(backupFileText(tree));
    } catch (const std::exception& e) {
        throw BackupNotSaved(e.what());
    }
}

void ModeBackup::saveOrReport()
{
    try {
        saveLocked();
    } catch (const BackupNotSaved& e) {
        LOG_ERROR("Can't update backup, logger.ini could be corrupted if the service is terminated: %s", e.what());
    }
}

boost::optional<int> recordedLine(const std::string& key)
{
    int line;
    if (key.compare(0, 4, "Line") != 0 || !boost::conversion::try_lexical_convert(key.substr(4), line) ||
        lineSectionName(line) != key)
        return boost::none;
    return line;
}

void ModeBackup::setLineMode(int line, const std::string& requested)
{
    const std::string mode = modeAsStored(requested);
    boost::mutex::scoped_lock lock(mutex);
    try {
        changeLine(line, mode);
    } catch (const BackupNotSaved& e) {
        LOG_ERROR(
            "Can't update backup, logger.ini could be corrupted if the service is terminated: %s; "
            "line %d left unchanged",
            e.what(), line);
    }
}

void ModeBackup::changeLine(int line, const std::string& mode)
{
    takeOverRefused(options.backupWait);
    LoggerIniEdit edit(iniPath);
    const boost::optional<std::string> shown = edit.mode(line);
    if (!shown)
        LOG_ERROR("%s", missingSectionMessage(line).c_str());
    const std::string section = lineSectionName(line);
    const bool replacing = recordDurably(section, mode, shown.value_or(std::string()), edit);
    // A section gone: nothing is written, and the record keeps every mode
    // the line may show when it comes back.
    if (!edit.setMode(line, mode)) {
        LOG_ERROR("%s", missingSectionMessage(line).c_str());
        return;
    }
    // A line the service had switched before is written durably: only then
    // may its record forget the mode it replaces.
    edit.commit(replacing ? C_ConfigFile::Durability::durable : C_ConfigFile::Durability::cached);
    // This toggle reverts the line now; an earlier revert that failed is
    // owed no longer.
    owedReverts.erase(line);
    logWritten = true;
    // The file forgets it at its next save; until then a revert also takes
    // the replaced mode for the service's own.
    if (replacing)
        tree.get_child(section).erase(replacedModeKey);
}

// Saves the line's record for the change to `mode` while logger.ini shows
// `shown`, before logger.ini is written; returns whether the line shows a
// mode the service wrote earlier, which the record keeps as the replaced
// mode. Throws BackupNotSaved, the tree as it was, when the record cannot be
// saved.
bool ModeBackup::recordDurably(const std::string& section, const std::string& mode, const std::string& shown,
                               LoggerIniEdit& edit)
{
    const LineRecord record(tree, section);
    // While logger.ini shows a mode the service wrote, the mode recorded
    // before the first change stays the one to put back.
    const bool servicesModeShown = record.saved && record.wrote(shown);
    // Somebody else has changed the line: its record is about to forget the
    // service's modes, so the other program's write goes to disk first.
    if (record.saved && !servicesModeShown)
        edit.flush();
    const bool replacing = servicesModeShown && shown != mode;
    const boost::property_tree::ptree before = tree;
    tree.put(section + ".current_mode", mode);
    tree.put(section + ".saved_mode", servicesModeShown ? *record.saved : shown);
    if (replacing)
        tree.put(section + "." + replacedModeKey, shown);
    else if (record.replaced)
        tree.get_child(section).erase(replacedModeKey);
    try {
        saveLocked();
    } catch (...) {
        tree = before;
        throw;
    }
    return replacing;
}

void ModeBackup::takeOverRefused(const win32_file::timeout& wait)
{
    if (!refusal)
        return;
    // The file this run could not take over may be free by now.
    TakeOver taken;
    try {
        taken = takeOver(wait);
    } catch (const BackupNotSaved& e) {
        refusal = e.what();
        throw;
    }
    refusal = boost::none;
    if (taken.outcome == TakeOver::keptAside)
        LOG_ERROR("%s", taken.report.c_str());
    // Its records are an earlier run's: they are reverted as soon as may be.
    for (const auto& child : tree)
        if (const boost::optional<int> recorded = recordedLine(child.first))
            owedReverts[*recorded];
    if (!tree.empty()) {
        LOG_WARN("Backup file read at last; %s of an earlier run to be reverted",
                 boost::algorithm::join(keysOf(tree), ", ").c_str());
        logWritten = true;  // the next pass reverts them
    }
}

void ModeBackup::restoreLine(int line)
{
    boost::mutex::scoped_lock lock(mutex);
    restoreLineLocked(line, C_ConfigFile::Wait::whileHeld);
}

bool ModeBackup::restoreLineLocked(int line, C_ConfigFile::Wait wait)
{
    const std::string section = lineSectionName(line);
    const LineRecord record(tree, section);
    if (!record.saved) {
        owedReverts.erase(line);
        return false;
    }
    try {
        revertLineInLoggerINI(line, *record.saved, record.written(), iniPath, wait);
    } catch (const std::exception& e) {
        // Tried again while the service runs, until it succeeds.
        owedReverts[line] = e.what();
        logWritten = false;
        nextRetry = boost::chrono::steady_clock::now() + options.retryPeriod;
        throw;
    }
    owedReverts.erase(line);
    logWritten = true;
    tree.erase(tree.to_iterator(tree.find(section)));
    saveOrReport();
    return true;
}

void ModeBackup::retryFailedReverts()
{
    boost::mutex::scoped_lock lock(mutex, boost::try_to_lock);
    // A toggle is at work (perhaps waiting for logger.ini): the next pass.
    if (!lock.owns_lock() || (owedReverts.empty() && !refusal))
        return;
    const boost::chrono::steady_clock::time_point now = boost::chrono::steady_clock::now();
    if (!logWritten && now < nextRetry)
        return;
    logWritten = false;
    nextRetry = now + options.retryPeriod;
    // No waiting here: the caller's loop runs the timetable. A file held
    // just now is tried at the next occasion.
    const win32_file::timeout noWait(boost::chrono::milliseconds(0));
    try {
        takeOverRefused(noWait);
    } catch (const BackupNotSaved&) {
        return;
    }
    const std::map<int, std::string> owed = owedReverts;
    for (const auto& entry : owed) {
        try {
            if (restoreLineLocked(entry.first, C_ConfigFile::Wait::never))
                LOG_INFO("Reverted %s", lineSectionName(entry.first).c_str());
        } catch (const std::exception& e) {
            // A cause that lasts is reported once, not at every try.
            if (entry.second != e.what())
                LOG_ERROR("Can't revert %s yet, tried again later: %s", lineSectionName(entry.first).c_str(), e.what());
        }
    }
}

void ModeBackup::restoreAllLines()
{
    boost::mutex::scoped_lock lock(mutex);
    std::vector<std::string> keys;
    std::vector<boost::optional<int>> lines;  // none: no line to revert
    for (const auto& child : tree) {
        keys.push_back(child.first);
        const bool hasSavedMode = bool(child.second.get_optional<std::string>("saved_mode"));
        lines.push_back(hasSavedMode ? recordedLine(child.first) : boost::none);
    }
    if (keys.empty())
        return;
    LOG_INFO("Reverting %s", boost::algorithm::join(keys, ", ").c_str());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!lines[i]) {
            LOG_ERROR("Backup record %s is no line with a saved mode; left in the backup file", keys[i].c_str());
            continue;
        }
        // One record that fails (its section has no Mode, logger.ini does
        // not parse just now) stops none of the others; it stays, and is
        // tried again while the service runs.
        try {
            restoreLineLocked(*lines[i], C_ConfigFile::Wait::whileHeld);
        } catch (const std::exception& e) {
            if (!win32_file::isMissingFile(e)) {
                LOG_ERROR("Can't revert %s, left in the backup file: %s", keys[i].c_str(), e.what());
                continue;
            }
            // No logger.ini: every record waits for it, reported once.
            std::vector<std::string> waiting;
            for (std::size_t j = i; j < keys.size(); ++j)
                if (lines[j]) {
                    owedReverts[*lines[j]] = e.what();
                    waiting.push_back(keys[j]);
                }
            LOG_ERROR("%s can't be opened (%s): %s stay in the backup file and are reverted once it can",
                      iniPath.c_str(), e.what(), boost::algorithm::join(waiting, ", ").c_str());
            return;
        }
    }
}

}  // namespace Ostrel
