#include "logging/ShortFunctionName.h"

#include <cstring>

namespace logging {
namespace {

bool isIdentifierChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool startsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Operator names whose characters would otherwise count as brackets;
// longest first, so that "<<=" is not taken for "<".
const char* const bracketOperators[] = {"()", "[]", "->*", "->", "<<=", ">>=", "<<", ">>", "<=", ">=", "<", ">"};

// Length of an operator's name starting at `at` ("operator", the blanks
// after it and a bracket-like symbol if one follows), or 0 when no operator
// name starts there. A conversion type after "operator " is scanned as usual.
std::size_t operatorNameLength(const char* signature, const char* at)
{
    static const char keyword[] = "operator";
    const std::size_t keywordLength = sizeof keyword - 1;
    if (!startsWith(at, keyword) || isIdentifierChar(at[keywordLength]))
        return 0;
    if (at != signature && isIdentifierChar(at[-1]))
        return 0;
    const char* end = at + keywordLength;
    while (*end == ' ')
        ++end;
    for (const char* symbol : bracketOperators) {
        if (startsWith(end, symbol))
            return static_cast<std::size_t>(end - at) + std::strlen(symbol);
    }
    return static_cast<std::size_t>(end - at);
}

// GCC names a local entity after its enclosing function, parameter list and
// qualifiers included: "f(int) const::<lambda()>". When `open` is the "(" of
// such a list, returns where the "::" after it starts; else null.
const char* localScopeEnd(const char* open)
{
    int depth = 0;
    const char* at = open;
    for (; *at; ++at) {
        if (*at == '(')
            ++depth;
        else if (*at == ')' && --depth == 0)
            break;
    }
    if (!*at)
        return nullptr;
    ++at;
    for (;;) {
        while (*at == ' ')
            ++at;
        const char* qualifier = nullptr;
        for (const char* q : {"const", "volatile", "noexcept", "&&", "&"}) {
            if (startsWith(at, q) && (!isIdentifierChar(q[0]) || !isIdentifierChar(at[std::strlen(q)]))) {
                qualifier = q;
                break;
            }
        }
        if (!qualifier)
            break;
        at += std::strlen(qualifier);
    }
    return startsWith(at, "::") ? at : nullptr;
}

struct Span {
    const char* begin;
    const char* end;
};

// Steps 1-4: where the name starts (after the last blank outside brackets)
// and where it ends (the "(" of the parameter list).
Span findName(const char* signature)
{
    int angle = 0, paren = 0, square = 0;
    const char* start = signature;
    bool inOperatorName = false;  // blanks inside "operator new []" stay
    const char* at = signature;
    while (*at) {
        const bool outside = angle == 0 && paren == 0 && square == 0;
        if (outside) {
            if (const std::size_t length = operatorNameLength(signature, at)) {
                at += length;
                inOperatorName = true;
                continue;
            }
            if (*at == ' ') {
                if (startsWith(at, " [with "))
                    return {start, at};
                if (!inOperatorName)
                    start = at + 1;
                ++at;
                continue;
            }
            if (*at == '(') {
                if (const char* scope = localScopeEnd(at)) {
                    at = scope;
                    inOperatorName = false;
                    continue;
                }
                return {start, at};
            }
        }
        switch (*at) {
        case '<':
            ++angle;
            break;
        case '>':
            if (angle > 0)
                --angle;
            break;
        case '(':
            ++paren;
            break;
        case ')':
            if (paren > 0)
                --paren;
            break;
        case '[':
            ++square;
            break;
        case ']':
            if (square > 0)
                --square;
            break;
        default:
            break;
        }
        ++at;
    }
    return {start, at};
}

// The ">" that closes the "<" at `open`, or `end` when there is none.
const char* matchingAngle(const char* open, const char* end)
{
    int depth = 0;
    for (const char* at = open; at != end; ++at) {
        if (*at == '<')
            ++depth;
        else if (*at == '>' && --depth == 0)
            return at;
    }
    return end;
}

}  // namespace

void writeShortFunctionName(const char* signature, std::ostream& out)
{
    const Span name = findName(signature);
    const char* at = name.begin;
    const char* pending = at;  // start of the text not written yet
    const auto flush = [&](const char* upTo) { out.write(pending, upTo - pending); };
    while (at < name.end) {
        if (const std::size_t length = operatorNameLength(signature, at)) {
            at += length;
            continue;
        }
        if (*at == '(') {
            if (const char* scope = localScopeEnd(at)) {
                flush(at);
                at = pending = scope;
                continue;
            }
        }
        if (*at == '<') {
            flush(at + 1);
            if (startsWith(at, "<lambda"))
                out << "lambda";
            at = matchingAngle(at, name.end);
            pending = at;
            if (at != name.end)
                ++at;
            continue;
        }
        ++at;
    }
    flush(name.end);
}

}  // namespace logging
