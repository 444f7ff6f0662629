// Fuzz target: the terminator text format, NextToken and PieceEnd.
//
// The input serves three ways. As a text written to the terminator, the
// result must match a plain model of the rules in serial/terminator.h (the
// bytes, or exactly one of the two documented errors with the terminator it
// leaves). As a terminator, reading its text and writing that text back must
// give the same bytes. As a buffer, PieceEnd must find what a plain search
// finds.
#include "fuzz_check.h"
#include "reference_integer.h"

#include "core/errors.h"
#include "serial/terminator.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

using namespace km40r;
using fuzz::Quote;

namespace {

const std::string kIllegal = "Illegal terminator string.\r"
                             "format : #<asciicode>#<asciicode>#<...>\r"
                             "example: #13#10";
const std::string kEmpty = "Terminator string cannot be empty!";

struct Written {
    std::string terminator;
    std::optional<std::string> error;
};

Written model(std::string_view text) {
    Written w;
    std::string_view rest = text.empty() ? text : text.substr(1);
    while (!rest.empty()) {
        const std::size_t hash = rest.find('#');
        const std::string_view token = rest.substr(0, hash);
        rest = hash == std::string_view::npos ? std::string_view{} : rest.substr(hash + 1);
        const auto value = fuzz::ReferenceInteger(token);
        if (!value)
            return {"\r\n", kIllegal};
        w.terminator += static_cast<char>(static_cast<std::uint32_t>(*value) & 0xFF);
    }
    if (w.terminator.empty())
        w.error = kEmpty;
    return w;
}

Written write(std::string_view text) {
    Written w;
    w.terminator = "old terminator";
    try {
        SetTerminatorText(w.terminator, text);
    } catch (const EComError& e) {
        w.error = e.what();
    }
    return w;
}

std::string describe(const Written& w) {
    return "terminator " + Quote(w.terminator) + (w.error ? " error " + Quote(*w.error) : "");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The input as a text written to the terminator.
    const Written got = write(input);
    const Written expected = model(input);
    FUZZ_CHECK(got.terminator == expected.terminator && got.error == expected.error,
               "text " + Quote(input) + "\n got      " + describe(got) + "\n expected " +
                   describe(expected));
    if (!got.error) {
        const Written again = write(TerminatorText(got.terminator));
        FUZZ_CHECK(!again.error && again.terminator == got.terminator, describe(again));
    }

    // The input as a terminator: its text, and the text written back.
    std::string text;
    for (const char c : input)
        text += "#" + std::to_string(static_cast<unsigned char>(c));
    FUZZ_CHECK(TerminatorText(input) == text, "text of " + Quote(input));
    const Written back = write(text);
    if (input.empty())
        FUZZ_CHECK(back.error == kEmpty && back.terminator.empty(), describe(back));
    else
        FUZZ_CHECK(!back.error && back.terminator == input, describe(back));

    // NextToken cuts the input at '#' into the pieces a plain cut gives (the
    // first 64 cuts, and then the rest at once).
    std::string rest(input);
    for (int tokens = 0; !rest.empty() && tokens < 64; ++tokens) {
        const std::string before = rest;
        const std::string token = NextToken(rest, '#');
        const bool delimited = before.size() > token.size();
        FUZZ_CHECK(before == token + (delimited ? "#" : "") + rest &&
                       before.find('#') == (delimited ? token.size() : std::string::npos),
                   "cut " + Quote(before) + " into " + Quote(token) + " and " + Quote(rest));
    }
    rest.clear();
    FUZZ_CHECK(NextToken(rest, '#').empty() && rest.empty(), "empty text");

    // PieceEnd with the written terminator over the input as a buffer.
    if (!got.error) {
        const std::string_view terminator = got.terminator;
        for (std::size_t from = 0; from <= input.size(); from += 1 + from / 4) {
            std::size_t want = std::string_view::npos;
            for (std::size_t at = from; at + terminator.size() <= input.size(); ++at)
                if (input.substr(at, terminator.size()) == terminator) {
                    want = at + terminator.size();
                    break;
                }
            FUZZ_CHECK(PieceEnd(input, from, terminator) == want,
                       "buffer " + Quote(input) + " from " + std::to_string(from));
        }
    }
    FUZZ_CHECK(PieceEnd(input, 0, "") == std::string_view::npos, "empty terminator");
    return 0;
}
