// The registry fuzz on the portable side: stored configurations fed to the
// loader from memory, through the conversions Reg uses (SettingsFuzz.h).
// scripts/bench.sh --long runs it with 100,000 cases.

#include "registry/SettingsFuzz.h"

namespace {

// What the loader must make of the stored content, whatever it is: the
// linesets up to Count or the first missing subkey, and start times that
// the calendar can show.
std::string checkMemoryLoad(const fuzz::StoredConfiguration& stored, const Ostrel::Settings& loaded)
{
    std::uint32_t expected = 0;
    const auto root = stored.find(0);
    if (root != stored.end()) {
        const auto count = root->second.find(L"Count");
        const std::uint32_t limit =
            count == root->second.end()
                ? 0
                : std::uint32_t(integerFromData(count->second.data.data(), count->second.data.size()).value_or(0));
        while (expected < limit && stored.count(expected + 1))
            ++expected;
    }
    if (loaded.linesets.size() != expected)
        return "not the linesets up to Count or the first gap";
    for (const Ostrel::LinesetSettings& lineset : loaded.linesets)
        if (lineset.schedule.periodicStartTime.is_special())
            return "a start time that is no moment";
    return std::string();
}

TEST(SettingsFuzz, NoStoredContentThrowsOrFiresWhatItShouldNot)
{
    fuzz::run("settings fuzz (memory)", 1500,
              {[](const fuzz::StoredConfiguration&) {}, fuzz::loadFromMemory, checkMemoryLoad});
}

}  // namespace
