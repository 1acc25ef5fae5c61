#include "Ostrel/Service/ModeBackup.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/throw_exception.hpp>

#include "logging/Log.h"
#include "utillib_configfile/ConfigFile.h"
#include "win32_file_handle/win32_file_retry.h"

namespace Ostrel {

namespace {

const char* const backupFileName = "brevik_ostrel_saved_modes.bak";
const char* const modeKey = "Mode";
// Present in a line's record only while a new mode of a line the service had
// already switched is being written: the mode logger.ini may still show.
const char* const replacedModeKey = "replaced_mode";

// Update mode, waiting without time-out, parsed at once.
constexpr unsigned iniUpdate = C_ConfigFile::modeRead | C_ConfigFile::modeUpdate;

std::string missingSectionMessage(const std::string& section, int line)
{
    return "Can't find section " + section + ". Can't set mode for line " + std::to_string(line);
}

// Moves temp over path. Somebody reading the backup (a virus scanner, a
// person looking at it) keeps it open for a moment, and the move fails
// meanwhile; it is retried, as the file layer retries logger.ini, for up to
// two seconds.
void replaceFile(const std::string& temp, const std::string& path)
{
    win32_file::retryTimer timer(win32_file::timeout(boost::chrono::seconds(2)));
    while (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || timer.passed())
            boost::throw_exception(std::runtime_error("replacing the backup file failed"));
        timer.wait();
    }
}

}  // namespace

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

// Both open logger.ini without parsing it: a file in the form the INI model
// writes, as the service leaves it, is read or changed in place with the
// model's own result (see findRenderedValue); any other goes through the
// model, which also reports its syntax errors. The lookup remembers the
// text it saw last, which is most often the file as it is read next.
namespace {

boost::mutex renderedLookupMutex;
C_CfgRenderedLookup renderedLookup;

C_CfgRenderedValue findInPlace(const std::string& text, const std::string& section)
{
    boost::mutex::scoped_lock lock(renderedLookupMutex);
    return renderedLookup.find(text, section, modeKey);
}

bool setInPlace(std::string& text, const std::string& section, const std::string& mode)
{
    boost::mutex::scoped_lock lock(renderedLookupMutex);
    return renderedLookup.set(text, section, modeKey, mode);
}

}  // namespace

std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode, const std::string& iniPath)
{
    C_ConfigFile ini(iniPath, iniUpdate | C_ConfigFile::modeNoLoad, true, 0);
    const std::string text = ini.readText();
    const std::string section = lineSectionName(line);
    const C_CfgRenderedValue found = findInPlace(text, section);
    if (found.keyFound)
        return text.substr(found.valueBegin, found.valueEnd - found.valueBegin);
    ini.parse(text);
    try {
        return ini.getSection(section, false).getValue(modeKey);
    } catch (const Configuration::SectionNotFoundError&) {
        LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
        return defaultMode;
    }
}

void setLineModeInLoggerINI(int line, const std::string& mode, const std::string& iniPath)
{
    C_ConfigFile ini(iniPath, iniUpdate | C_ConfigFile::modeNoLoad, true, 0);
    std::string text = ini.readText();
    const std::string section = lineSectionName(line);
    if (setInPlace(text, section, mode)) {
        ini.commitText(text);
        return;
    }
    ini.parse(text);
    try {
        ini.getSection(section, false).setValue(modeKey, mode);
    } catch (const Configuration::SectionNotFoundError&) {
        LOG_ERROR("%s", missingSectionMessage(section, line).c_str());
        return;
    }
    ini.commit();
}

ModeBackup::ModeBackup(const std::string& iniPath) : iniPath(iniPath) {}

std::string ModeBackup::backupPath() const
{
    return (boost::filesystem::path(windowsDirectory()) / backupFileName).string();
}

void ModeBackup::load()
{
    boost::mutex::scoped_lock lock(mutex);
    tree.clear();
    const std::string path = backupPath();
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LOG_INFO("Backup file not found, nothing to revert");
        return;
    }
    try {
        boost::property_tree::read_xml(path, tree);
    } catch (const std::exception& e) {
        tree.clear();
        // Saving over a damaged file would destroy whatever modes it still
        // holds: keep it for the administrator under a name of its own.
        const std::string kept = path + ".damaged";
        MoveFileExA(path.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        LOG_ERROR("Backup file damaged, kept as %s, nothing reverted: %s", kept.c_str(), e.what());
    }
}

void ModeBackup::save()
{
    boost::mutex::scoped_lock lock(mutex);
    saveLocked();
}

void ModeBackup::saveLocked()
{
    const std::string path = backupPath();
    const std::string temp = path + ".tmp";
    try {
        // The writer's own file form (a text-mode stream), so the bytes are
        // those every earlier run wrote and read back.
        boost::property_tree::write_xml(temp, tree, std::locale(),
                                        boost::property_tree::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
        const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!flushed)
            boost::throw_exception(std::runtime_error("flushing the new backup file failed"));
        replaceFile(temp, path);
    } catch (const std::exception&) {
        LOG_ERROR("Can't update backup, logger.ini could be corrupted if the service is terminated");
    }
}

void ModeBackup::setLineMode(int line, const std::string& requested)
{
    const std::string mode = modeAsStored(requested);
    const std::string section = lineSectionName(line);
    boost::mutex::scoped_lock lock(mutex);
    boost::optional<std::string> saved = tree.get_optional<std::string>(section + ".saved_mode");
    const boost::optional<std::string> current = tree.get_optional<std::string>(section + ".current_mode");
    const std::string ini = getLineModeFromLoggerINI(line, std::string(), iniPath);
    // While logger.ini still shows what the service wrote last, the mode
    // recorded before the first change stays the one to put back.
    const bool servicesModeShown = saved && current && ini == *current;
    if (!servicesModeShown)
        saved = ini;
    tree.put(section + ".current_mode", mode);
    tree.put(section + ".saved_mode", *saved);
    // Recorded before logger.ini changes: a crash in between leaves a record
    // whose current mode logger.ini does not show. For a first change that
    // is right (logger.ini still shows the line's own mode, which the revert
    // leaves alone); for a line the service had already switched, logger.ini
    // still shows the service's earlier mode, which must still be reverted:
    // it is kept as the replaced mode until the new one is written.
    const bool replacing = servicesModeShown && ini != mode;
    if (replacing)
        tree.put(section + "." + replacedModeKey, ini);
    saveLocked();
    setLineModeInLoggerINI(line, mode, iniPath);
    if (replacing) {
        tree.get_child(section).erase(replacedModeKey);
        saveLocked();
    }
}

void ModeBackup::restoreLine(int line)
{
    const std::string section = lineSectionName(line);
    boost::mutex::scoped_lock lock(mutex);
    const boost::optional<std::string> saved = tree.get_optional<std::string>(section + ".saved_mode");
    if (!saved)
        return;
    const boost::optional<std::string> current = tree.get_optional<std::string>(section + ".current_mode");
    const boost::optional<std::string> replaced = tree.get_optional<std::string>(section + "." + replacedModeKey);
    const std::string ini = getLineModeFromLoggerINI(line, std::string(), iniPath);
    // Another mode in logger.ini was set by somebody else since; it stands.
    if ((current && ini == *current) || (replaced && ini == *replaced))
        setLineModeInLoggerINI(line, *saved, iniPath);
    tree.erase(tree.to_iterator(tree.find(section)));
    saveLocked();
}

namespace {

// The line a record names, when its key is exactly a line's section name.
boost::optional<int> recordedLine(const std::string& key)
{
    int line;
    if (key.compare(0, 4, "Line") != 0 || !boost::conversion::try_lexical_convert(key.substr(4), line)
        || lineSectionName(line) != key)
        return boost::none;
    return line;
}

}  // namespace

void ModeBackup::restoreAllLines()
{
    std::vector<std::string> keys;
    std::vector<boost::optional<int>> lines;  // none: no line to revert
    {
        boost::mutex::scoped_lock lock(mutex);
        for (const auto& child : tree) {
            keys.push_back(child.first);
            const bool hasSavedMode = bool(child.second.get_optional<std::string>("saved_mode"));
            lines.push_back(hasSavedMode ? recordedLine(child.first) : boost::none);
        }
    }
    if (keys.empty())
        return;
    LOG_INFO("Reverting %s", boost::algorithm::join(keys, ", ").c_str());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (lines[i])
            restoreLine(*lines[i]);
        else
            LOG_ERROR("Backup record %s is no line with a saved mode; left in the backup file", keys[i].c_str());
    }
}

}  // namespace Ostrel
