#include "core/byte_render.h"
#include "core/traffic_log.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace km40r;
using Log = TrafficLogs::Log;

namespace {

std::string all(const TrafficLogs& logs, Log which) { return logs.log(which).text(); }

std::vector<std::string> lines(const LogContent& log) {
    std::vector<std::string> out;
    for (std::uint64_t i = 0; i < log.lineCount(); ++i) {
        std::string line;
        log.renderLine(i, 0, log.lineLength(i), line);
        out.push_back(line);
    }
    return out;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(BytesRendering, DecimalAndHexadecimal) {
    EXPECT_EQ(BytesToDec("AB\r\n"), "65-66-13-10-");
    EXPECT_EQ(BytesToHex("AB\r\n"), "41-42-0D-0A-");
    EXPECT_EQ(BytesToDec(std::string("\0\x09\x63\xFF", 4)), "0-9-99-255-");
    EXPECT_EQ(BytesToHex(std::string("\0\xAB\xFF", 3)), "00-AB-FF-");
    EXPECT_EQ(BytesToDec(""), "");
    EXPECT_EQ(BytesToHex(""), "");
}

TEST(TrafficLogs, ReceivedChunksContinueTheSameLine) {
    TrafficLogs logs;
    logs.appendReceived("AB");
    logs.appendReceived("");
    logs.appendReceived("C");
    EXPECT_EQ(all(logs, Log::MemoGelen), "ABC");
    EXPECT_EQ(all(logs, Log::memogelendec), "65-66-67-");
    EXPECT_EQ(all(logs, Log::memogelenhex), "41-42-43-");
    EXPECT_EQ(logs.log(Log::MemoGelen).lineCount(), 1u);
    // The sent logs are untouched.
    EXPECT_EQ(all(logs, Log::MemoGiden), "");
    EXPECT_EQ(all(logs, Log::memogidendec), "");
}

TEST(TrafficLogs, LineBreaksOfTheTextLogs) {
    const std::pair<std::vector<std::string>, Lines> cases[] = {
        {{"OK\r\nOK\r\n"}, {"OK", "OK", ""}},
        {{"a\rb\nc"}, {"a", "b", "c"}},            // lone CR and lone LF
        {{"a\r", "\nb"}, {"a", "b"}},              // CR LF split across chunks
        {{"a\n\r", "b"}, {"a", "", "b"}},          // LF then CR are two breaks
        {{"a\r\r\n"}, {"a", "", ""}},
        {{"\r\n\r\n"}, {"", "", ""}},
        {{std::string("\0\x01\x7F", 3)}, {std::string("\0\x01\x7F", 3)}},
    };
    for (const auto& [chunks, expected] : cases) {
        TrafficLogs logs;
        std::string joined;
        for (const auto& c : chunks) {
            logs.appendReceived(c);
            joined += c;
        }
        EXPECT_EQ(lines(logs.log(Log::MemoGelen)), expected) << joined;
        EXPECT_EQ(all(logs, Log::MemoGelen), joined);
        // The renderings hold no line break.
        EXPECT_EQ(logs.log(Log::memogelendec).lineCount(), 1u);
        EXPECT_EQ(all(logs, Log::memogelendec), BytesToDec(joined));
    }
}

TEST(TrafficLogs, SendInTcpModeBreaksAllReceivedLogs) {
    TrafficLogs logs;
    logs.appendReceived("X");
    logs.logSent("AB\r\n", true);
    EXPECT_EQ(all(logs, Log::MemoGiden), "AB\r\n\r\n"); // the line AB, then an empty line
    EXPECT_EQ(lines(logs.log(Log::MemoGiden)), (Lines{"AB", "", ""}));
    EXPECT_EQ(all(logs, Log::memogidendec), "65-66-13-10-\r\n");
    EXPECT_EQ(all(logs, Log::memogidenhex), "41-42-0D-0A-\r\n");
    EXPECT_EQ(all(logs, Log::MemoGelen), "X\r\n");
    EXPECT_EQ(all(logs, Log::memogelendec), "88-\r\n");
    EXPECT_EQ(all(logs, Log::memogelenhex), "58-\r\n");
    logs.appendReceived("OK");
    EXPECT_EQ(lines(logs.log(Log::memogelenhex)), (Lines{"58-", "4F-4B-"}));
}

TEST(TrafficLogs, SendInComModeLeavesTheReceivedTextLine) {
    TrafficLogs logs;
    logs.appendReceived("ans");
    logs.logSent("AB\r\n", false);
    logs.appendReceived("wer");
    EXPECT_EQ(all(logs, Log::MemoGelen), "answer");
    EXPECT_EQ(all(logs, Log::memogelendec), "97-110-115-\r\n119-101-114-");
    // Two sends with nothing between them give an empty received line.
    logs.logSent("", false);
    logs.logSent("", false);
    EXPECT_EQ(lines(logs.log(Log::memogelenhex)), (Lines{"61-6E-73-", "77-65-72-", "", ""}));
    EXPECT_EQ(lines(logs.log(Log::memogidenhex)), (Lines{"41-42-0D-0A-", "", "", ""}));
}

TEST(TrafficLogs, CopyReceivedGivesTheBytesAsTheyArrived) {
    // Chunks across a buffer boundary, with sends (markers) between them.
    TrafficLogs logs;
    std::string model;
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) {
        std::string chunk(10000 + i, '\0');
        for (char& c : chunk)
            c = static_cast<char>(random());
        logs.appendReceived(chunk);
        model += chunk;
        logs.logSent("\r\n", i % 2 == 0);
    }
    ASSERT_GT(model.size(), ChunkedBytes::kChunkSize);
    const std::uint64_t size = model.size();
    const std::uint64_t boundary = ChunkedBytes::kChunkSize;
    const struct {
        std::uint64_t from, count;
    } cases[] = {{0, size}, {boundary - 3, 7}, {size - 5, 100}, {size, 1}, {size + 9, 4}, {12, 0}};
    for (const auto& c : cases) {
        std::string out = "pre";
        logs.copyReceived(c.from, c.count, out);
        const std::string want = c.from < size ? model.substr(c.from, c.count) : "";
        EXPECT_EQ(out, "pre" + want) << c.from << "+" << c.count;
    }
}

TEST(TrafficLogs, StatusAndFramingLinesGoToTheSentTextLogAlone) {
    TrafficLogs logs;
    logs.addSentTextLine("<BASLA>");
    logs.logSent("data", true);
    logs.addSentTextLine("<EXIT>");
    logs.addSentTextLine("Com Port Ba\xF0land\xFD");
    logs.addSentTextLine("");
    EXPECT_EQ(all(logs, Log::MemoGiden),
              "<BASLA>\r\ndata\r\n<EXIT>\r\nCom Port Ba\xF0land\xFD\r\n\r\n");
    EXPECT_EQ(all(logs, Log::memogidendec), "100-97-116-97-\r\n");
    EXPECT_EQ(all(logs, Log::MemoGelen), "\r\n");
}

TEST(TrafficLogs, ClearEmptiesAllSixAndStartsAtTheTop) {
    TrafficLogs logs;
    logs.appendReceived("abc\r\n");
    logs.logSent("x", true);
    logs.clear();
    for (Log l : {Log::MemoGiden, Log::MemoGelen, Log::memogidenhex, Log::memogelenhex,
                  Log::memogidendec, Log::memogelendec}) {
        EXPECT_EQ(all(logs, l), "");
        EXPECT_EQ(logs.log(l).lineCount(), 1u);
        EXPECT_EQ(logs.log(l).maxLineLength(), 0u);
    }
    logs.appendReceived(std::string(1, '\0'));
    EXPECT_EQ(all(logs, Log::memogelendec), "0-");
    EXPECT_EQ(all(logs, Log::memogelenhex), "00-");
}

// Every log against a plain model of its text, through random operations
// rich in line breaks, with chunks that cross the store's internal boundaries.
TEST(TrafficLogs, AgreesWithAPlainModelOfEveryLog) {
    std::mt19937 rng(20261211);
    const auto randomBytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s) {
            const unsigned r = rng() % 16;
            c = r == 0 ? '\r' : r == 1 ? '\n' : static_cast<char>(rng() % 256);
        }
        return s;
    };
    TrafficLogs logs;
    std::string gelen, gelenDec, gelenHex, giden, gidenDec, gidenHex;
    const auto addLine = [](std::string& model, const std::string& text) {
        if (!model.empty() && model.back() != '\n' && model.back() != '\r')
            model += "\r\n";
        model += text + "\r\n";
    };
    for (int step = 0; step < 400; ++step) {
        const unsigned op = rng() % 10;
        if (op < 6) {
            const std::size_t n = op == 0 && rng() % 8 == 0 ? 70000 + rng() % 300000 : rng() % 200;
            const std::string chunk = randomBytes(n);
            logs.appendReceived(chunk);
            gelen += chunk, gelenDec += BytesToDec(chunk), gelenHex += BytesToHex(chunk);
        } else if (op < 9) {
            const std::string data = randomBytes(rng() % 40);
            const bool tcp = rng() % 2;
            logs.logSent(data, tcp);
            addLine(giden, data);
            gidenDec += BytesToDec(data) + "\r\n";
            gidenHex += BytesToHex(data) + "\r\n";
            gelenDec += "\r\n", gelenHex += "\r\n";
            if (tcp)
                gelen += "\r\n";
        } else {
            const std::string status = randomBytes(rng() % 20);
            logs.addSentTextLine(status);
            addLine(giden, status);
        }
    }
    const std::pair<Log, const std::string*> models[] = {
        {Log::MemoGelen, &gelen},        {Log::memogelendec, &gelenDec},
        {Log::memogelenhex, &gelenHex},  {Log::MemoGiden, &giden},
        {Log::memogidendec, &gidenDec},  {Log::memogidenhex, &gidenHex},
    };
    for (const auto& [which, model] : models) {
        const LogContent& log = logs.log(which);
        SCOPED_TRACE(static_cast<int>(which));
        ASSERT_EQ(log.text(), *model);
        // Split the model into lines: CR LF, lone CR and lone LF each end one.
        std::vector<std::uint64_t> starts{0};
        Lines expected;
        std::string current;
        for (std::size_t i = 0; i < model->size(); ++i) {
            const char c = (*model)[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < model->size() && (*model)[i + 1] == '\n')
                    ++i;
                expected.push_back(current);
                current.clear();
                starts.push_back(i + 1);
            } else {
                current += c;
            }
        }
        expected.push_back(current);
        ASSERT_EQ(lines(log), expected);
        std::uint64_t longest = 0;
        for (const auto& l : expected)
            longest = std::max<std::uint64_t>(longest, l.size());
        EXPECT_EQ(log.maxLineLength(), longest);
        // Windows into lines, and stretches of text between two places.
        for (int probe = 0; probe < 300; ++probe) {
            const std::uint64_t line = rng() % expected.size();
            const std::uint64_t length = expected[line].size();
            const std::uint64_t column = rng() % (length + 3);
            const std::uint64_t count = rng() % 50;
            std::string got;
            log.renderLine(line, column, count, got);
            EXPECT_EQ(got, column < length ? expected[line].substr(column, count) : "");
            LogPosition a{rng() % expected.size(), 0}, b{a.line + rng() % 20, 0};
            b.line = std::min<std::uint64_t>(b.line, expected.size() - 1);
            a.column = rng() % (expected[a.line].size() + 1);
            b.column = rng() % (expected[b.line].size() + 1);
            if (b < a)
                std::swap(a, b);
            const auto offset = [&](LogPosition p) { return starts[p.line] + p.column; };
            EXPECT_EQ(log.text(a, b), model->substr(offset(a), offset(b) - offset(a)));
        }
    }
}

TEST(TrafficLogs, MemoryStaysNearTheBytesHeld) {
    // Long lines, and a line break in every byte (the largest line index).
    for (const char fill : {'x', '\n'}) {
        TrafficLogs logs;
        std::string chunk(1024, fill);
        for (int i = 0; i < 8 * 1024; ++i) { // 8 MiB, a send every 64 KiB
            if (fill == 'x')
                chunk[i % 1024] = static_cast<char>(i);
            logs.appendReceived(chunk);
            if (i % 64 == 63)
                logs.logSent("ping", true);
        }
        EXPECT_LE(logs.memoryBytes(), 2 * logs.receivedBytes()) << "fill " << int(fill);
    }
}
