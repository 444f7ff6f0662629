// The sends a user makes in the no-loss suites, and what each must put on
// the wire and in the sent logs.
//
// Principles of operation
//
// A SendScript, made from a seed, gives a sequence of sends: a text, the
// options of the options page (CR LF, the '#' and '$' escapes, the start text
// and "<EXIT>" framing), the start text, and the way the user sends it (the
// "Gönder" button, the Enter key in the input line, or a macro button with
// the text in its edit). The first send is a framed one by the button.
//
// The bytes a send must put on the wire are worked out here, independently
// of the program: the text is built from pieces whose bytes are known on
// their own, with the options already chosen:
//   - plain printable ASCII (never '#' or '$'): itself;
//   - Turkish letters and the euro sign: their code page 1254 bytes, and a
//     character outside the code page: '?';
//   - a decimal escape "#NNN", "#-NN" or "# NN": with the decimal option, one
//     byte, the low 8 bits of the number; without it, itself;
//   - a '#' before three characters that are no number: itself;
//   - a hexadecimal escape "$hh" (either case): with the hexadecimal option,
//     one byte; without it, itself.
// No piece changes the meaning of its neighbours: there is no bare '#' or
// '$', and no decimal escape whose byte is '$' (the hexadecimal step, which
// works on the decimal step's output, would read it as an escape of its
// own). With the CR LF option the bytes end with CR LF; the pieces are all
// whole, so no escape reaches into it.
//
// On the wire an exchange is the start text exactly as typed (code page
// 1254, no escapes), the data bytes, and "<EXIT>", each as the options say.
// The sent-text log shows the start text, the data and "<EXIT>" as lines of
// their own, and the sent hexadecimal log one line per data.
#pragma once

#include <QString>

#include <cstdint>
#include <random>
#include <string>

namespace km40r::test {

struct UserSend {
    enum class Way { Button, EnterKey, Macro };

    Way way = Way::Button;
    int macro = 0; // 1..33, for Way::Macro
    QString text;  // as typed
    bool crlf = false;
    bool dec = false;
    bool hex = false;
    bool start = false;
    bool exit = false;
    QString startText;

    std::string data;       // the text's bytes after the options' transformation
    std::string startBytes; // the start text's code page 1254 bytes

    // Everything the exchange puts on the wire, in order.
    std::string Wire() const;
    // The lines the exchange adds to the sent-text log.
    std::string SentTextLines() const;
    // The line the exchange adds to the sent hexadecimal log.
    std::string SentHexLine() const;
};

class SendScript {
public:
    explicit SendScript(std::uint64_t seed) : rng_(seed ^ 0x5EDD5EDD5EDD5EDDull) {}

    UserSend Next();

    // A pause before the next send, in milliseconds (0 to 20).
    int NextInterval();

private:
    int Below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    bool Chance(int percent) { return Below(100) < percent; }
    void AddPiece(UserSend& send);

    std::mt19937_64 rng_;
    int count_ = 0;
};

} // namespace km40r::test
