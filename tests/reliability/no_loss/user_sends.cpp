#include "user_sends.h"

#include <cstdio>
#include <utility>

namespace km40r::test {

namespace {

// Letters of code page 1254 beyond ASCII, the euro sign, and one character
// outside the code page, with the byte each becomes.
const std::pair<char16_t, char> kLetters[] = {
    {u'ğ', '\xF0'}, {u'Ğ', '\xD0'}, {u'ı', '\xFD'}, {u'İ', '\xDD'}, {u'ş', '\xFE'},
    {u'Ş', '\xDE'}, {u'ü', '\xFC'}, {u'Ü', '\xDC'}, {u'ö', '\xF6'}, {u'Ö', '\xD6'},
    {u'ç', '\xE7'}, {u'Ç', '\xC7'}, {u'€', '\x80'}, {u'ж', '?'},
};

// Characters of a group after '#' that no number is made of: no digit, sign,
// blank, '$' or 'x'.
constexpr char kNoNumber[] = "QWRTYUIOPGHJKLZVNM!?%&*()";
constexpr char kHexDigits[] = "0123456789abcdefABCDEF";

const std::pair<QString, std::string> kStartTexts[] = {
    {QStringLiteral("<BASLA>"), "<BASLA>"},
    {QStringLiteral("#065$41ğ€"), "#065$41\xF0\x80"}, // sent as it stands, no escapes
    {QString(), ""},
    {QStringLiteral("S"), "S"},
};

} // namespace

std::string UserSend::Wire() const {
    return (start ? startBytes : std::string()) + data + (exit ? "<EXIT>" : "");
}

std::string UserSend::SentTextLines() const {
    return (start ? startBytes + "\r\n" : std::string()) + data + "\r\n" +
           (exit ? "<EXIT>\r\n" : "");
}

std::string UserSend::SentHexLine() const {
    std::string out;
    for (const char byte : data) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X-",
                      static_cast<unsigned>(static_cast<unsigned char>(byte)));
        out += cell;
    }
    return out + "\r\n";
}

void SendScript::AddPiece(UserSend& send) {
    const int kind = Below(100);
    if (kind < 40) { // plain ASCII
        const int length = 1 + Below(8);
        for (int i = 0; i < length; ++i) {
            char c;
            do
                c = static_cast<char>(0x20 + Below(0x7F - 0x20));
            while (c == '#' || c == '$');
            send.text += QChar(c);
            send.data += c;
        }
    } else if (kind < 55) { // a letter beyond ASCII
        const auto& [letter, byte] = kLetters[Below(std::size(kLetters))];
        send.text += QChar(letter);
        send.data += byte;
    } else if (kind < 75) { // a decimal escape
        int value;
        char typed[16];
        const int form = Below(3);
        do {
            if (form == 0) {
                value = Below(1000);
                std::snprintf(typed, sizeof typed, "#%03d", value);
            } else if (form == 1) {
                value = -(1 + Below(99));
                std::snprintf(typed, sizeof typed, "#-%02d", -value);
            } else {
                value = Below(100);
                std::snprintf(typed, sizeof typed, "# %02d", value);
            }
        } while ((value & 0xFF) == '$');
        send.text += QLatin1String(typed);
        send.data += send.dec ? std::string(1, static_cast<char>(value & 0xFF)) : typed;
    } else if (kind < 80) { // a '#' before a group that is no number
        std::string typed = "#";
        for (int i = 0; i < 3; ++i)
            typed += kNoNumber[Below(sizeof kNoNumber - 1)];
        send.text += QLatin1String(typed.c_str());
        send.data += typed;
    } else { // a hexadecimal escape
        const char high = kHexDigits[Below(sizeof kHexDigits - 1)];
        const char low = kHexDigits[Below(sizeof kHexDigits - 1)];
        const std::string typed = {'$', high, low};
        send.text += QLatin1String(typed.c_str());
        send.data +=
            send.hex ? std::string(1, static_cast<char>(std::stoi(typed.substr(1), nullptr, 16)))
                     : typed;
    }
}

UserSend SendScript::Next() {
    UserSend send;
    const int way = Below(100);
    send.way = way < 55   ? UserSend::Way::Button
               : way < 75 ? UserSend::Way::EnterKey
                          : UserSend::Way::Macro;
    send.macro = 1 + Below(33);
    send.crlf = Chance(50);
    send.dec = Chance(50);
    send.hex = Chance(50);
    send.start = Chance(40);
    send.exit = Chance(40);
    const auto& [startText, startBytes] = kStartTexts[Below(std::size(kStartTexts))];
    send.startText = startText;
    send.startBytes = startBytes;
    if (count_++ == 0) { // the first: framed, so the device answers during its pauses
        send.way = UserSend::Way::Button;
        send.start = send.exit = true;
        send.startText = kStartTexts[0].first;
        send.startBytes = kStartTexts[0].second;
    }
    const int pieces = Chance(5) ? 200 + Below(200) : Below(13);
    for (int i = 0; i < pieces; ++i)
        AddPiece(send);
    if (send.crlf)
        send.data += "\r\n";
    return send;
}

int SendScript::NextInterval() {
    return Below(21);
}

} // namespace km40r::test
