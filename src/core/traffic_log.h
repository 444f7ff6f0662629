// The six traffic logs: the program's window on the wire.
//
// Principles of operation:
//   - Bytes are kept once. All received bytes live in one chunked buffer, all
//     sent-log text (status lines, framing lines, sent data) in another.
//     Appending is amortised constant time; nothing is ever trimmed.
//   - Line breaks that the program adds are markers (positions in a buffer),
//     not bytes: each send marks the received buffer (the decimal and
//     hexadecimal received logs always, the received-text log only in the TCP
//     modes), and each line added to the sent-text log ends with a marker.
//   - The six logs are views over the two buffers (LogContent). The text logs
//     show their bytes; CR LF, a lone CR, a lone LF and each marker are one
//     line break each (a CR and an LF that arrive in separate chunks with no
//     marker between them are one CR LF). The decimal and hexadecimal logs
//     show BytesToDec/BytesToHex of their bytes, one line per stretch between
//     markers (received) or per sent data (sent).
//   - Nothing is turned into text until a view asks for the lines on screen.
//     A sparse line index (a checkpoint every 64 lines or 4 KiB) finds any
//     line, and a sparse character index (every 4 KiB) finds any column of a
//     decimal line, so a screen renders in the same time at any log size and
//     at any scroll position of a line of any length.
#pragma once

#include "core/chunked_bytes.h"

#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace km40r {

// A place in a log: a line and a column (characters from the line's start).
struct LogPosition {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    auto operator<=>(const LogPosition&) const = default;
};

// One log as a view sees it: lines of characters, rendered on demand.
class LogContent {
public:
    virtual ~LogContent() = default;

    // At least 1: an empty log is one empty line, and a log whose text ends
    // with a line break has an empty last line.
    virtual std::uint64_t lineCount() const = 0;
    virtual std::uint64_t lineLength(std::uint64_t line) const = 0;
    virtual std::uint64_t maxLineLength() const = 0;

    // Appends characters [column, column + count) of a line to out (fewer at
    // the line's end): code page 1254 bytes for the text logs, ASCII for the
    // decimal and hexadecimal logs. A line never holds a line break.
    virtual void renderLine(std::uint64_t line, std::uint64_t column, std::uint64_t count,
                            std::string& out) const = 0;

    // The log's text between two positions, with its line breaks as the log
    // holds them (the break bytes of the data, CR LF for a marker).
    virtual std::string text(LogPosition from, LogPosition to) const = 0;

    // True for the text logs, whose characters are bytes of the data.
    virtual bool holdsDataBytes() const = 0;

    LogPosition end() const { return {lineCount() - 1, lineLength(lineCount() - 1)}; }
    std::string text() const { return text({}, end()); }
};

class TrafficLogs {
public:
    enum class Log { MemoGiden, MemoGelen, memogidenhex, memogelenhex, memogidendec, memogelendec };

    TrafficLogs();
    ~TrafficLogs();
    TrafficLogs(const TrafficLogs&) = delete;
    TrafficLogs& operator=(const TrafficLogs&) = delete;

    // Adds a line to the sent-text log alone: a status line or a framing line.
    void addSentTextLine(std::string_view text);

    // Appends one received chunk to the three received logs; no line break of
    // its own. An empty chunk changes nothing.
    void appendReceived(std::string_view chunk);

    // Logs sent data: a line in each sent log, then a line break at the end of
    // the received decimal and hexadecimal logs, and of the received-text log
    // when receivedTextBreak (the TCP modes).
    void logSent(std::string_view bytes, bool receivedTextBreak);

    // Empties all six logs.
    void clear();

    const LogContent& log(Log which) const;

    std::uint64_t receivedBytes() const { return received_.size(); }
    // Appends the received bytes [from, from + count) to out, fewer at the
    // end: the bytes as they arrived, without the line breaks of sends.
    void copyReceived(std::uint64_t from, std::uint64_t count, std::string& out) const;
    // Bytes the store holds in memory, all logs together.
    std::uint64_t memoryBytes() const;

private:
    class TextLog;
    class RenderedLog;
    class ReceivedRenderedLog;
    class SentRenderedLog;

    // Adds a line to the sent-text log; returns where its text starts in sent_.
    std::uint64_t addSentLine(std::string_view text);

    ChunkedBytes received_;
    std::vector<std::uint64_t> receivedMarkers_;     // every send
    std::vector<std::uint64_t> receivedTextMarkers_; // sends in the TCP modes
    ChunkedBytes sent_;
    std::vector<std::uint64_t> sentMarkers_;         // the end of every added line
    struct Range {
        std::uint64_t begin;
        std::uint64_t end;
    };
    std::vector<Range> sentData_; // where each sent data lies in sent_

    std::unique_ptr<TextLog> memoGiden_;
    std::unique_ptr<TextLog> memoGelen_;
    std::unique_ptr<SentRenderedLog> gidenDec_;
    std::unique_ptr<SentRenderedLog> gidenHex_;
    std::unique_ptr<ReceivedRenderedLog> gelenDec_;
    std::unique_ptr<ReceivedRenderedLog> gelenHex_;
};

} // namespace km40r
