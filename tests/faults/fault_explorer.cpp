// The I/O-fault explorer: the engine in this process, driven through its
// scenarios with the file layer's fault seam armed (win32_file_calls.h), so
// that the Nth file call of a scenario fails, for every N, with each kind of
// fault. After each fault the engine goes on as it would; then the faults
// stop, a restart runs the start-up repair, and the files are checked
// (support/RepairScenario.h): every line in its mode from before the run,
// logger.ini parsing with every section and key/value line it had, the
// backup parsing without records. No exception may leave the engine.
//
// Kinds of fault:
//   disk full        the Nth write, cut or flush fails with ERROR_DISK_FULL,
//                    and so does every later one of the run
//   disk full, no room to grow
//                    from the Nth write or cut that makes a file longer on,
//                    no file can grow: such a write stores only the bytes
//                    that go over bytes the file has (and reports that
//                    count as written, as Windows does), or fails when there
//                    are none; such a cut fails
//   access denied    the Nth call, whatever it is, fails with
//                    ERROR_ACCESS_DENIED
//   busy             the Nth call fails with a sharing violation (open,
//                    reopen, move) or a lock violation (the others), and so
//                    do the same thread's calls of its kind for ten seconds
//                    of the seam's clock: longer than any retry that has a
//                    time-out. The retries' clock moves only by their own
//                    waits, so a wait costs no real time.
//
// Scenarios (OSTREL_FAULT_LINES lines in logger.ini, default 3):
//   toggle   a lineset of every line is set and reverted
//   overlap  a lineset on lines 1 and 2 is set; another on lines 2 and 3
//            switches line 2 again while the first still holds it; the first
//            reverts, then the second
//   revert   the faults meet only the revert of a toggle of every line
//   repair   the start-up repair of a backup left by a run cut short
//
// Prints one line, "io faults: N (calls C), lines lost: L, unparsable
// logger.ini: U, service stopped: S" (N runs with a fault, C file calls of
// the scenarios without faults; U counts logger.ini files that do not parse
// or lost a line, S runs in which an exception left the engine), and the
// failed runs on the error stream. Exit code 0 when L, U and S are 0 and no
// other check failed.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <boost/cstdint.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/engine/Service.h"
#include "Ostrel/modebackup/ModeBackup.h"
#include "support/ConfigurationKey.h"
#include "support/RepairScenario.h"
#include "support/TestInputs.h"
#include "win32_file_handle/win32_file_calls.h"
#include "win32_file_handle/win32_file_retry.h"

namespace {

using win32_file::file_call;

// --- the faults ---------------------------------------------------------------

enum class Fault { diskFull, noRoom, accessDenied, busy };
const Fault allFaults[] = {Fault::diskFull, Fault::noRoom, Fault::accessDenied, Fault::busy};

const char* faultName(Fault fault)
{
    switch (fault) {
    case Fault::diskFull:
        return "disk full";
    case Fault::noRoom:
        return "disk full, no room to grow";
    case Fault::accessDenied:
        return "access denied";
    case Fault::busy:
        return "busy";
    }
    return "?";
}

const char* callName(file_call call)
{
    static const char* const names[] = {"open", "reopen", "lock", "read", "write", "cut", "flush", "move"};
    return names[static_cast<int>(call)];
}

// The calls a kind of fault can hit (growth: the bytes a write or cut adds
// to the file).
bool hits(Fault fault, file_call call, boost::uint64_t growth)
{
    switch (fault) {
    case Fault::diskFull:
        return call == file_call::write || call == file_call::truncate || call == file_call::flush;
    case Fault::noRoom:
        return growth > 0;
    default:
        return true;
    }
}

// A call that finds no room to grow the file.
win32_file::call_outcome withoutRoom(file_call call, DWORD bytes, boost::uint64_t growth)
{
    win32_file::call_outcome outcome;
    if (call == file_call::write && growth < bytes)
        outcome.stored = static_cast<DWORD>(bytes - growth);
    else
        outcome.error = ERROR_DISK_FULL;
    return outcome;
}

DWORD busyError(file_call call)
{
    return call == file_call::open || call == file_call::reopen || call == file_call::move ? ERROR_SHARING_VIOLATION
                                                                                           : ERROR_LOCK_VIOLATION;
}

// Longer than every retry of the file layer that has a time-out.
const boost::chrono::milliseconds busySpan(10000);

// The seam: counts the calls of a run, fails the chosen one, and keeps the
// retries' clock, which moves only by their own waits.
class Injector : public win32_file::fault_seam, public win32_file::retry_environment {
public:
    // Arms a run: the target-th call the fault can hit fails (0: none).
    void begin(Fault kind, std::size_t target)
    {
        std::lock_guard<std::mutex> lock(mutex);
        fault = kind;
        wanted = target;
        hitsSeen = 0;
        calls = 0;
        struck = boost::none;
        busyThread.reset();
        win32_file::armFaultSeam(this);
    }
    void end() { win32_file::armFaultSeam(nullptr); }

    // The number of calls of the run so far.
    std::size_t callCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    // The kinds of call seen since the explorer began.
    std::set<file_call> kindsSeen() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    // The call the fault struck (the kind and the file its thread opened
    // last), or none.
    boost::optional<std::string> struckCall() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return struck;
    }

    win32_file::call_outcome before(file_call call, const boost::filesystem::path& file, DWORD bytes,
                                    boost::uint64_t growth) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!file.empty())
            lastFile[boost::this_thread::get_id()] = file.filename().string();
        ++calls;
        seen.insert(call);
        win32_file::call_outcome outcome;
        if (struck) {
            if (fault == Fault::diskFull && hits(fault, call, growth))
                outcome.error = ERROR_DISK_FULL;
            else if (fault == Fault::noRoom && hits(fault, call, growth))
                outcome = withoutRoom(call, bytes, growth);
            else if (fault == Fault::busy && busyThread == boost::this_thread::get_id() && call == busyCall &&
                     now() < busyUntil) {
                outcome.error = busyError(call);
            }
            return outcome;
        }
        if (!hits(fault, call, growth) || ++hitsSeen != wanted)
            return outcome;
        struck = std::string(callName(call)) + " of " + lastFile[boost::this_thread::get_id()];
        switch (fault) {
        case Fault::diskFull:
            outcome.error = ERROR_DISK_FULL;
            break;
        case Fault::noRoom:
            outcome = withoutRoom(call, bytes, growth);
            break;
        case Fault::accessDenied:
            outcome.error = ERROR_ACCESS_DENIED;
            break;
        case Fault::busy:
            outcome.error = busyError(call);
            busyThread = boost::this_thread::get_id();
            busyCall = call;
            busyUntil = now() + busySpan;
            break;
        }
        return outcome;
    }

    win32_file::retry_environment& waits() override { return *this; }

    time_point now() override { return boost::chrono::steady_clock::now() + boost::chrono::milliseconds(waited); }
    void yield() override {}
    void sleep(boost::chrono::milliseconds length) override
    {
        waited += length.count();
        boost::this_thread::interruption_point();
    }

private:
    mutable std::mutex mutex;
    Fault fault = Fault::diskFull;
    std::size_t wanted = 0, hitsSeen = 0;
    boost::optional<std::string> struck;
    boost::optional<boost::thread::id> busyThread;
    file_call busyCall = file_call::open;
    time_point busyUntil;
    std::atomic<boost::int64_t> waited{0};
    std::size_t calls = 0;
    std::set<file_call> seen;
    std::map<boost::thread::id, std::string> lastFile;
};

// --- the log, and holding a toggle at its revert --------------------------------

// Takes what the engine logs (std::cout) and holds a thread that logs a
// chosen text there until it is released: a toggle is held after its
// setting, before its revert, where it holds no lock.
class LogGate : public std::streambuf {
public:
    LogGate() : previous(std::cout.rdbuf(this)) {}
    ~LogGate() override { std::cout.rdbuf(previous); }

    void holdAt(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        gates[text] = Gate::armed;
    }
    // Waits until a thread is held at text, or `ended` holds.
    void waitHeld(const std::string& text, const std::function<bool()>& ended)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (gates[text] != Gate::held && !ended())
            changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    void release(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        gates.erase(text);
        changed.notify_all();
    }
    std::string text() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        written.clear();
        gates.clear();
    }

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char one = traits_type::to_char_type(c);
            xsputn(&one, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        const std::string chunk(s, std::size_t(n));
        std::unique_lock<std::mutex> lock(mutex);
        written += chunk;
        for (auto& gate : gates) {
            if (gate.second == Gate::armed && chunk.find(gate.first) != std::string::npos) {
                gate.second = Gate::held;
                changed.notify_all();
                const std::string text = gate.first;
                changed.wait(lock, [&] { return gates.find(text) == gates.end(); });
                break;
            }
        }
        return n;
    }

private:
    enum class Gate { armed, held };
    std::streambuf* previous;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Gate> gates;
    std::string written;
};

// --- the scenarios ----------------------------------------------------------------

int lineCount()
{
    return std::max(3, static_cast<int>(environmentNumber("OSTREL_FAULT_LINES", 3)));
}

// What escaped the engine during a run, from any of its threads.
class Escapes {
public:
    void add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        list.push_back(what);
    }
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> list;
};

boost::shared_ptr<const Ostrel::LinesetSettings> lineset(std::vector<std::int32_t> lines, const std::string& mode)
{
    auto l = boost::make_shared<Ostrel::LinesetSettings>();
    l->name = mode;
    l->lines = std::move(lines);
    l->mode = mode;
    l->interval = boost::posix_time::seconds(0);
    return l;
}

std::string revertingText(const Ostrel::LinesetSettings& l)
{
    std::string text = "Reverting [";
    for (std::size_t i = 0; i < l.lines.size(); ++i)
        text += (i ? ", " : "") + std::to_string(l.lines[i]);
    return text + "]";
}

// Runs an engine step, keeping what escapes it.
void guarded(const std::string& what, Escapes& escapes, const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& e) {
        escapes.add(what + ": " + e.what());
    } catch (...) {
        escapes.add(what + ": an exception of an unknown type");
    }
}

// A toggle on a thread of its own, held at its revert.
class HeldToggle {
public:
    HeldToggle(Ostrel::Service& engine, LogGate& gate, const boost::shared_ptr<const Ostrel::LinesetSettings>& l,
               Escapes& escapes)
        : gate(gate), at(revertingText(*l))
    {
        gate.holdAt(at);
        thread = boost::thread([&engine, l, &escapes, this] {
            guarded("toggle " + l->name, escapes, [&] { engine.toggleLines(l); });
            ended = true;
        });
        gate.waitHeld(at, [this] { return bool(ended); });
    }
    void finish()
    {
        gate.release(at);
        thread.join();
    }

private:
    LogGate& gate;
    std::string at;
    std::atomic<bool> ended{false};
    boost::thread thread;
};

struct Scenario {
    const char* name;
    // The files it starts from.
    std::function<repair::CutShort()> files;
    // Runs it on an engine that has not started; arm() and disarm() bound
    // the part the faults may meet.
    std::function<void(Ostrel::Service&, LogGate&, const std::function<void()>& arm,
                       const std::function<void()>& disarm, Escapes&)>
        run;
};

repair::CutShort togglesStart()
{
    return {repair::loggerIni(repair::ownModesOf(lineCount())), repair::declaration};
}

std::vector<std::int32_t> everyLine()
{
    std::vector<std::int32_t> lines;
    for (int line = 1; line <= lineCount(); ++line)
        lines.push_back(line);
    return lines;
}

void startUp(Ostrel::Service& engine, Escapes& escapes)
{
    guarded("start-up", escapes, [&] { engine.startUp(); });
}

const std::vector<Scenario>& scenarios()
{
    static const std::vector<Scenario> all = {
        {"toggle", togglesStart,
         [](Ostrel::Service& engine, LogGate&, const std::function<void()>& arm, const std::function<void()>& disarm,
            Escapes& escapes) {
             startUp(engine, escapes);
             arm();
             guarded("toggle", escapes, [&] { engine.toggleLines(lineset(everyLine(), "CNT")); });
             disarm();
         }},
        {"overlap", togglesStart,
         [](Ostrel::Service& engine, LogGate& gate, const std::function<void()>& arm,
            const std::function<void()>& disarm, Escapes& escapes) {
             startUp(engine, escapes);
             arm();
             HeldToggle first(engine, gate, lineset({1, 2}, "CNT"), escapes);
             HeldToggle second(engine, gate, lineset({2, 3}, "ALWAYS_ON"), escapes);
             first.finish();
             second.finish();
             disarm();
         }},
        {"revert", togglesStart,
         [](Ostrel::Service& engine, LogGate& gate, const std::function<void()>& arm,
            const std::function<void()>& disarm, Escapes& escapes) {
             startUp(engine, escapes);
             HeldToggle toggle(engine, gate, lineset(everyLine(), "CNT"), escapes);
             arm();
             toggle.finish();
             disarm();
         }},
        {"repair", [] { return repair::cutShort(lineCount()); },
         [](Ostrel::Service& engine, LogGate&, const std::function<void()>& arm, const std::function<void()>& disarm,
            Escapes& escapes) {
             arm();
             startUp(engine, escapes);
             disarm();
         }},
    };
    return all;
}

// --- running ----------------------------------------------------------------------

void removeFiles()
{
    for (const std::string& name :
         {std::string("logger.ini"), std::string(repair::backupName), std::string(repair::backupName) + ".tmp"})
        DeleteFileA(repair::windowsPath(name).c_str());
    removeDamagedBackups(Ostrel::windowsDirectory());
}

void layDown(const repair::CutShort& files)
{
    removeFiles();
    writeFileBytes(repair::windowsPath("logger.ini"), files.ini);
    writeFileBytes(repair::windowsPath(repair::backupName), files.backup);
}

// A run that takes longer than this hangs: nothing in it waits for real.
const boost::chrono::seconds runLimit(120);

struct Outcome {
    std::vector<std::string> escapes;
    repair::Findings found;
};

struct Totals {
    std::size_t faults = 0, calls = 0;
    long linesLost = 0, unparsable = 0, stopped = 0;
    std::size_t failed = 0;
};

void printSummary(const Totals& totals)
{
    std::printf("io faults: %zu (calls %zu), lines lost: %ld, unparsable logger.ini: %ld, service stopped: %ld\n",
                totals.faults, totals.calls, totals.linesLost, totals.unparsable, totals.stopped);
    std::fflush(stdout);
}

// One run of a scenario with the fault armed for its part (target 0: no
// fault), the restart's repair without faults, and the check.
Outcome runOnce(const Scenario& scenario, Injector& injector, LogGate& gate, Fault fault, std::size_t target,
                Totals& totals)
{
    const repair::CutShort start = scenario.files();
    layDown(start);
    gate.clear();
    Escapes escapes;
    boost::thread running([&] {
        {
            Ostrel::Service engine(Ostrel::loggerFilesInWindowsDirectory());
            scenario.run(
                engine, gate, [&] { injector.begin(fault, target); }, [&] { injector.end(); }, escapes);
        }
        Ostrel::Service restarted(Ostrel::loggerFilesInWindowsDirectory());
        guarded("restart", escapes, [&] { restarted.startUp(); });
    });
    if (!running.try_join_for(runLimit)) {
        // The engine no longer does its work, and its thread cannot be
        // ended: the exploration ends here.
        std::fprintf(stderr, "HUNG %s, %s at call %zu; log:\n%s\n", scenario.name, faultName(fault), target,
                     gate.text().c_str());
        std::fflush(stderr);
        ++totals.stopped;
        printSummary(totals);
        std::_Exit(1);
    }
    Outcome outcome;
    outcome.escapes = escapes.all();
    outcome.found = repair::inspect(repair::bySection(repair::ownModesOf(lineCount())), start.ini);
    return outcome;
}

void report(const Scenario& scenario, Fault fault, std::size_t target, const std::string& call, const Outcome& outcome,
            const std::string& log, Totals& totals)
{
    const repair::Findings& f = outcome.found;
    totals.linesLost += f.linesLost;
    totals.unparsable += f.unparsable || f.linesDropped;
    totals.stopped += !outcome.escapes.empty();
    if (f.problem.empty() && outcome.escapes.empty())
        return;
    // The first failures in full, the rest in a line each.
    std::string escaped;
    for (const std::string& e : outcome.escapes)
        escaped += " escaped the engine: " + e + ";";
    std::fprintf(stderr, "FAILED %s, %s at call %zu (%s):%s%s\n", scenario.name, faultName(fault), target, call.c_str(),
                 f.problem.c_str(), escaped.c_str());
    if (++totals.failed <= 3)
        std::fprintf(stderr, "log of that run:\n%s\n", log.c_str());
}

int explore()
{
    deleteConfigurationKey();
    Injector injector;
    LogGate gate;
    Totals totals;
    for (const Scenario& scenario : scenarios()) {
        // The run without faults: its calls are the ones to fail.
        const Outcome clean = runOnce(scenario, injector, gate, Fault::diskFull, 0, totals);
        totals.calls += injector.callCount();
        if (!clean.found.problem.empty() || !clean.escapes.empty()) {
            report(scenario, Fault::diskFull, 0, std::string(), clean, gate.text(), totals);
            continue;
        }
        for (const Fault fault : allFaults) {
            // Until the run has fewer calls the fault can hit than n.
            for (std::size_t n = 1;; ++n) {
                const Outcome outcome = runOnce(scenario, injector, gate, fault, n, totals);
                const boost::optional<std::string> struck = injector.struckCall();
                if (!struck)
                    break;
                ++totals.faults;
                report(scenario, fault, n, *struck, outcome, gate.text(), totals);
            }
        }
    }
    // A call that bypasses the seam would never fail here: each kind must
    // have been seen.
    const std::set<file_call> seen = injector.kindsSeen();
    for (int kind = 0; kind <= static_cast<int>(file_call::move); ++kind) {
        if (!seen.count(static_cast<file_call>(kind))) {
            std::fprintf(stderr, "FAILED the scenarios made no %s call through the seam\n",
                         callName(static_cast<file_call>(kind)));
            ++totals.failed;
        }
    }
    removeFiles();
    printSummary(totals);
    return totals.failed == 0 ? 0 : 1;
}

}  // namespace

int main()
{
    try {
        return explore();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fault_explorer: %s\n", e.what());
        return 1;
    }
}
