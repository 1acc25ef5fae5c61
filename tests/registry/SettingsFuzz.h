#pragma once
// The registry fuzz: random stored configurations (every value of the layout
// with random types, sizes and contents, missing and extra values and
// subkeys, counts up to 2^32-1), each loaded and then taken through
// everything the engine does with settings: the dump, the refusal check,
// the schedule and some hundred polls of a Scheduler over simulated days.
// Nothing of it may throw. The stored configuration is kept in memory and
// can be read by the loader directly (MemorySource) or written into the
// real registry first. No Windows header.
//
// OSTREL_FUZZ_CASES sets the number of cases, OSTREL_SEED the seed (default:
// from the clock; printed, so that a run can be repeated).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "Ostrel/scheduling/FiringLinesets.h"
#include "Ostrel/scheduling/LinesetSchedule.h"
#include "Ostrel/settings/SettingsSource.h"
#include "registry/RegData.h"
#include "scheduler/Scheduler.h"
#include "support/TestInputs.h"

namespace fuzz {

// Registry value types by their numbers (winnt.h), and one no program uses.
enum : std::uint32_t {
    typeNone = 0,
    typeSz = 1,
    typeExpandSz = 2,
    typeBinary = 3,
    typeDword = 4,
    typeDwordBigEndian = 5,
    typeMultiSz = 7,
    typeQword = 11,
    typeUnknown = 0x4F53,
};

struct StoredValue {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

typedef std::map<std::wstring, StoredValue> StoredKey;

// Key 0 is the settings key, key n the subkey of lineset n.
typedef std::map<std::uint32_t, StoredKey> StoredConfiguration;

const wchar_t* const linesetValueNames[] = {
    L"Name",       L"LineMode",     L"Interval",      L"ScheduleMode",  L"DailyHour",       L"DailyMinute",
    L"WeeklyHour", L"WeeklyMinute", L"WeeklyWeekday", L"PeriodicHours", L"PeriodicMinutes", L"PeriodicStartTime",
    L"Lines",
};

// The loader's view of a stored configuration, through the same conversions
// of the stored data that Reg uses.
class MemoryValues final : public Ostrel::SettingsValues {
public:
    explicit MemoryValues(const StoredKey& key) : key(key) {}

    std::int32_t number(const wchar_t* name, std::int32_t def) const override
    {
        const auto found = key.find(name);
        if (found == key.end())
            return def;
        return integerFromData(found->second.data.data(), found->second.data.size()).value_or(def);
    }
    std::u16string text(const wchar_t* name, const std::u16string& def) const override
    {
        const auto found = key.find(name);
        if (found == key.end())
            return def;
        return textFromData<char16_t>(found->second.data.data(), found->second.data.size());
    }

private:
    const StoredKey& key;
};

class MemorySource final : public Ostrel::SettingsSource {
public:
    explicit MemorySource(const StoredConfiguration& stored) : stored(stored) {}

    std::unique_ptr<Ostrel::SettingsValues> open(std::uint32_t lineset) const override
    {
        const auto found = stored.find(lineset);
        if (found == stored.end())
            throw std::runtime_error("Can't open registry key");
        return std::make_unique<MemoryValues>(found->second);
    }

private:
    const StoredConfiguration& stored;
};

// --- random stored configurations -------------------------------------------------

class Generator {
public:
    explicit Generator(std::mt19937& random) : random(random) {}

    StoredConfiguration configuration()
    {
        StoredConfiguration stored;
        const std::uint32_t subkeys = below(7);
        for (std::uint32_t n = 1; n <= subkeys; ++n)
            stored[n] = lineset();
        if (subkeys > 1 && chance(0.15))
            stored.erase(1 + below(subkeys));  // a gap ends the list there
        if (!chance(0.05)) {
            StoredKey& root = stored[0];
            if (!chance(0.05))
                root[L"Count"] = number(countFor(subkeys), chance(0.8));
            if (chance(0.1))
                root[L"Extra"] = text(chance(0.5));
        }
        return stored;
    }

private:
    std::uint32_t below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random); }
    template <class T, std::size_t N>
    T pick(const T (&items)[N])
    {
        return items[below(N)];
    }

    // Around the number of subkeys, or far beyond it.
    std::uint32_t countFor(std::uint32_t subkeys)
    {
        const std::uint32_t counts[] = {0,
                                        1,
                                        subkeys - 1,
                                        subkeys,
                                        subkeys,
                                        subkeys,
                                        subkeys + 1,
                                        subkeys + 5,
                                        0x7FFFFFFF,
                                        0x80000000,
                                        0xFFFFFFFE,
                                        0xFFFFFFFF,
                                        std::uint32_t(random())};
        return pick(counts);
    }

    StoredKey lineset()
    {
        StoredKey key;
        for (const wchar_t* name : linesetValueNames) {
            if (chance(0.12))
                continue;  // missing: the default
            const std::wstring n(name);
            const bool textual = n == L"Name" || n == L"LineMode" || n == L"PeriodicStartTime" || n == L"Lines";
            // Mostly of the type the layout gives, sometimes of another.
            const bool asText = chance(0.85) ? textual : !textual;
            key[n] = asText ? text(chance(0.85), n) : number(edgeNumber(), chance(0.85));
        }
        if (chance(0.1))
            key[L"Unknown"] = number(edgeNumber(), true);
        return key;
    }

    std::uint32_t edgeNumber()
    {
        const std::uint32_t numbers[] = {0,     1,          2,          3,          5,          6,          7,
                                         23,    24,         25,         47,         59,         60,         61,
                                         99,    100,        255,        256,        1439,       1440,       65535,
                                         65536, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFE2};
        return chance(0.8) ? pick(numbers) : std::uint32_t(random());
    }

    // A number stored as 4 bytes of a number's type, or as data of another
    // size or type.
    StoredValue number(std::uint32_t value, bool plain)
    {
        StoredValue v{typeDword, {}};
        for (int i = 0; i < 4; ++i)
            v.data.push_back(std::uint8_t(value >> (8 * i)));
        if (plain)
            return v;
        const std::uint32_t types[] = {typeNone,           typeSz,    typeBinary,  typeDword,
                                       typeDwordBigEndian, typeQword, typeMultiSz, typeUnknown};
        v.type = pick(types);
        v.data.resize(below(9), std::uint8_t(below(256)));
        return v;
    }

    // UTF-16 text stored as REG_SZ data with its NUL, or damaged: no NUL,
    // an odd byte, text after an embedded NUL, another type.
    StoredValue text(bool plain, const std::wstring& name = std::wstring())
    {
        std::u16string units = textFor(name);
        if (!plain && chance(0.3))
            units += u'\0' + textFor(name);
        StoredValue v{typeSz, {}};
        for (char16_t unit : units) {
            v.data.push_back(std::uint8_t(unit));
            v.data.push_back(std::uint8_t(unit >> 8));
        }
        if (plain || chance(0.5))
            v.data.insert(v.data.end(), {0, 0});
        if (!plain) {
            const std::uint32_t types[] = {typeSz, typeExpandSz, typeMultiSz, typeBinary, typeNone, typeDword};
            v.type = pick(types);
            if (chance(0.3))
                v.data.push_back(std::uint8_t(below(256)));
        }
        return v;
    }

    std::u16string textFor(const std::wstring& name)
    {
        const double r = std::uniform_real_distribution<double>()(random);
        if (r < 0.01)
            return huge();
        if (r < 0.06)
            return std::u16string();
        if (name == L"PeriodicStartTime" || r < 0.15)
            return dateTime();
        if (name == L"Lines" || r < 0.25)
            return lineList();
        return units(below(24));
    }

    std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    // Texts the date parser accepts, nearly accepts, or takes past the
    // calendar.
    std::u16string dateTime()
    {
        const char* const fixed[] = {"9999-12-31T24:00:00",
                                     "1400-01-01T-00:00:01",
                                     "2024-01-01T99999999:00:00",
                                     "9999-12-31T23:59:59.999999",
                                     "1400-01-01T00:00:00",
                                     "2024-02-29T12:00:00",
                                     "not-a-date-time",
                                     "+infinity",
                                     "-infinity",
                                     "2014-05-01",
                                     "T",
                                     "-T-",
                                     "2024-01-01T",
                                     "2024-01-01T1",
                                     "1970-01-01T00:00:00"};
        if (chance(0.3))
            return ascii(pick(fixed));
        const int years[] = {0, 1, 1399, 1400, 1970, 2024, 2026, 9999, 10000, 99999, -1};
        const int months[] = {0, 1, 2, 12, 13, -1};
        const int days[] = {0, 1, 28, 29, 30, 31, 32};
        const long long hours[] = {0, 1, 23, 24, 25, -1, 99999999, 2147483647, 2562047788LL, 9223372036854LL};
        const int minutes[] = {0, 30, 59, 60, -1, 1000000};
        const char* const fractions[] = {"", "", ".5", ".000001", ".999999", ".1234567", ".", ".99999999999999999999"};
        char text[160];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%s%02lld:%02d:%02d%s", pick(years), pick(months), pick(days),
                      chance(0.1) ? "-" : "", pick(hours), pick(minutes), pick(minutes), pick(fractions));
        std::u16string result = ascii(text);
        if (chance(0.1))
            result.insert(below(std::uint32_t(result.size())), 1, strangeUnit());
        return result;
    }

    // Comma-separated items: numbers at the edges of 32 bits, signs, blanks,
    // empty items, and strange units between digits.
    std::u16string lineList()
    {
        const char* const items[] = {"1",           "2",           "12",  "-0",         "+5",         " 2",
                                     "3 ",          "0x6",         "3.5", "2147483647", "2147483648", "-2147483648",
                                     "-2147483649", "99999999999", "",    "x",          ";"};
        std::u16string result;
        const std::uint32_t count = below(12);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i)
                result += u',';
            std::u16string item = ascii(pick(items));
            if (!item.empty() && chance(0.1))
                item.insert(below(std::uint32_t(item.size())), 1, strangeUnit());
            result += item;
        }
        return result;
    }

    // Lone surrogates, line breaks, NUL, non-ASCII letters, a comma.
    char16_t strangeUnit()
    {
        const char16_t strange[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, u'\r', u'\n', 0,   0x00E9,
                                    0x4E2D, 0xFFFF, 0xFEFF, u',',   u'T',  u'-',  u':'};
        return pick(strange);
    }

    std::u16string units(std::uint32_t length)
    {
        std::u16string result;
        for (std::uint32_t i = 0; i < length; ++i) {
            const double r = std::uniform_real_distribution<double>()(random);
            if (r < 0.5)
                result += char16_t(0x20 + below(0x5F));
            else if (r < 0.7)
                result += strangeUnit();
            else if (r < 0.8)
                result += u"\xD83D\xDE00";  // a pair: one character outside the BMP
            else
                result += char16_t(below(0x10000));
        }
        return result;
    }

    std::u16string huge()
    {
        std::u16string result = units(64);
        result.resize(20000 + below(60000), chance(0.5) ? u'7' : char16_t(0xD800));
        return result;
    }

    std::mt19937& random;
};

// The stored configuration in a few lines, to repeat a failing case by
// hand: every value's name, type and data (text shortened).
inline std::string describe(const StoredConfiguration& stored)
{
    std::ostringstream text;
    for (const auto& key : stored) {
        text << "[" << (key.first == 0 ? std::string("settings key") : std::to_string(key.first)) << "]\n";
        for (const auto& value : key.second) {
            text << "  " << std::string(value.first.begin(), value.first.end()) << " type " << value.second.type << ", "
                 << value.second.data.size() << " bytes:";
            char byte[4];
            for (std::size_t i = 0; i < value.second.data.size() && i < 24; ++i) {
                std::snprintf(byte, sizeof byte, " %02x", value.second.data[i]);
                text << byte;
            }
            text << "\n";
        }
    }
    return text.str();
}

// --- what the engine does with loaded settings -----------------------------------

using boost::posix_time::ptime;

// Where the simulated clock starts: today, the epoch, and the ends of the
// calendar.
inline ptime startMoment(std::mt19937& random)
{
    using boost::gregorian::date;
    const ptime starts[] = {
        ptime(date(2026, 3, 29), boost::posix_time::hours(1)),
        ptime(date(1970, 1, 1)),
        ptime(date(9999, 12, 24)),
        ptime(date(1400, 1, 1), boost::posix_time::seconds(1)),
        ptime(date(2024, 2, 28), boost::posix_time::hours(23)),
    };
    const ptime start = starts[std::uniform_int_distribution<int>(0, 4)(random)];
    return start +
           boost::posix_time::microseconds(std::uniform_int_distribution<std::int64_t>(0, 86400000000LL)(random));
}

// Takes loaded settings through the dump, the refusal check, the schedule
// and the scheduler's polls. Returns what went wrong, or an empty text;
// exceptions go to the caller.
inline std::string exercise(const boost::shared_ptr<const Ostrel::Settings>& settings, std::mt19937& random)
{
    std::ostringstream dump;
    settings->print(dump);
    if (dump.str().compare(0, 10, "Settings:\n") != 0)
        return "dump without its heading";

    for (const Ostrel::LinesetSettings& lineset : settings->linesets)
        Ostrel::linesetRefusal(lineset);

    ptime now = startMoment(random);
    const Clock clock = [&now] { return now; };
    std::map<const Ostrel::LinesetSettings*, ptime> lastFired;
    std::string fault;
    const auto handler = [&](const boost::shared_ptr<const ScheduleEvent>& due,
                             const boost::shared_ptr<const ScheduleEvent>&) {
        const auto event = boost::dynamic_pointer_cast<const Ostrel::LinesetToggleEvent>(due);
        if (!event) {
            fault = "an event that is no toggle";
            return;
        }
        if (!isLater(now, event->time))
            fault = "an event fired before its moment";
        if (Ostrel::scheduleRefusal(event->lineset->schedule))
            fault = "a refused lineset fired";
        const auto last = lastFired.find(event->lineset.get());
        if (last != lastFired.end() && !isLater(event->time, last->second))
            fault = "a lineset's moment repeated";
        lastFired[event->lineset.get()] = event->time;
    };
    Scheduler scheduler(boost::make_shared<Ostrel::Schedule>(settings, clock), handler, schedulerRetryInterval, clock);
    std::uniform_real_distribution<double> uniform;
    for (int poll = 0; poll < 300 && fault.empty(); ++poll) {
        // Mostly the run loop's quarter second, then minutes and hours:
        // some days pass in a case.
        const double r = uniform(random);
        const double seconds = r < 0.4 ? 0.25 : r < 0.8 ? uniform(random) * 1800 : uniform(random) * 43200;
        now += boost::posix_time::microseconds(std::int64_t(seconds * 1e6));
        scheduler.poll();
    }
    return fault;
}

inline boost::shared_ptr<Ostrel::Settings> loadFromMemory(const StoredConfiguration& stored)
{
    return Ostrel::loadSettings(MemorySource(stored));
}

// How one kind of fuzz case is run: the stored configuration is stored
// (in the registry, say), loaded and checked against the stored content.
struct Target {
    std::function<void(const StoredConfiguration&)> store;
    std::function<boost::shared_ptr<Ostrel::Settings>(const StoredConfiguration&)> load;
    std::function<std::string(const StoredConfiguration&, const Ostrel::Settings&)> check;
};

// Runs the cases: each generated configuration is stored, loaded twice (the
// two loads must be equal, as the settings monitor expects of unchanged
// content), checked and exercised. Prints the figure and fails the test on
// any exception or fault.
inline void run(const char* what, long defaultCases, const Target& target)
{
    const long cases = environmentNumber("OSTREL_FUZZ_CASES", defaultCases);
    const unsigned seed = static_cast<unsigned>(environmentNumber(
        "OSTREL_SEED", long(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7FFFFFFF)));
    std::mt19937 random(seed);
    Generator generator(random);
    long exceptions = 0, faults = 0, linesets = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long c = 0; c < cases; ++c) {
        const StoredConfiguration stored = generator.configuration();
        std::string fault;
        try {
            target.store(stored);
            const boost::shared_ptr<const Ostrel::Settings> loaded = target.load(stored);
            linesets += long(loaded->linesets.size());
            if (*target.load(stored) != *loaded)
                fault = "two loads of the same content differ";
            if (fault.empty())
                fault = target.check(stored, *loaded);
            if (fault.empty())
                fault = exercise(loaded, random);
        } catch (const std::exception& e) {
            ++exceptions;
            ADD_FAILURE() << "case " << c << " (seed " << seed << ") threw: " << e.what();
        }
        if (!fault.empty()) {
            ++faults;
            ADD_FAILURE() << "case " << c << " (seed " << seed << "): " << fault << "\nStored:\n" << describe(stored);
        }
        if (exceptions + faults >= 10)
            break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: cases: %ld, linesets loaded: %ld, exceptions: %ld, faults: %ld, %.1f s (seed %u)\n", what, cases,
                linesets, exceptions, faults, seconds, seed);
}

}  // namespace fuzz
