// Fuzz target: the six traffic logs.
//
// The input is decoded into a sequence of operations (received chunks, long
// repeated chunks that cross the store's internal boundaries, sends in the
// serial and the TCP modes, added lines, clears), which run both on the
// store and on a naive model: six strings holding each log's text. Then every
// log must agree with its string: the whole text, the line count, every
// line's length and rendering, the longest line, and random windows into
// lines and stretches of text between two places.
#include "fuzz_check.h"

#include "core/traffic_log.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace km40r;
using Log = TrafficLogs::Log;

namespace {

// Bytes of data in one run: enough for many checkpoints of the indexes
// (every 4 KiB), and in a run chosen by its last byte being 0xFF, enough to
// pass the store's 256 KiB chunk size too. Small runs are many times faster.
constexpr std::size_t kMaxBytes = std::size_t{24} << 10;
constexpr std::size_t kMaxBytesLarge = std::size_t{300} << 10;
// Logs of more lines have every line checked near their start and end, and
// one in 64 between (the whole text is always checked).
constexpr std::uint64_t kAllLines = 256;

std::string decimal(std::string_view bytes) {
    std::string out;
    for (const char c : bytes)
        out += std::to_string(static_cast<unsigned char>(c)) + "-";
    return out;
}

std::string hexadecimal(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += "0123456789ABCDEF"[b >> 4];
        out += "0123456789ABCDEF"[b & 15];
        out += '-';
    }
    return out;
}

struct Model {
    std::string gelen, gelenDec, gelenHex, giden, gidenDec, gidenHex;

    // A line of its own, after a line break when the last line holds text.
    void addLine(std::string_view text) {
        if (!giden.empty() && giden.back() != '\n' && giden.back() != '\r')
            giden += "\r\n";
        giden += text;
        giden += "\r\n";
    }
};

// The lines of a text and where each starts: CR LF, a lone CR and a lone LF
// each end one.
struct Lines {
    std::vector<std::string> text;
    std::vector<std::uint64_t> start;
};

Lines splitLines(const std::string& s) {
    Lines lines;
    lines.start.push_back(0);
    std::string current;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
                ++i;
            lines.text.push_back(current);
            current.clear();
            lines.start.push_back(i + 1);
        } else {
            current += s[i];
        }
    }
    lines.text.push_back(current);
    return lines;
}

void checkLog(const LogContent& log, const std::string& model, bool dataBytes,
              std::minstd_rand& rng, const char* name) {
    const std::string where = std::string(name) + ": ";
    FUZZ_CHECK(log.holdsDataBytes() == dataBytes, where + "kind");
    const std::string text = log.text();
    FUZZ_CHECK(text == model,
               where + "text " + fuzz::Quote(text) + "\n expected " + fuzz::Quote(model));
    const Lines lines = splitLines(model);
    const std::uint64_t count = lines.text.size();
    FUZZ_CHECK(log.lineCount() == count, where + "line count " + std::to_string(log.lineCount()) +
                                             ", expected " + std::to_string(count));
    std::uint64_t longest = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string& expected = lines.text[i];
        longest = std::max<std::uint64_t>(longest, expected.size());
        if (count > kAllLines && i >= kAllLines / 2 && i + kAllLines / 2 < count && rng() % 64 != 0)
            continue;
        FUZZ_CHECK(log.lineLength(i) == expected.size(),
                   where + "length of line " + std::to_string(i));
        std::string got;
        log.renderLine(i, 0, expected.size(), got);
        FUZZ_CHECK(got == expected, where + "line " + std::to_string(i) + " " + fuzz::Quote(got) +
                                        "\n expected " + fuzz::Quote(expected));
    }
    FUZZ_CHECK(log.maxLineLength() == longest, where + "longest line " +
                                                   std::to_string(log.maxLineLength()) +
                                                   ", expected " + std::to_string(longest));
    for (int probe = 0; probe < 40; ++probe) {
        const std::uint64_t line = rng() % count;
        const std::string& expected = lines.text[line];
        const std::uint64_t column = rng() % (expected.size() + 3);
        const std::uint64_t n = rng() % 3 == 0 ? rng() % 9000 : rng() % 20;
        std::string got = "kept";
        log.renderLine(line, column, n, got);
        const std::string want =
            "kept" + (column < expected.size() ? expected.substr(column, n) : "");
        FUZZ_CHECK(got == want, where + "window of line " + std::to_string(line) + " at " +
                                    std::to_string(column) + " of " + std::to_string(n) + ": " +
                                    fuzz::Quote(got));

        // A stretch of up to 9000 bytes of the text, from a place in a line
        // (or its end) to another.
        const auto place = [&](std::uint64_t offset) {
            const auto next = std::upper_bound(lines.start.begin(), lines.start.end(), offset);
            const auto line = static_cast<std::uint64_t>(next - lines.start.begin() - 1);
            return LogPosition{
                line, std::min<std::uint64_t>(offset - lines.start[line], lines.text[line].size())};
        };
        const LogPosition a = place(rng() % (model.size() + 1));
        const std::uint64_t from = lines.start[a.line] + a.column;
        const LogPosition b = place(std::min<std::uint64_t>(model.size(), from + rng() % 9000));
        const std::uint64_t to = lines.start[b.line] + b.column;
        FUZZ_CHECK(log.text(a, b) == model.substr(from, to - from),
                   where + "text from " + std::to_string(a.line) + ":" + std::to_string(a.column) +
                       " to " + std::to_string(b.line) + ":" + std::to_string(b.column));
    }

    // Places outside the log: a line past the end renders nothing, and a
    // stretch given backwards, or with columns past a line's end, is read
    // without harm (its text is not pinned down).
    std::string got;
    log.renderLine(count + rng() % 3, 0, 10, got);
    FUZZ_CHECK(got.empty(), where + "a line past the end rendered " + fuzz::Quote(got));
    const LogPosition last = log.end();
    (void)log.text(last, LogPosition{});
    (void)log.text(LogPosition{0, 1 + rng() % 9000},
                   LogPosition{last.line, last.column + 1 + rng() % 9000});
    (void)log.text(LogPosition{rng() % count, 1 << 20}, LogPosition{count + rng() % 3, 0});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t maxBytes =
        input.ConsumeIntegral<std::uint8_t>() == 0xFF ? kMaxBytesLarge : kMaxBytes;
    TrafficLogs logs;
    Model m;
    std::size_t total = 0;
    for (int step = 0; step < 128 && input.remaining_bytes() > 4; ++step) {
        const auto op = input.ConsumeIntegralInRange<unsigned>(0, 15);
        if (op < 6) { // a received chunk
            const std::string chunk =
                input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 80));
            logs.appendReceived(chunk);
            m.gelen += chunk, m.gelenDec += decimal(chunk), m.gelenHex += hexadecimal(chunk);
            total += chunk.size();
        } else if (op < 8) { // a long chunk: a pattern repeated, up to 2^17 times
            const std::string pattern =
                input.ConsumeBytesAsString(input.ConsumeIntegralInRange(1, 6));
            const auto times = input.ConsumeIntegralInRange<std::size_t>(
                1, std::size_t{1} << input.ConsumeIntegralInRange(0, 17));
            if (pattern.empty() || total + pattern.size() * times > maxBytes)
                continue;
            std::string chunk;
            for (std::size_t i = 0; i < times; ++i)
                chunk += pattern;
            logs.appendReceived(chunk);
            m.gelen += chunk, m.gelenDec += decimal(chunk), m.gelenHex += hexadecimal(chunk);
            total += chunk.size();
        } else if (op < 12) { // a send, in the serial (false) or a TCP mode (true)
            const bool tcp = input.ConsumeBool();
            const std::string bytes =
                input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 40));
            logs.logSent(bytes, tcp);
            m.addLine(bytes);
            m.gidenDec += decimal(bytes) + "\r\n";
            m.gidenHex += hexadecimal(bytes) + "\r\n";
            m.gelenDec += "\r\n", m.gelenHex += "\r\n";
            if (tcp)
                m.gelen += "\r\n";
            total += bytes.size();
        } else if (op < 15) { // a status or framing line
            const std::string text =
                input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 30));
            logs.addSentTextLine(text);
            m.addLine(text);
            total += text.size();
        } else {
            logs.clear();
            m = Model{};
        }
    }
    std::minstd_rand rng(input.ConsumeIntegral<std::uint32_t>());
    checkLog(logs.log(Log::MemoGelen), m.gelen, true, rng, "MemoGelen");
    checkLog(logs.log(Log::memogelendec), m.gelenDec, false, rng, "memogelendec");
    checkLog(logs.log(Log::memogelenhex), m.gelenHex, false, rng, "memogelenhex");
    checkLog(logs.log(Log::MemoGiden), m.giden, true, rng, "MemoGiden");
    checkLog(logs.log(Log::memogidendec), m.gidenDec, false, rng, "memogidendec");
    checkLog(logs.log(Log::memogidenhex), m.gidenHex, false, rng, "memogidenhex");
    return 0;
}
