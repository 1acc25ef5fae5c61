// Reg against the real registry: every value kind, its default, and the
// malformed data that the program must read as the default.

#include "registry/Reg.h"
#include "registry/RegWatch.h"

#include <stdexcept>
#include <system_error>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/RegistryFixture.h"

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
namespace dt = boost::date_time;

namespace {

// Reg on the configuration key, in the view the service reads it from.
const std::wstring keyPath = configurationKeyName(L"");
constexpr REGSAM readAccess = KEY_READ | Ostrel::settingsKeyView;
constexpr REGSAM allAccess = KEY_ALL_ACCESS | Ostrel::settingsKeyView;

class RegTest : public RegistryFixture {};

// Open and create are chosen by name, never by the rights asked for: an
// open for writing must not create the key, a create for reading must.
TEST_F(RegTest, OpenNeedsAnExistingKeyAndCreateMakesAMissingOneWhateverTheRights)
{
    for (const REGSAM access : {readAccess, allAccess}) {
        SCOPED_TRACE(access == readAccess ? "read access" : "all access");
        deleteConfigurationKey();
        try {
            Reg::open(HKEY_LOCAL_MACHINE, keyPath, access);
            FAIL() << "opened a missing key";
        } catch (const RegOpenError& e) {
            EXPECT_STREQ(e.what(), "Can't open registry key");
            EXPECT_EQ(e.code(), std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));
        }
        Reg::create(HKEY_LOCAL_MACHINE, keyPath, access);
        EXPECT_NO_THROW(Reg::open(HKEY_LOCAL_MACHINE, keyPath, access));
        EXPECT_NO_THROW(Reg::create(HKEY_LOCAL_MACHINE, keyPath, access));  // an existing key is opened
    }
}

// The settings loader takes a failed open for a missing key through
// std::runtime_error; the key also stays usable when moved.
TEST_F(RegTest, AnOpenFailureIsARuntimeErrorAndAMovedKeyStillReads)
{
    EXPECT_THROW(Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess), std::runtime_error);
    setDword(L"", L"Count", 3);
    Reg moved = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    Reg key = std::move(moved);
    EXPECT_EQ(key.read(L"Count", std::int32_t(0)), 3);
    moved = std::move(key);
    EXPECT_EQ(moved.read(L"Count", std::int32_t(0)), 3);
}

TEST_F(RegTest, TheViewFlagSelectsWhichKeyIsOpened)
{
    const std::wstring path = keyPath;
    {
        Reg::create(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    }
    EXPECT_THROW(Reg::open(HKEY_LOCAL_MACHINE, path, readAccess), RegOpenError);
    EXPECT_NO_THROW(Reg::open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WOW64_64KEY));
    deleteConfigurationKey(L"", KEY_WOW64_64KEY);
}

// The settings read opens lineset subkeys below the open settings key and
// learns which to open from one listing of their last write times: each
// time must be the one the subkey itself reports, a write must move it, and
// only existing subkeys are listed, by their exact names.
TEST_F(RegTest, SubkeysOpenBelowAnOpenKeyAndAreListedWithTheirLastWriteTimes)
{
    Reg parent = Reg::create(HKEY_LOCAL_MACHINE, keyPath, allAccess);
    EXPECT_TRUE(parent.subkeysWritten().empty());
    for (const wchar_t* name : {L"1", L"2", L"10", L"a b"})
        Reg::create(HKEY_LOCAL_MACHINE, keyPath + L"\\" + name, allAccess).write(L"Value", std::int32_t(1));
    Sleep(50);  // past the registry clock's tick
    Reg::open(parent, L"2", allAccess).write(L"Value", std::int32_t(2));

    const auto listed = parent.subkeysWritten();
    std::vector<std::wstring> names;
    for (const auto& entry : listed) {
        names.push_back(entry.first);
        EXPECT_EQ(entry.second, Reg::open(parent, entry.first, readAccess).lastWriteTime()) << entry.first.c_str();
        EXPECT_NE(entry.second, 0u);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"1", L"10", L"2", L"a b"}));
    EXPECT_GT(listed.at(L"2"), listed.at(L"10"));

    EXPECT_EQ(Reg::open(parent, L"2", readAccess).read(L"Value", std::int32_t(0)), 2);
    EXPECT_THROW(Reg::open(parent, L"3", readAccess), RegOpenError);
    // An empty name is the parent once more.
    parent.write(L"Count", std::int32_t(4));
    EXPECT_EQ(Reg::open(parent, L"", readAccess).read(L"Count", std::int32_t(0)), 4);
}

TEST_F(RegTest, IntegerReadsTheStoredValueOrTheDefault)
{
    setDword(L"", L"Five", 5);
    setDword(L"", L"AllOnes", 0xFFFFFFFF);
    const std::uint8_t twoBytes[] = {0x34, 0x12};
    setRaw(L"", L"Short", REG_BINARY, twoBytes, sizeof twoBytes);
    setString(L"", L"LongString", L"12345");
    Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    EXPECT_EQ(key.read(L"Five", 9), 5);
    EXPECT_EQ(key.read(L"AllOnes", 9), -1);
    EXPECT_EQ(key.read(L"Short", 9), 0x1234);  // shorter data fills the low bytes
    EXPECT_EQ(key.read(L"LongString", 9), 9);  // more than 4 bytes
    EXPECT_EQ(key.read(L"Missing", 9), 9);
}

TEST_F(RegTest, BooleanIsAnyNonZeroInteger)
{
    setDword(L"", L"Zero", 0);
    setDword(L"", L"Seven", 7);
    Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    EXPECT_FALSE(key.read(L"Zero", true));
    EXPECT_TRUE(key.read(L"Seven", false));
    EXPECT_TRUE(key.read(L"Missing", true));
    EXPECT_FALSE(key.read(L"Missing", false));
}

TEST_F(RegTest, WeekdaysAreNumberedFromMondayInTheRegistry)
{
    const struct {
        std::uint32_t stored;
        dt::weekdays expected;
    } cases[] = {
        {0, dt::Monday},      {1, dt::Tuesday},
        {2, dt::Wednesday},   {3, dt::Thursday},
        {4, dt::Friday},      {5, dt::Saturday},
        {6, dt::Sunday},      {7, dt::Wednesday},
        {256, dt::Wednesday}, {0xFFFFFFFF, dt::Wednesday},  // out of range: the default
    };
    for (const auto& c : cases) {
        setDword(L"", L"Day", c.stored);
        Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
        EXPECT_EQ(key.read(L"Day", dt::Wednesday), c.expected) << "stored " << c.stored;
    }
    Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    EXPECT_EQ(key.read(L"Missing", dt::Friday), dt::Friday);
}

TEST_F(RegTest, WeekdayWritesRoundTripThroughTheRegistryNumbering)
{
    Reg key = Reg::create(HKEY_LOCAL_MACHINE, keyPath, allAccess);
    for (int day = 0; day < 7; ++day) {
        key.write(L"Day", static_cast<dt::weekdays>(day));
        EXPECT_EQ(key.read(L"Day", std::int32_t(-1)), (day + 6) % 7);
        EXPECT_EQ(key.read(L"Day", dt::Monday), day);
    }
}

TEST_F(RegTest, StringsReadUpToTheirFirstNulOrTheirEnd)
{
    const wchar_t noNul[] = {L'a', L'b', L'c'};
    const wchar_t embedded[] = {L'x', L'\0', L'y', L'\0'};
    setRaw(L"", L"NoNul", REG_SZ, noNul, sizeof noNul);
    setRaw(L"", L"Embedded", REG_SZ, embedded, sizeof embedded);
    setRaw(L"", L"Empty", REG_SZ, nullptr, 0);
    setString(L"", L"Plain", L"Night shift");
    setDword(L"", L"Number", 0x00420041);  // read as a string regardless of its type
    Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    EXPECT_EQ(key.read(L"NoNul", L"def"), L"abc");
    EXPECT_EQ(key.read(L"Embedded", L"def"), L"x");
    EXPECT_EQ(key.read(L"Empty", L"def"), L"");
    EXPECT_EQ(key.read(L"Plain", L"def"), L"Night shift");
    EXPECT_EQ(key.read(L"Number", L"def"), L"AB");
    EXPECT_EQ(key.read(L"Missing", L"def"), L"def");
}

TEST_F(RegTest, DateAndTimeReadsIsoExtendedTextOnly)
{
    const ptime def = boost::posix_time::from_time_t(0);
    const struct {
        const wchar_t* text;
        ptime expected;
    } cases[] = {
        {L"2014-05-01T06:30:00", time_from_string("2014-05-01 06:30:00")},
        {L"2014-05-01T06:30:00.500000", time_from_string("2014-05-01 06:30:00.5")},
        {L"2014-05-01", def},  // no time part
        {L"evening", def},     // no date
        {L"", def},
        {L"2014-13-01T06:30:00", def},  // no such month
        // Parsed, but past the calendar: printing them would throw.
        {L"9999-12-31T24:00:00", def},
        {L"1400-01-01T-00:00:01", def},
        {L"2024-01-01T99999999:00:00", def},
        {L"9999-12-31T23:59:59.999999", time_from_string("9999-12-31 23:59:59.999999")},
        {L"1400-01-01T00:00:00", time_from_string("1400-01-01 00:00:00")},
    };
    for (const auto& c : cases) {
        setString(L"", L"Start", c.text);
        Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
        EXPECT_EQ(key.read(L"Start", def), c.expected) << std::string(c.text, c.text + wcslen(c.text));
    }
    Reg key = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    EXPECT_EQ(key.read(L"Missing", def), def);
}

TEST_F(RegTest, WritesStoreTheDocumentedTypesAndSizes)
{
    Reg key = Reg::create(HKEY_LOCAL_MACHINE, keyPath, allAccess);
    key.write(L"Int", std::int32_t(-2));
    key.write(L"Flag", true);
    key.write(L"Text", L"CNT");
    key.write(L"Bytes", std::vector<std::uint8_t>{1, 2, 3});
    key.write(L"When", time_from_string("2014-05-01 06:30:00"));

    HKEY opened;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, readAccess, &opened), ERROR_SUCCESS);
    const RegKey raw(opened);
    const struct {
        const wchar_t* name;
        DWORD type;
        DWORD size;
    } expected[] = {
        {L"Int", REG_DWORD, 4},    {L"Flag", REG_DWORD, 4},   {L"Text", REG_SZ, 8},
        {L"Bytes", REG_BINARY, 3}, {L"When", REG_SZ, 2 * 20},
    };
    for (const auto& e : expected) {
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExW(raw.get(), e.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(size, e.size);
    }
    EXPECT_EQ(key.read(L"Int", 0), -2);
    EXPECT_EQ(key.read(L"Flag", 0), 1);
    EXPECT_EQ(key.read(L"When", L""), L"2014-05-01T06:30:00");
}

TEST_F(RegTest, AFailedWriteThrowsCantSetTheKeyWithItsCodeAndIsNoRuntimeError)
{
    Reg::create(HKEY_LOCAL_MACHINE, keyPath, allAccess);
    Reg readOnly = Reg::open(HKEY_LOCAL_MACHINE, keyPath, readAccess);
    try {
        readOnly.write(L"Count", std::int32_t(1));
        FAIL() << "wrote through a read-only key";
    } catch (const std::runtime_error&) {
        FAIL() << "a write failure must not look like a missing key";
    } catch (const RegWriteError& e) {
        EXPECT_STREQ(e.what(), "Can't set the key");
        EXPECT_EQ(e.code(), std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
    }
}

// A deleted key tells no watcher of its own (Wine's registry, like
// Windows', only touches the key above it), so a watch armed on the key just
// before its deletion must still be woken, and then see it created again.
TEST_F(RegTest, AWatchArmedOnTheKeyIsWokenByItsDeletionAndItsReturn)
{
    Reg::create(HKEY_LOCAL_MACHINE, keyPath, allAccess);
    RegWatch watch(HKEY_LOCAL_MACHINE, keyPath, Ostrel::settingsKeyView);
    const DWORD patience = 10000;  // a notification comes within milliseconds
    const auto armedAndQuiet = [&] {
        watch.arm();
        return WaitForSingleObject(watch.event(), 0) == WAIT_TIMEOUT;
    };
    ASSERT_TRUE(armedAndQuiet());
    deleteConfigurationKey();
    EXPECT_EQ(WaitForSingleObject(watch.event(), patience), WAIT_OBJECT_0) << "deletion of the watched key unseen";
    ASSERT_TRUE(armedAndQuiet());
    setDword(L"", L"Count", 0);
    EXPECT_EQ(WaitForSingleObject(watch.event(), patience), WAIT_OBJECT_0) << "the key created again unseen";
    ASSERT_TRUE(armedAndQuiet());
    setDword(L"1", L"Interval", 5);
    EXPECT_EQ(WaitForSingleObject(watch.event(), patience), WAIT_OBJECT_0) << "a value below the key unseen";
}

}  // namespace
