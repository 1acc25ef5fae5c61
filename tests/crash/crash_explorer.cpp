// The Windows side of the crash-state explorer (crash_test.sh drives it and
// records the runs under strace):
//
//   crash_explorer scenarios              the scenario names, one a line
//   crash_explorer prepare SCENARIO DIR   lays down the files the scenario
//       starts from in the Windows directory, empties the configuration, and
//       keeps a copy of the files and the mode each line must end with in DIR
//   crash_explorer run SCENARIO DIR       runs OstrelService.exe /console
//       through the scenario, stops it once it is over, and keeps the files
//       it left in DIR (the test checks the trace against them)
//   crash_explorer explore DIR...         builds every crash state of each
//       recorded run (CrashStates.h), starts the real program on each, and
//       checks what its start-up repair leaves
//
// Scenarios: "toggles" (linesets on overlapping lines, each a second after
// the last and held for two: a first toggle, a second toggle of a line
// already switched, and the reverts) and "repair" (a start with a backup
// left by a run cut short: lines toggled, one recorded but not yet written,
// one switched twice and cut during the second write).
//
// Environment: OSTREL_CRASH_LINES (lines of logger.ini, default 3) and
// OSTREL_CRASH_TOGGLES (linesets of "toggles", default 2); the long form
// raises both.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "Ostrel/modebackup/ModeBackup.h"
#include "Ostrel/settings/Settings.h"
#include "crash/CrashStates.h"
#include "support/ConfigurationKey.h"
#include "support/RepairScenario.h"
#include "support/ServiceProcess.h"
#include "support/SettingsSamples.h"
#include "support/TestInputs.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using repair::backupName;
using repair::exists;
using repair::windowsPath;

// The files the service changes in the Windows directory; the damaged-backup
// copies are only ever made by the start-up repair.
const std::vector<std::string> watchedNames = {"logger.ini", backupName, std::string(backupName) + ".tmp"};

// Wine starts a process, and the service its engine, well within these.
const milliseconds startTimeout(60000);
const milliseconds scenarioTimeout(120000);

// Under load Wine now and then fails to create a process (error 1359); a
// start is tried this many times.
const int startAttempts = 3;
long startsRetried = 0;

int lineCount()
{
    return static_cast<int>(environmentNumber("OSTREL_CRASH_LINES", 3));
}
int toggleCount()
{
    return static_cast<int>(environmentNumber("OSTREL_CRASH_TOGGLES", 2));
}

// The watched files as they are in the Windows directory.
crash::Files currentFiles()
{
    crash::Files files;
    for (const std::string& name : watchedNames)
        if (exists(windowsPath(name)))
            files[name] = readFileBytes(windowsPath(name));
    return files;
}

// Makes the Windows directory hold exactly these watched files.
void layDown(const crash::Files& files)
{
    for (const std::string& name : watchedNames) {
        const auto file = files.find(name);
        if (file != files.end())
            writeFileBytes(windowsPath(name), file->second);
        else
            DeleteFileA(windowsPath(name).c_str());
    }
    removeDamagedBackups(Ostrel::windowsDirectory());
}

// Copies of the files in a run's folder, named "<prefix>-<name>".
void keep(const crash::Files& files, const std::string& dir, const std::string& prefix)
{
    for (const std::string& name : watchedNames) {
        const std::string copy = dir + "\\" + prefix + "-" + name;
        const auto file = files.find(name);
        if (file != files.end())
            writeFileBytes(copy, file->second);
        else
            DeleteFileA(copy.c_str());
    }
}

crash::Files kept(const std::string& dir, const std::string& prefix)
{
    crash::Files files;
    for (const std::string& name : watchedNames) {
        const std::string copy = dir + "\\" + prefix + "-" + name;
        if (exists(copy))
            files[name] = readFileBytes(copy);
    }
    return files;
}

// OstrelService.exe /console, started once its settings listing shows
// that the start-up repair is done.
std::unique_ptr<ServiceProcess> startService()
{
    std::unique_ptr<ServiceProcess> service;
    for (int attempt = 1; !service; ++attempt) {
        try {
            service.reset(new ServiceProcess());
        } catch (const std::runtime_error&) {
            if (attempt == startAttempts)
                throw;
            ++startsRetried;
        }
    }
    if (!service->waitForOutput("Settings:", startTimeout))
        throw std::runtime_error("the service did not start:\n" + service->output());
    return service;
}

// --- the scenarios ---------------------------------------------------------------

struct Start {
    crash::Files files;
    repair::Modes expected;  // the mode each line must end with
};

Start toggles()
{
    const std::map<int, std::string> own = repair::ownModesOf(lineCount());
    return {{{"logger.ini", repair::loggerIni(own)}}, repair::bySection(own)};
}

// A backup as a run cut short leaves it.
Start repairStart()
{
    const repair::CutShort files = repair::cutShort(lineCount());
    return {{{"logger.ini", files.ini}, {backupName, files.backup}},
            repair::bySection(repair::ownModesOf(lineCount()))};
}

Start scenarioStart(const std::string& scenario)
{
    if (scenario == "toggles")
        return toggles();
    if (scenario == "repair")
        return repairStart();
    throw std::runtime_error("no scenario " + scenario);
}

// Linesets k = 0, 1, ... on lines k+1 and k+2 (wrapping), each a second
// after the one before and held for two: every lineset but the first
// switches a line the one before still holds. Each fires every minute from
// `first` on; the run ends after the first round, and a lineset whose moment
// passed before the service read it fires a minute later instead of never.
void storeToggles(const boost::posix_time::ptime& first)
{
    auto settings = boost::make_shared<Ostrel::Settings>();
    for (int k = 0; k < toggleCount(); ++k) {
        settings->linesets.push_back(minutelyLineset(
            "Crash " + std::to_string(k), {k % lineCount() + 1, (k + 1) % lineCount() + 1}, repair::toggleModes[k % 3],
            boost::posix_time::seconds(2), first + boost::posix_time::seconds(k)));
    }
    Ostrel::saveSettings(settings);
}

// --- recording -----------------------------------------------------------------

void prepare(const std::string& scenario, const std::string& dir)
{
    deleteConfigurationKey();
    const Start start = scenarioStart(scenario);
    layDown(start.files);
    keep(start.files, dir, "before");
    std::string expected;
    for (const auto& line : start.expected)
        expected += line.first + "=" + line.second + "\n";
    writeFileBytes(dir + "\\expected-modes", expected);
    writeFileBytes(dir + "\\scenario", scenario + "\n");
}

bool waitFor(const std::function<bool()>& done, milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Sleep(50);
    }
    return true;
}

// Takes the program through the scenario and stops it (as a kill) once it
// is over: "repair" when the settings listing shows that the start-up repair
// is done, "toggles" when every lineset has reverted and the files show it
// (logger.ini as it started, a backup without records).
void run(const std::string& scenario, const std::string& dir)
{
    const Start start = scenarioStart(scenario);
    const std::unique_ptr<ServiceProcess> started = startService();
    ServiceProcess& service = *started;
    if (scenario == "toggles") {
        const auto now = boost::posix_time::second_clock::local_time();
        // The engine reads the settings as soon as they are written.
        storeToggles(now + boost::posix_time::seconds(4));
        const bool over = waitFor(
            [&] {
                if (service.count("Reverting [") < std::size_t(toggleCount()))
                    return false;
                try {
                    return readFileBytes(windowsPath("logger.ini")) == start.files.at("logger.ini") &&
                           repair::backupRecords(readExistingFileBytes(windowsPath(backupName))) == 0;
                } catch (const std::exception&) {
                    return false;  // held or read while being replaced
                }
            },
            scenarioTimeout);
        if (!over)
            throw std::runtime_error("the toggles did not end:\n" + service.output());
    }
    service.kill();
    deleteConfigurationKey();
    keep(currentFiles(), dir, "after");
    std::cout << "recorded " << scenario << ":\n" << service.output() << std::flush;
}

// --- exploring -----------------------------------------------------------------

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            result.push_back(line);
    return result;
}

struct Findings {
    std::size_t states = 0;
    long linesLost = 0, unparsable = 0, backupDamaged = 0, recordsLeft = 0;
    bool clean() const { return linesLost == 0 && unparsable == 0 && backupDamaged == 0 && recordsLeft == 0; }
};

struct Tally {
    Findings kill, power;
    std::vector<std::string> failures;
};

// Starts the program on the files and checks what its start-up repair
// leaves (repair::inspect).
void check(const crash::CrashStates::State& state, const repair::Modes& expected, const std::string& original,
           const std::string& scenario, Findings& findings, std::vector<std::string>& failures)
{
    ++findings.states;
    layDown(state.files);
    // With no configuration nothing happens after the start-up repair.
    startService()->kill();
    const repair::Findings found = repair::inspect(expected, original);
    findings.linesLost += found.linesLost;
    findings.unparsable += found.unparsable || found.linesDropped;
    findings.backupDamaged += found.backupDamaged;
    findings.recordsLeft += found.recordsLeft != 0;
    if (!found.problem.empty())
        failures.push_back(scenario + ", " + state.how + ":" + found.problem);
}

int explore(const std::vector<std::string>& dirs)
{
    const auto began = std::chrono::steady_clock::now();
    deleteConfigurationKey();
    Tally tally;
    bool replayable = true;
    for (const std::string& dir : dirs) {
        const std::string scenario = lines(readFileBytes(dir + "\\scenario")).at(0);
        const crash::Files before = kept(dir, "before");
        const std::vector<crash::FileCall> calls = crash::callsFromTraces(
            {readFileBytes(dir + "\\program.trace"), readFileBytes(dir + "\\server.trace")},
            std::set<std::string>(watchedNames.begin(), watchedNames.end()));
        // The trace must account for every byte the run changed.
        crash::Files replayed = before;
        for (const crash::FileCall& call : calls)
            crash::apply(replayed, call);
        if (replayed != kept(dir, "after")) {
            std::cout << scenario << ": the " << calls.size() << " traced calls do not give the files the run left\n";
            replayable = false;
            continue;
        }
        repair::Modes expected;
        for (const std::string& line : lines(readFileBytes(dir + "\\expected-modes")))
            expected[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);

        const crash::CrashStates states = crash::crashStates(before, calls);
        std::cout << scenario << ": " << calls.size() << " file calls, " << states.kill.size() << " kill states, "
                  << states.power.size() << " power-cut states" << std::endl;
        for (const auto& state : states.kill)
            check(state, expected, before.at("logger.ini"), scenario, tally.kill, tally.failures);
        for (const auto& state : states.power)
            check(state, expected, before.at("logger.ini"), scenario, tally.power, tally.failures);
    }
    layDown({});

    const std::size_t shown = 20;
    for (std::size_t i = 0; i < tally.failures.size() && i < shown; ++i)
        std::cout << "FAILED " << tally.failures[i] << "\n";
    if (tally.failures.size() > shown)
        std::cout << "... and " << tally.failures.size() - shown << " more failed states\n";
    const auto took = std::chrono::duration_cast<seconds>(std::chrono::steady_clock::now() - began).count();
    std::cout << "states explored in " << took
              << " s (program starts that Wine refused and were tried again: " << startsRetried << ")\n";
    for (const auto& model : {std::make_pair("kill", &tally.kill), std::make_pair("power cut", &tally.power)})
        std::cout << model.first << ": " << model.second->states << " states, lines lost " << model.second->linesLost
                  << ", unparsable logger.ini " << model.second->unparsable << ", backups that do not parse "
                  << model.second->backupDamaged << ", states with records left " << model.second->recordsLeft << "\n";
    std::cout << "crash states: " << tally.kill.states + tally.power.states << " (kill " << tally.kill.states
              << ", power " << tally.power.states << "), lines lost: " << tally.kill.linesLost + tally.power.linesLost
              << ", unparsable logger.ini: " << tally.kill.unparsable + tally.power.unparsable << std::endl;
    const bool passed = replayable && tally.kill.clean() && tally.power.clean();
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() == 1 && args[0] == "scenarios") {
            std::cout << "toggles\nrepair\n";
            return 0;
        }
        if (args.size() == 3 && args[0] == "prepare") {
            prepare(args[1], args[2]);
            return 0;
        }
        if (args.size() == 3 && args[0] == "run") {
            run(args[1], args[2]);
            return 0;
        }
        if (args.size() >= 2 && args[0] == "explore")
            return explore(std::vector<std::string>(args.begin() + 1, args.end()));
        std::cerr << "usage: crash_explorer scenarios | prepare SCENARIO DIR | run SCENARIO DIR | explore DIR...\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "crash_explorer: " << e.what() << "\n";
        return 1;
    }
}
