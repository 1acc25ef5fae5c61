#include "Ostrel/modebackup/ModeBackup.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include "Ostrel/backup_text/ModeBackupText.h"
#include "logging/Log.h"
#include "win32_file_handle/win32_file_lock.h"
#include "win32_file_handle/win32_file_replace.h"

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
//  - The record is made for what the write finds: logger.ini is written
//    only while the line shows the mode its record was saved for; another
//    program's mode found there is recorded and saved first.
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
// replacing -> recorded (switched again; replacing stays when the write
// finds no section); restoreLine: any -> not recorded, once it has written.

namespace {

const char* const backupFileName = "brevik_ostrel_saved_modes.bak";
const char* const modeKey = "Mode";
const char* const replacedModeKey = "replaced_mode";

// Update mode, never creating the file: a logger.ini made empty by the
// service would have none of the sections its records wait for.
constexpr unsigned iniUpdate = C_ConfigFile::modeRead | C_ConfigFile::modeUpdate | C_ConfigFile::modeExisting;

// How long a save, or the move of a damaged file, waits for a process that
// holds the backup file (a virus scanner, a person looking at it): such
// readers keep it for a moment only.
const boost::chrono::milliseconds backupWait(2000);

// How often a toggle's write is tried again while another program keeps
// changing the line between the read and the write.
const int maxWriteAttempts = 5;

std::string missingSectionMessage(const std::string& section, int line)
{
    return "Can't find section " + section + ". Can't set mode for line " + std::to_string(line);
}

// The file (or its folder) does not exist.
bool isMissingFile(const std::exception& e)
{
    const auto* failure = dynamic_cast<const boost::system::system_error*>(&e);
    return failure &&
           (failure->code().value() == ERROR_FILE_NOT_FOUND || failure->code().value() == ERROR_PATH_NOT_FOUND);
}

// The backup file could not be taken over or saved: nothing of a change
// that needs a record may happen.
class BackupNotSaved : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Moves a damaged backup file aside to a name of its own, so that a later
// damaged file never replaces an earlier one: the file's name, the local
// time and ".damaged", numbered when that name is taken. Returns the name;
// throws std::runtime_error naming the file it could not make.
std::string keepDamaged(const std::string& path)
{
    // More damaged files than this within one second mean something else
    // is wrong with the folder.
    const int namesPerSecond = 100;
    const std::string stamped = path + "." +
                                boost::posix_time::to_iso_string(boost::posix_time::second_clock::local_time());
    std::string kept;
    for (int number = 1; number <= namesPerSecond; ++number) {
        kept = stamped + (number == 1 ? "" : "-" + std::to_string(number)) + ".damaged";
        try {
            win32_file::moveDurably(path, kept, backupWait, win32_file::existing_target::keep);
            return kept;
        } catch (const boost::system::system_error& e) {
            if (e.code().value() != ERROR_ALREADY_EXISTS && e.code().value() != ERROR_FILE_EXISTS)
                throw std::runtime_error("can't be kept as " + kept + " (" + e.what() + ")");
        }
    }
    throw std::runtime_error("can't be kept as " + kept + " (every name up to it is taken)");
}

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

boost::optional<std::string> readSharedFile(const std::string& path, const win32_file::timeout& wait)
{
    std::unique_ptr<win32_file::locked_handle> file;
    try {
        file.reset(wait ? new win32_file::locked_handle(path, 0, *wait) : new win32_file::locked_handle(path, 0));
    } catch (const boost::system::system_error& e) {
        if (e.code().value() == ERROR_FILE_NOT_FOUND)
            return boost::none;
        throw;
    }
    win32_file::device device = file->lock().device();
    std::string text;
    char block[16 * 1024];
    for (std::streamsize got; (got = device.read(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}

std::string windowsDirectory()
{
    char buffer[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length > MAX_PATH)
        boost::throw_exception(std::runtime_error("Can't get windows directory"));
    std::string dir(buffer, length);
    if (dir.back() != '\\')
        dir += '\\';
    return dir;
}

std::string loggerConfigFilePath(LoggerConfigFile file)
{
    static const char* const names[] = {"logger.ini", "logger.res", "logger.inf", "radio.ini"};
    if (file < LoggerIni || file > RadioIni)
        boost::throw_exception(std::runtime_error("Invalid enum value for LoggerConfigFile"));
    return windowsDirectory() + names[file];
}

std::string lineSectionName(int line)
{
    // What "Line%02d" gives, without a formatting stream on every access.
    const std::string number = std::to_string(line);
    return (number.size() < 2 ? "Line0" : "Line") + number;
}

std::string modeAsStored(const std::string& mode)
{
    return mode.substr(0, mode.find_last_not_of(" \t") + 1);
}

// Every access opens logger.ini without parsing it: a file in the form the
// INI model writes, as the service leaves it, is read or changed in place
// with the model's own result (see findRenderedValue); any other goes
// through the model, which also reports its syntax errors. The library's
// process-wide lookup remembers the text it saw last, which is most often
// the file as it is read next.
namespace {

// logger.ini opened, locked and read whole for one access.
class LoggerIniAccess {
public:
    explicit LoggerIniAccess(const std::string& path, bool wait = true)
        : file(path, iniUpdate | C_ConfigFile::modeNoLoad, wait, 0), text(file.readText())
    {
    }

    // The mode of the section; none when the section is missing. Throws
    // Configuration::KeyNotFoundError when it has no "Mode".
    boost::optional<std::string> mode(const std::string& section)
    {
        const C_CfgRenderedValue found = C_CfgRenderedLookup::processWide().find(text, section, modeKey);
        if (found.keyFound)
            return text.substr(found.valueBegin, found.valueEnd - found.valueBegin);
        file.parse(text);
        const C_CfgFileSection* parsed = file.findSection(section);
        if (!parsed)
            return boost::none;
        return parsed->getValue(modeKey);
    }

    // Writes the section's mode; false, with nothing written, when the
    // section is missing.
    bool setMode(const std::string& section, const std::string& mode, C_ConfigFile::Durability durability)
    {
        if (C_CfgRenderedLookup::processWide().set(text, section, modeKey, mode)) {
            file.commitText(text, durability);
            return true;
        }
        file.parse(text);
        C_CfgFileSection* found = file.findSection(section);
        if (!found)
            return false;
        found->setValue(modeKey, mode);
        file.commit(durability);
        return true;
    }

    C_ConfigFile file;

private:
    std::string text;
};

// The mode logger.ini shows for the line; none, logged at ERROR, when its
// section is missing.
boost::optional<std::string> shownMode(LoggerIniAccess& ini, int line)
{
    const std::string section = lineSectionName(line);
    const boost::optional<std::string> mode = ini.mode(section);
    if (!mode)
        LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
    return mode;
}

// What a change's write found: whether it wrote, and what the line showed
// before (none: no section).
struct WriteOutcome {
    bool wrote;
    boost::optional<std::string> shown;
};

// A change's write in one locked access: the mode goes in only while the
// line still shows `expected`, the mode its record was made for.
WriteOutcome writeOverShown(int line, const boost::optional<std::string>& expected, const std::string& mode,
                            const std::string& iniPath, C_ConfigFile::Durability durability)
{
    LoggerIniAccess ini(iniPath);
    const std::string section = lineSectionName(line);
    const boost::optional<std::string> shown = ini.mode(section);
    if (!shown) {
        LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
        return {false, shown};
    }
    return {shown == expected && ini.setMode(section, mode, durability), shown};
}

}  // namespace

std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode, const std::string& iniPath)
{
    LoggerIniAccess ini(iniPath);
    const std::string section = lineSectionName(line);
    const boost::optional<std::string> mode = ini.mode(section);
    if (mode)
        return *mode;
    LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
    return defaultMode;
}

void setLineModeInLoggerINI(int line, const std::string& mode, const std::string& iniPath,
                            C_ConfigFile::Durability durability)
{
    LoggerIniAccess ini(iniPath);
    const std::string section = lineSectionName(line);
    if (!ini.setMode(section, mode, durability))
        LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
}

bool revertLineInLoggerINI(int line, const std::string& saved, const std::vector<std::string>& written,
                           const std::string& iniPath, bool wait)
{
    LoggerIniAccess ini(iniPath, wait);
    const boost::optional<std::string> shown = shownMode(ini, line);
    // Another mode in logger.ini was set by somebody else since; it stands.
    if (shown && std::find(written.begin(), written.end(), *shown) != written.end() &&
        ini.setMode(lineSectionName(line), saved, C_ConfigFile::Durability::durable))
        return true;
    // What logger.ini shows instead, perhaps another program's write still
    // cached, goes to disk all the same before the record is dropped.
    ini.file.flush();
    return false;
}

ModeBackup::ModeBackup(const std::string& iniPath, boost::chrono::milliseconds retryPeriod)
    : iniPath(iniPath), retryPeriod(retryPeriod), nextRetry(boost::chrono::steady_clock::now() + retryPeriod)
{
}

std::string backupFilePath()
{
    return (boost::filesystem::path(windowsDirectory()) / backupFileName).string();
}

std::string ModeBackup::backupPath() const
{
    return backupFilePath();
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
    const std::string path = backupPath();
    boost::optional<std::string> text;
    try {
        text = readSharedFile(path, wait);
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
            kept = keepDamaged(path);
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
    const std::string path = backupPath();
    try {
        win32_file::replaceDurably(path, path + ".tmp", backupFileText(tree), backupWait);
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
    takeOverRefused(backupWait);
    const std::string section = lineSectionName(line);
    boost::optional<std::string> shown;
    {
        LoggerIniAccess ini(iniPath);
        shown = shownMode(ini, line);
    }
    const boost::property_tree::ptree before = tree;
    // Another program may write the line between the read and the write:
    // the record then follows what the write found, and is saved again
    // before the write is tried again.
    for (int attempt = 1;; ++attempt) {
        const bool replacing = recordChange(section, mode, shown.value_or(std::string()));
        // A line the service had switched before is written durably: only
        // then may its record forget the mode it replaces.
        const WriteOutcome outcome = writeOverShown(line, shown, mode, iniPath,
                                                    replacing ? C_ConfigFile::Durability::durable
                                                              : C_ConfigFile::Durability::cached);
        if (outcome.wrote) {
            // This toggle reverts the line now; an earlier revert that
            // failed is owed no longer.
            owedReverts.erase(line);
            logWritten = true;
            if (replacing) {
                tree.get_child(section).erase(replacedModeKey);
                saveOrReport();
            }
            return;
        }
        // A section gone at the write: nothing was written, and the record
        // keeps every mode the line may show when it comes back.
        if (!outcome.shown)
            return;
        if (attempt == maxWriteAttempts) {
            LOG_ERROR("Line %d keeps changing under the service (now %s); left unchanged", line,
                      outcome.shown->c_str());
            return;
        }
        shown = outcome.shown;
        tree = before;
    }
}

// Saves the line's record for the change to `mode` while logger.ini shows
// `ini`, before logger.ini is written; returns whether the line shows a mode
// the service wrote earlier, which the record keeps as the replaced mode.
// Throws BackupNotSaved, the tree as it was, when the record cannot be saved.
bool ModeBackup::recordChange(const std::string& section, const std::string& mode, const std::string& ini)
{
    const LineRecord record(tree, section);
    // While logger.ini shows a mode the service wrote, the mode recorded
    // before the first change stays the one to put back.
    const bool servicesModeShown = record.saved && record.wrote(ini);
    // Somebody else has changed the line: its record is about to forget the
    // service's modes, so the other program's write goes to disk first.
    if (record.saved && !servicesModeShown)
        C_ConfigFile(iniPath, iniUpdate | C_ConfigFile::modeNoLoad, true, 0).flush();
    const bool replacing = servicesModeShown && ini != mode;
    const boost::property_tree::ptree before = tree;
    tree.put(section + ".current_mode", mode);
    tree.put(section + ".saved_mode", servicesModeShown ? *record.saved : ini);
    if (replacing)
        tree.put(section + "." + replacedModeKey, ini);
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
    restoreLineLocked(line, true);
}

bool ModeBackup::restoreLineLocked(int line, bool wait)
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
        nextRetry = boost::chrono::steady_clock::now() + retryPeriod;
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
    nextRetry = now + retryPeriod;
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
            if (restoreLineLocked(entry.first, false))
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
            restoreLineLocked(*lines[i], true);
        } catch (const std::exception& e) {
            if (!isMissingFile(e)) {
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
