#include "crash/CrashStates.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <tuple>

namespace crash {

bool operator==(const FileCall& a, const FileCall& b)
{
    return std::tie(a.kind, a.file, a.target, a.position, a.data) ==
           std::tie(b.kind, b.file, b.target, b.position, b.data);
}

std::string describe(const FileCall& call)
{
    switch (call.kind) {
    case FileCall::Write:
        return "write of " + std::to_string(call.data.size()) + " bytes at " + std::to_string(call.position) + " of " +
               call.file;
    case FileCall::Truncate:
        return "truncation of " + call.file + " to " + std::to_string(call.position) + " bytes";
    case FileCall::Flush:
        return "flush of " + call.file;
    case FileCall::Rename:
        return "move of " + call.file + " over " + call.target;
    case FileCall::Remove:
        return "removal of " + call.file;
    }
    return "?";
}

void apply(Files& files, const FileCall& call)
{
    switch (call.kind) {
    case FileCall::Write: {
        std::string& content = files[call.file];
        if (content.size() < call.position + call.data.size())
            content.resize(call.position + call.data.size(), '\0');
        content.replace(call.position, call.data.size(), call.data);
        break;
    }
    case FileCall::Truncate:
        files[call.file].resize(call.position, '\0');
        break;
    case FileCall::Flush:
        break;
    case FileCall::Rename: {
        const auto moved = files.find(call.file);
        if (moved == files.end())
            throw std::runtime_error("trace moves " + call.file + ", which does not exist");
        files[call.target] = moved->second;
        files.erase(call.file);
        break;
    }
    case FileCall::Remove:
        files.erase(call.file);
        break;
    }
}

// --- reading strace's text ----------------------------------------------------

namespace {

std::runtime_error unreadable(const std::string& line, const std::string& why)
{
    return std::runtime_error("trace line not understood (" + why + "): " + line.substr(0, 300));
}

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A C string literal as strace prints it (with -x: \xHH for bytes that are
// not printable ASCII, plus the usual backslash escapes and octal ones).
// A literal cut short by -s ends in "..." and is refused.
std::string decodeString(const std::string& literal, const std::string& line)
{
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"')
        throw unreadable(line, "string argument cut short or missing; raise strace -s");
    std::string bytes;
    for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
        const char c = literal[i];
        if (c != '\\') {
            bytes += c;
            continue;
        }
        const char e = literal[++i];
        switch (e) {
        case 'n':
            bytes += '\n';
            break;
        case 'r':
            bytes += '\r';
            break;
        case 't':
            bytes += '\t';
            break;
        case 'v':
            bytes += '\v';
            break;
        case 'f':
            bytes += '\f';
            break;
        case 'x':
            bytes += static_cast<char>(std::strtoul(literal.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
            break;
        default:
            if (e >= '0' && e <= '7') {
                std::size_t digits = 1;
                while (digits < 3 && literal[i + digits] >= '0' && literal[i + digits] <= '7')
                    ++digits;
                bytes += static_cast<char>(std::strtoul(literal.substr(i, digits).c_str(), nullptr, 8));
                i += digits - 1;
            } else {
                bytes += e;  // \\ and \"
            }
        }
    }
    return bytes;
}

// The arguments between the call's parentheses, split at the commas that
// are outside strings and brackets; `end` is left on the closing ")".
std::vector<std::string> splitArguments(const std::string& text, std::size_t& end, const std::string& line)
{
    std::vector<std::string> arguments;
    std::string current;
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            current += c;
            if (c == '\\')
                current += text[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if (c == ']' || c == '}' || c == '>') {
            --depth;
        } else if (c == ')') {
            if (depth == 0) {
                arguments.push_back(current);
                end = i;
                return arguments;
            }
            --depth;
        } else if (c == ',' && depth == 0) {
            arguments.push_back(current);
            current.clear();
            if (i + 1 < text.size() && text[i + 1] == ' ')
                ++i;
            continue;
        }
        current += c;
    }
    throw unreadable(line, "no end of the argument list");
}

struct Descriptor {
    long number = -1;
    std::string file;  // base name of the path strace shows for it
};

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A descriptor of a file that has lost its name since it was opened (a
// backup replaced by the move of its successor) names no file: what is done
// through it changes no file a crash leaves behind. strace shows it as
// "N</path (deleted)>" or, in newer versions, "N</path>(deleted)".
Descriptor descriptor(std::string argument, const std::string& line)
{
    const bool deletedAfter = endsWith(argument, ">(deleted)");
    if (deletedAfter)
        argument.resize(argument.size() - std::string("(deleted)").size());
    const auto open = argument.find('<');
    if (open == std::string::npos || argument.back() != '>')
        throw unreadable(line, "descriptor without its path; strace needs -y");
    Descriptor d;
    d.number = std::strtol(argument.substr(0, open).c_str(), nullptr, 10);
    const std::string path = decodeString('"' + argument.substr(open + 1, argument.size() - open - 2) + '"', line);
    if (!deletedAfter && !endsWith(path, " (deleted)"))
        d.file = baseName(path);
    return d;
}

std::uint64_t number(const std::string& argument)
{
    return std::strtoull(argument.c_str(), nullptr, 10);
}

struct TimedCall {
    std::int64_t microseconds;  // time of the call's start
    std::size_t order;          // place among all lines read, for equal times
    FileCall call;
};

// One trace file's calls, with the position of each descriptor kept.
class TraceReader {
public:
    TraceReader(const std::set<std::string>& watched, std::vector<TimedCall>& out, std::size_t& order)
        : watched(watched), out(out), order(order)
    {
    }

    void line(const std::string& text)
    {
        // "PID SECONDS.MICROS rest"; strace pads the process id with blanks.
        const auto space1 = text.find(' ');
        const auto stampBegin = text.find_first_not_of(' ', space1);
        const auto space2 = text.find(' ', stampBegin);
        if (space1 == std::string::npos || space2 == std::string::npos)
            return;
        const std::string pid = text.substr(0, space1);
        const std::string stamp = text.substr(stampBegin, space2 - stampBegin);
        const auto dot = stamp.find('.');
        if (dot == std::string::npos)
            throw unreadable(text, "no -ttt time stamp");
        const std::int64_t micros = std::strtoll(stamp.substr(0, dot).c_str(), nullptr, 10) * 1000000 +
                                    std::strtoll(stamp.substr(dot + 1).c_str(), nullptr, 10);
        std::string rest = text.substr(space2 + 1);

        const std::string unfinished = " <unfinished ...>";
        if (rest.size() > unfinished.size() &&
            rest.compare(rest.size() - unfinished.size(), unfinished.size(), unfinished) == 0) {
            pending[pid] = {micros, rest.substr(0, rest.size() - unfinished.size())};
            return;
        }
        if (rest.compare(0, 5, "<... ") == 0) {
            const auto resumed = rest.find(" resumed>");
            const auto started = pending.find(pid);
            if (resumed == std::string::npos || started == pending.end())
                throw unreadable(text, "resumed call that never started");
            rest = started->second.second + rest.substr(resumed + 9);
            const std::int64_t start = started->second.first;
            pending.erase(started);
            call(pid, start, rest, text);
            return;
        }
        call(pid, micros, rest, text);
    }

private:
    void call(const std::string& pid, std::int64_t micros, const std::string& rest, const std::string& text)
    {
        const auto paren = rest.find('(');
        if (paren == std::string::npos || rest.compare(0, 3, "+++") == 0 || rest.compare(0, 3, "---") == 0)
            return;
        const std::string name = rest.substr(0, paren);
        std::size_t end = 0;
        const std::string inner = rest.substr(paren + 1);
        const std::vector<std::string> args = splitArguments(inner, end, text);
        const auto equals = inner.find("= ", end);
        if (equals == std::string::npos)
            throw unreadable(text, "no result");
        const long long result = std::strtoll(inner.c_str() + equals + 2, nullptr, 10);
        if (result < 0)
            return;  // failed: changed nothing

        FileCall c;
        if (name == "write" || name == "pwrite64") {
            const Descriptor d = descriptor(args.at(0), text);
            c.kind = FileCall::Write;
            c.file = d.file;
            c.data = decodeString(args.at(1), text).substr(0, static_cast<std::size_t>(result));
            std::uint64_t& position = positions[{pid, d.number}];
            if (name == "write") {
                c.position = position;
                position += static_cast<std::uint64_t>(result);
            } else {
                c.position = number(args.at(3));
            }
        } else if (name == "read") {
            positions[{pid, descriptor(args.at(0), text).number}] += static_cast<std::uint64_t>(result);
            return;
        } else if (name == "lseek") {
            positions[{pid, descriptor(args.at(0), text).number}] = static_cast<std::uint64_t>(result);
            return;
        } else if (name == "close") {
            positions.erase({pid, descriptor(args.at(0), text).number});
            return;
        } else if (name == "ftruncate") {
            c.kind = FileCall::Truncate;
            c.file = descriptor(args.at(0), text).file;
            c.position = number(args.at(1));
            // The wineserver lengthens a file, or sets its present length,
            // by writing one zero byte at the new end and cutting the file
            // back to it, within one request: together they are the single
            // SetEndOfFile the program made.
            if (!mine.empty() && mine.back().second == pid) {
                const FileCall& previous = out[mine.back().first].call;
                if (previous.kind == FileCall::Write && previous.file == c.file && previous.position == c.position &&
                    previous.data == std::string(1, '\0')) {
                    out[mine.back().first].call = c;
                    return;
                }
            }
        } else if (name == "fsync" || name == "fdatasync") {
            c.kind = FileCall::Flush;
            c.file = descriptor(args.at(0), text).file;
        } else if (name == "rename" || name == "renameat" || name == "renameat2") {
            const bool at = name != "rename";
            c.kind = FileCall::Rename;
            c.file = baseName(decodeString(args.at(at ? 1 : 0), text));
            c.target = baseName(decodeString(args.at(at ? 3 : 1), text));
            if (!watched.count(c.target)) {
                c.kind = FileCall::Remove;  // gone from the watched names
                c.target.clear();
            } else if (!watched.count(c.file)) {
                throw unreadable(text, "a file of unknown content moved over a watched one");
            }
        } else if (name == "unlink" || name == "unlinkat") {
            c.kind = FileCall::Remove;
            c.file = baseName(decodeString(args.at(name == "unlinkat" ? 1 : 0), text));
        } else {
            return;  // opens, status queries, locks: no change of content
        }
        if (!watched.count(c.file))
            return;
        mine.emplace_back(out.size(), pid);
        out.push_back({micros, order++, c});
    }

    const std::set<std::string>& watched;
    std::vector<TimedCall>& out;
    std::size_t& order;
    std::map<std::string, std::pair<std::int64_t, std::string>> pending;  // by pid: start, text so far
    std::map<std::pair<std::string, long>, std::uint64_t> positions;      // by pid and descriptor
    std::vector<std::pair<std::size_t, std::string>> mine;                // this trace's calls in out, and pid
};

}  // namespace

std::vector<FileCall> callsFromTraces(const std::vector<std::string>& traces, const std::set<std::string>& watched)
{
    std::vector<TimedCall> timed;
    std::size_t order = 0;
    for (const std::string& trace : traces) {
        TraceReader reader(watched, timed, order);
        std::size_t begin = 0;
        while (begin < trace.size()) {
            std::size_t end = trace.find('\n', begin);
            if (end == std::string::npos)
                end = trace.size();
            if (end > begin)
                reader.line(trace.substr(begin, end - begin));
            begin = end + 1;
        }
    }
    std::sort(timed.begin(), timed.end(), [](const TimedCall& a, const TimedCall& b) {
        return std::tie(a.microseconds, a.order) < std::tie(b.microseconds, b.order);
    });
    std::vector<FileCall> calls;
    for (const TimedCall& t : timed)
        calls.push_back(t.call);
    return calls;
}

// --- crash states ----------------------------------------------------------------

namespace {

const int absent = -1;

// Every content a file takes is stored once and named by a number, so that
// states are compared as lists of numbers.
class Contents {
public:
    int id(const Files& files, const std::string& name)
    {
        const auto found = files.find(name);
        if (found == files.end())
            return absent;
        const auto known = ids.emplace(found->second, static_cast<int>(texts.size()));
        if (known.second)
            texts.push_back(found->second);
        return known.first->second;
    }
    const std::string& text(int id) const { return texts[static_cast<std::size_t>(id)]; }

private:
    std::map<std::string, int> ids;
    std::vector<std::string> texts;
};

// A file's content on disk after each number of its unflushed calls: the
// first entry is what is durable, the last what the program sees.
using Prefixes = std::vector<int>;

}  // namespace

CrashStates crashStates(const Files& before, const std::vector<FileCall>& calls)
{
    Contents contents;
    std::map<std::string, Prefixes> disk;
    Files seen = before;  // as the program sees them
    for (const auto& file : before)
        disk[file.first] = {contents.id(seen, file.first)};

    CrashStates result;
    std::set<std::map<std::string, int>> known;
    const auto add = [&](std::map<std::string, int> key, std::vector<CrashStates::State>& to, const std::string& how) {
        for (auto file = key.begin(); file != key.end();)
            file = file->second == absent ? key.erase(file) : std::next(file);
        if (!known.insert(key).second)
            return;
        CrashStates::State state;
        for (const auto& file : key)
            state.files[file.first] = contents.text(file.second);
        state.how = how;
        to.push_back(state);
    };

    const auto record = [&](const std::string& after) {
        std::map<std::string, int> kill;
        std::vector<std::string> names;
        for (const auto& file : disk) {
            kill[file.first] = file.second.back();
            names.push_back(file.first);
        }
        add(kill, result.kill, "kill " + after);
        // Every combination of kept prefixes, one per file (an odometer).
        std::vector<std::size_t> kept(names.size(), 0);
        for (;;) {
            std::map<std::string, int> power;
            std::string lost;
            for (std::size_t i = 0; i < names.size(); ++i) {
                const Prefixes& prefixes = disk[names[i]];
                power[names[i]] = prefixes[kept[i]];
                const std::size_t dropped = prefixes.size() - 1 - kept[i];
                if (dropped > 0)
                    lost += ", " + names[i] + " loses its last " + std::to_string(dropped) + " unflushed call(s)";
            }
            if (!lost.empty())
                add(power, result.power, "power cut " + after + lost);
            std::size_t i = 0;
            while (i < names.size() && ++kept[i] == disk[names[i]].size())
                kept[i++] = 0;
            if (i == names.size())
                break;
        }
    };

    record("before the first change");
    for (std::size_t n = 0; n < calls.size(); ++n) {
        const FileCall& call = calls[n];
        apply(seen, call);
        switch (call.kind) {
        case FileCall::Write:
        case FileCall::Truncate:
        case FileCall::Remove: {
            Prefixes& prefixes = disk[call.file];
            if (prefixes.empty())
                prefixes.push_back(absent);
            prefixes.push_back(contents.id(seen, call.file));
            break;
        }
        case FileCall::Flush:
            disk[call.file] = {contents.id(seen, call.file)};
            break;
        case FileCall::Rename:
            disk[call.target] = disk[call.file];
            disk[call.file] = {absent};
            break;
        }
        record("after call " + std::to_string(n + 1) + " (" + describe(call) + ")");
    }
    return result;
}

}  // namespace crash
