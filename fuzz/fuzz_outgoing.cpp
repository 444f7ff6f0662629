// Fuzz target: the outgoing text transformation.
//
// The input is the text. Under each of the eight combinations of the three
// options, TransformOutgoing must give exactly what a plain model of the
// rules in core/outgoing.h gives: the same bytes, or a conversion error with
// the same message. The model converts groups with the reference integer
// reading, not with the program's conversion.
#include "fuzz_check.h"
#include "reference_integer.h"

#include "core/errors.h"
#include "core/outgoing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

using namespace km40r;
using fuzz::Quote;

namespace {

struct Failure {
    std::string message;
    bool operator==(const Failure&) const = default;
};
using Outcome = std::variant<std::string, Failure>;

char lowEightBits(std::int32_t value) {
    return static_cast<char>(static_cast<unsigned char>(static_cast<std::uint32_t>(value) % 256));
}

Outcome model(std::string_view typed, OutgoingOptions options) {
    std::string text(typed);
    if (options.crlf)
        text += "\r\n";
    if (options.dec) {
        // '#' with the (up to) three characters after it, when they convert.
        std::string out;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::string_view rest = std::string_view(text).substr(at);
            const std::string_view group = rest.substr(1, 3);
            const auto value = rest.front() == '#' ? fuzz::ReferenceInteger(group) : std::nullopt;
            if (value) {
                out.push_back(lowEightBits(*value));
                at += 1 + group.size();
            } else {
                out.push_back(rest.front());
                at += 1;
            }
        }
        text = out;
    }
    if (options.hex) {
        // '$' and the (up to) two characters after it, which must convert.
        std::string out;
        std::size_t at = 0;
        while (at < text.size()) {
            if (text[at] != '$') {
                out.push_back(text[at++]);
                continue;
            }
            const std::string group = text.substr(at, 3);
            const auto value = fuzz::ReferenceInteger(group);
            if (!value)
                return Failure{fuzz::AsWhat(fuzz::IntegerErrorMessage(group))};
            out.push_back(lowEightBits(*value));
            at += group.size();
        }
        text = out;
    }
    return text;
}

std::string describe(const Outcome& o) {
    if (const auto* bytes = std::get_if<std::string>(&o))
        return "bytes " + Quote(*bytes);
    return "error " + Quote(std::get<Failure>(o).message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int combination = 0; combination < 8; ++combination) {
        const OutgoingOptions options{(combination & 1) != 0, (combination & 2) != 0,
                                      (combination & 4) != 0};
        const Outcome expected = model(text, options);
        Outcome got;
        try {
            got = TransformOutgoing(text, options);
        } catch (const EConvertError& e) {
            got = Failure{e.what()};
        }
        const bool same = got == expected;
        FUZZ_CHECK(same, "text " + Quote(text) + " crlf " + std::to_string(options.crlf) + " dec " +
                             std::to_string(options.dec) + " hex " + std::to_string(options.hex) +
                             "\n got      " + describe(got) + "\n expected " + describe(expected));
    }
    return 0;
}
