// libFuzzer target for the INI text model: any bytes either fail to parse
// with a syntax error, or parse into a model whose rendering is the leading
// text as read followed by CR LF text, and parses back into the same model
// and renders to the same bytes. A
// value replaced in place in the raw bytes must give what the model gives,
// also when the lookup remembers the text it changed, and a rendering must
// be taken for rendered form.
// Built and run by scripts/fuzz.sh; not part of the test suite.
#include "utillib_configfile/CfgFileSnapshot.h"
#include "utillib_configfile/CfgRenderedText.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

std::string render(const C_CfgFileSnapshot& snapshot)
{
    std::ostringstream out;
    snapshot.writeTo(out);
    return out.str();
}

bool onlyCrLfLineEnds(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return text.empty() || text.compare(text.size() - 2, 2, "\r\n") == 0;
}

bool sameValue(const C_CfgRenderedValue& a, const C_CfgRenderedValue& b)
{
    return a.rendered == b.rendered && a.sectionFound == b.sectionFound && a.keyFound == b.keyFound &&
           a.valueBegin == b.valueBegin && a.valueEnd == b.valueEnd && a.sectionEnd == b.sectionEnd;
}

// A lookup kept over all inputs, as the service keeps one, must answer as a
// fresh check does, also on the text its own change left.
C_CfgRenderedLookup keptLookup;

// setRenderedValue on the raw bytes, against the model's setValue; then a
// second change of the result, by the kept lookup and by a fresh check.
void checkInPlaceSet(const std::string& text, const C_CfgFileSnapshot& model, const std::string& section,
                     const std::string& key)
{
    if (!sameValue(keptLookup.find(text, section, key), findRenderedValue(text, section, key)))
        std::abort();
    std::string inPlace = text;
    std::string kept = text;
    const bool set = setRenderedValue(inPlace, section, key, "NEW");
    if (keptLookup.set(kept, section, key, "NEW") != set || kept != inPlace)
        std::abort();
    if (!set)
        return;
    C_CfgFileSnapshot changed = model;
    changed.getSection(section, false).setValue(key, "NEW");
    if (inPlace != render(changed))
        std::abort();
    const bool again = setRenderedValue(inPlace, section, "Other", "x y");
    if (keptLookup.set(kept, section, "Other", "x y") != again || kept != inPlace)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::stringstream input(std::string(reinterpret_cast<const char*>(data), size));
    C_CfgFileSnapshot first;
    try {
        first.readFrom(input);
    } catch (const Configuration::SyntaxError&) {
        return 0;
    }
    const std::string rendered = render(first);
    const std::string& leading = first.leadingText();
    if (rendered.compare(0, leading.size(), leading) != 0 || !onlyCrLfLineEnds(rendered.substr(leading.size())))
        std::abort();
    std::stringstream again(rendered);
    C_CfgFileSnapshot second;
    second.readFrom(again);  // a syntax error here escapes and is reported as a crash
    if (second.sections() != first.sections() || second.leadingText() != leading || render(second) != rendered)
        std::abort();
    if (first.sections().empty())
        return 0;
    if (!findRenderedValue(rendered, first.sections().front().name(), "Mode").rendered)
        std::abort();
    // A section and key taken from the text, so that both are found often.
    const C_CfgFileSection& section = first.sections()[data[0] % first.sections().size()];
    std::string key = "Mode";
    for (const C_CfgFileEntry& entry : section.entries())
        if (entry.isKeyValue)
            key = entry.key;
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkInPlaceSet(text, first, section.name(), key);
    checkInPlaceSet(rendered, first, section.name(), key);
    return 0;
}
