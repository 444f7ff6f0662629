// The simulated device: its settings and how it answers the bytes it receives.
//
// Principles of operation:
//   - A SettingStore holds one value per setting, keyed by group code and
//     setting code (code page 1254 bytes, compared byte for byte). Built from a
//     catalogue, it knows exactly the catalogue's settings: a list setting
//     ("tur" is "Combo") starts with the value of its first choice (the text
//     before the first ":", trimmed, as the program's editor sends it), any
//     other setting starts empty. Built without a catalogue it accepts every
//     code and creates the setting, empty, on first use.
//   - A DeviceSession is one connection's view of the device: it takes the
//     received bytes in whatever pieces they arrive, keeps what does not yet
//     form a whole unit, and turns every whole unit into one Exchange with the
//     bytes to answer. Units are the start text, "<EXIT>", and commands from
//     "<" to ">". Bytes 0..32 (blanks, CR, LF, control characters) between
//     units are skipped. Any other text outside a command runs up to the next
//     "<", CR or LF and is answered as an error.
//   - The answers are this simulator's own convention, one line each ending
//     in CR LF (see kReply* below):
//         <OKU,g,a,>     ->  <OK,g,a,value>
//         <YAZ,g,a,v>    ->  <OK,g,a,v>        (v stored; it may hold commas)
//         start text     ->  <OK,START>
//         <EXIT>         ->  <OK,EXIT>
//         g,a unknown    ->  <ERR,UNKNOWN,g,a>
//         anything else  ->  <ERR,SYNTAX>
//     A command left open when a new "<" arrives, or longer than
//     kMaxUnitLength without its ">", is an error and is dropped, so a
//     stream of garbage never grows the buffer without bound.
//   - The session remembers whether it is between a start text and "<EXIT>"
//     only to describe it; commands are answered the same either way.
#pragma once

#include "catalogue/catalogue.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace km40r::sim {

// The start text the program sends by default.
inline constexpr std::string_view kDefaultStartText = "<BASLA>";
// The text that ends an exchange.
inline constexpr std::string_view kExitText = "<EXIT>";
// The longest unit (command or text outside commands) kept while waiting for
// its end.
inline constexpr std::size_t kMaxUnitLength = 4096;

inline constexpr std::string_view kReplyStart = "<OK,START>\r\n";
inline constexpr std::string_view kReplyExit = "<OK,EXIT>\r\n";
inline constexpr std::string_view kReplySyntax = "<ERR,SYNTAX>\r\n";

// "<OK,g,a,value>\r\n", the answer to a read or a write.
std::string ReplyValue(std::string_view group, std::string_view setting, std::string_view value);
// "<ERR,UNKNOWN,g,a>\r\n", the answer for a setting the device does not have.
std::string ReplyUnknown(std::string_view group, std::string_view setting);

// The value a catalogue row's setting starts with: for "tur" exactly "Combo",
// the first item of "combo" (after removing "<" and ">", trimming, and
// cutting at commas; a leading double quote opens a quoted item with doubled
// quotes inside) up to its first ":", trimmed; otherwise empty.
std::string InitialValue(const CatalogueRecord& record);

struct Setting {
    std::string value;
    std::string description; // the catalogue's "aciklama" (1254), empty without one
};

class SettingStore {
public:
    // A store that accepts every code; values start empty.
    SettingStore() = default;
    // A store with exactly the catalogue's settings. When a group and setting
    // code occur twice, the first row counts.
    explicit SettingStore(const std::vector<CatalogueRecord>& records);

    // True when the store accepts every code (built without a catalogue).
    bool acceptsAnyCode() const { return acceptsAnyCode_; }
    // The number of settings held now.
    std::size_t size() const { return settings_.size(); }

    // The setting with these codes; created empty when the store accepts
    // every code, nullptr when the catalogue does not have it.
    Setting* find(std::string_view group, std::string_view setting);

private:
    bool acceptsAnyCode_ = true;
    std::map<std::pair<std::string, std::string>, Setting, std::less<>> settings_;
};

// One unit the device received, and its answer.
struct Exchange {
    enum class Kind { Start, Exit, Read, Write, Unknown, Syntax };
    Kind kind = Kind::Syntax;
    std::string received;              // the unit's bytes as received
    std::string reply;                 // the bytes the device answers
    std::string group, setting, value; // Read, Write, Unknown
    std::string description;           // Read, Write: the setting's description
};

class DeviceSession {
public:
    // The session answers from `store`, which must outlive it. An empty start
    // text is never recognised.
    DeviceSession(SettingStore& store, std::string startText);

    // Takes received bytes; returns the exchanges of the units they complete,
    // in order. Bytes of an unfinished unit are kept for the next call.
    std::vector<Exchange> feed(std::string_view bytes);

    // True between a start text and "<EXIT>".
    bool framed() const { return framed_; }
    // Bytes kept for the next call.
    std::size_t pending() const { return buffer_.size(); }

private:
    // Answers one command from "<" to ">" inclusive.
    Exchange command(std::string_view unit);

    SettingStore& store_;
    std::string startText_;
    std::string buffer_;
    bool framed_ = false;
};

// A received or sent byte string as one line of UTF-8 text for the log:
// printable ASCII as it is, code page 1254 letters (0xA1..0xFF, except the
// soft hyphen) as their characters, "\\" for a backslash, \r \n \t, and \xHH
// for every other byte.
std::string EscapeBytes(std::string_view bytes);

} // namespace km40r::sim
