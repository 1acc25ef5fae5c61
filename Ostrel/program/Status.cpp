#include "Ostrel/program/Status.h"

#include <windows.h>

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_io.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include "Ostrel/backup_text/ModeBackupText.h"
#include "Ostrel/modebackup/ModeBackup.h"
#include "Ostrel/scheduling/FiringLinesets.h"
#include "Ostrel/scheduling/Schedule.h"
#include "Ostrel/settings/Settings.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "locked_file/locked_file.h"
#include "utillib_configfile/CfgFileSnapshot.h"
#include "windows_service/ServiceHandle.h"

using boost::posix_time::ptime;

namespace Ostrel {

namespace {

std::runtime_error managerFailure(const char* call)
{
    return std::runtime_error(std::string(call) + " failed, error " + std::to_string(GetLastError()));
}

// "running, process 1234".
std::string describe(const ServiceState& state)
{
    static const char* const names[] = {"not installed", "stopped",      "start pending",
                                        "running",       "stop pending", "in another state"};
    std::string text = names[state.kind];
    if (state.processId)
        text += ", process " + std::to_string(state.processId);
    return text;
}

// A lineset the engine fires whose interval holds `now`.
struct Toggle {
    std::size_t index;
    const LinesetSettings* lineset;
    ptime since;
    ptime revertDue;
};

std::vector<Toggle> runningToggles(const Settings& settings, const ptime& now)
{
    std::vector<Toggle> toggles;
    for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
        const LinesetSettings& lineset = settings.linesets[i];
        if (linesetRefusal(lineset) || lineset.interval <= boost::posix_time::time_duration())
            continue;
        const ptime since = lastMoment(lineset.schedule, now);
        if (since.is_special())
            continue;
        const ptime due = since + lineset.interval;
        if (isLater(due, now))
            toggles.push_back({i, &lineset, since, due});
    }
    return toggles;
}

// "lineset #0 Morning [1, 2]", as /check names them.
std::string linesetName(std::size_t index, const LinesetSettings& lineset)
{
    return "lineset #" + std::to_string(index) + (lineset.name.empty() ? "" : " ") + lineset.name + " [" +
           joinLines(lineset.lines, ", ") + "]";
}

// logger.ini as it stands, or why it could not be read.
struct LoggerIniView {
    C_CfgFileSnapshot snapshot;
    std::string failure;

    explicit LoggerIniView(const std::string& iniPath)
    {
        try {
            const boost::optional<std::string> text = readSharedFile(iniPath, statusFileWait);
            if (text)
                snapshot.parse(*text);
            else
                failure = "no logger.ini";
        } catch (const std::exception& e) {
            failure = std::string("logger.ini can't be read: ") + e.what();
        }
    }

    std::string mode(int line) const
    {
        if (!failure.empty())
            return "unknown (" + failure + ")";
        const std::string section = lineSectionName(line);
        const C_CfgFileSection* found = snapshot.findSection(section);
        if (!found)
            return "unknown (no section " + section + " in logger.ini)";
        const char* value = nullptr;
        if (found->getValueStatus("Mode", value) != C_CfgFileSection::valueFound)
            return "unknown (no Mode in " + section + ")";
        return value;
    }
};

// Prints the backup's records; returns why some are not explained by a
// running toggle.
std::vector<std::string> printBackup(const std::vector<Toggle>& toggles, const LoggerFiles& files, std::ostream& os)
{
    const std::string& path = files.backupPath;
    boost::property_tree::ptree tree;
    try {
        const boost::optional<std::string> text = readSharedFile(path, statusFileWait);
        if (text)
            tree = backupFileTree(*text);
    } catch (const std::exception& e) {
        os << "Backup file " << path << ": can't be read: " << e.what() << std::endl;
        return {"the backup file can't be read"};
    }
    // No file and a file without records mean the same: the service keeps
    // its file once the last record has gone.
    if (tree.empty()) {
        os << "Backup file " << path << ": no line is switched" << std::endl;
        return {};
    }
    os << "Backup file " << path << ": " << tree.size() << (tree.size() == 1 ? " record" : " records") << std::endl;
    const LoggerIniView ini(files.iniPath);
    std::vector<std::string> unexplained;
    for (const auto& record : tree) {
        const boost::optional<int> line = recordedLine(record.first);
        if (!line) {
            os << "  " << record.first << ": not a line's record" << std::endl;
            unexplained.push_back("the backup holds " + record.first + ", which names no line");
            continue;
        }
        const boost::optional<std::string> saved = record.second.get_optional<std::string>("saved_mode");
        os << "  Line " << *line << ": current " << ini.mode(*line) << ", saved "
           << (saved ? *saved : std::string("none")) << std::endl;
        const bool explained = std::any_of(toggles.begin(), toggles.end(), [&](const Toggle& t) {
            return std::find(t.lineset->lines.begin(), t.lineset->lines.end(), *line) != t.lineset->lines.end();
        });
        if (!explained)
            unexplained.push_back("line " + std::to_string(*line) +
                                  " is in the backup, but no lineset inside its interval switches it");
    }
    return unexplained;
}

void printToggles(const std::vector<Toggle>& toggles, const ptime& now, std::ostream& os)
{
    if (toggles.empty()) {
        os << "Toggled now (" << now << "): no lineset is inside its interval" << std::endl;
        return;
    }
    os << "Toggled now (" << now << "):" << std::endl;
    for (const Toggle& t : toggles)
        os << "  " << linesetName(t.index, *t.lineset) << ": mode " << t.lineset->mode << " since " << t.since
           << ", revert due " << t.revertDue << std::endl;
}

// The earliest toggle or revert after now. At one moment a revert is named
// before a toggle, and of two of a kind the lineset listed first.
void printNextEvent(const Settings& settings, const std::vector<Toggle>& toggles, const ptime& now, std::ostream& os)
{
    ptime next(boost::posix_time::not_a_date_time);
    std::string what;
    for (const Toggle& t : toggles)
        if (isLater(next, t.revertDue)) {
            next = t.revertDue;
            what = linesetName(t.index, *t.lineset) + " reverts";
        }
    for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
        const LinesetSettings& lineset = settings.linesets[i];
        if (linesetRefusal(lineset))
            continue;
        const ptime moment = nextMoment(lineset.schedule, now);
        if (isLater(next, moment)) {
            next = moment;
            what = linesetName(i, lineset) + " switches to " + lineset.mode;
        }
    }
    if (next.is_special())
        os << "Next event: none" << std::endl;
    else
        os << "Next event: " << next << ", " << what << std::endl;
}

}  // namespace

ServiceState queryServiceState(const std::wstring& serviceName)
{
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        throw managerFailure("OpenSCManager");
    const ServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return {ServiceState::notInstalled, 0};
        throw managerFailure("OpenService");
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        throw managerFailure("QueryServiceStatusEx");
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
        return {ServiceState::stopped, 0};
    case SERVICE_START_PENDING:
        return {ServiceState::startPending, status.dwProcessId};
    case SERVICE_RUNNING:
        return {ServiceState::running, status.dwProcessId};
    case SERVICE_STOP_PENDING:
        return {ServiceState::stopPending, status.dwProcessId};
    default:
        return {ServiceState::other, status.dwProcessId};
    }
}

bool printStatus(const std::function<ServiceState()>& askManager, const ptime& now, const LoggerFiles& files,
                 std::ostream& os)
{
    std::vector<std::string> notOk;
    try {
        const ServiceState state = askManager();
        os << "Service: " << describe(state) << std::endl;
        if (state.kind != ServiceState::running)
            notOk.push_back("the service is not running (" + describe(state) + ")");
    } catch (const std::exception& e) {
        os << "Service: unknown, " << e.what() << std::endl;
        notOk.push_back("the service manager can't tell whether the service runs");
    }
    const boost::shared_ptr<Settings> settings = loadSettings();
    const std::vector<Toggle> toggles = runningToggles(*settings, now);
    const std::vector<std::string> unexplained = printBackup(toggles, files, os);
    notOk.insert(notOk.end(), unexplained.begin(), unexplained.end());
    printToggles(toggles, now, os);
    printNextEvent(*settings, toggles, now, os);
    for (const std::string& reason : notOk)
        os << "Not OK: " << reason << std::endl;
    if (notOk.empty())
        os << "OK: the service runs and every line in the backup belongs to a lineset inside its interval" << std::endl;
    return notOk.empty();
}

bool showStatus(const std::wstring& serviceName, const LoggerFiles& files, std::ostream& os)
{
    return printStatus([&serviceName] { return queryServiceState(serviceName); }, localNow(), files, os);
}

}  // namespace Ostrel
