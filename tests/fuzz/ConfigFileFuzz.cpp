// libFuzzer target for the INI text model: any bytes either fail to parse
// with a syntax error, or parse into a model whose rendering is CR LF text
// that parses back into the same model and renders to the same bytes.
// Built and run by scripts/fuzz.sh; not part of the test suite.
#include "utillib_configfile/CfgFileSnapshot.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

std::string render(const C_CfgFileSnapshot& snapshot) {
    std::ostringstream out;
    snapshot.writeTo(out);
    return out.str();
}

bool onlyCrLfLineEnds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return text.empty() || text.compare(text.size() - 2, 2, "\r\n") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::stringstream input(std::string(reinterpret_cast<const char*>(data), size));
    C_CfgFileSnapshot first;
    try {
        first.readFrom(input);
    } catch (const Configuration::SyntaxError&) {
        return 0;
    }
    const std::string rendered = render(first);
    if (!onlyCrLfLineEnds(rendered))
        std::abort();
    std::stringstream again(rendered);
    C_CfgFileSnapshot second;
    second.readFrom(again);  // a syntax error here escapes and is reported as a crash
    if (second.sections() != first.sections() || render(second) != rendered)
        std::abort();
    return 0;
}
