#include "core/traffic_log.h"

#include "core/byte_render.h"

#include <algorithm>
#include <array>
#include <deque>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace km40r {
namespace {

constexpr std::uint64_t kCheckpointLines = 64;
constexpr std::uint64_t kCheckpointBytes = 4096;
constexpr unsigned kDecIndexBits = 12; // a character-count checkpoint every 4 KiB

// The first CR or LF in [p, end), or end.
const char* findLineBreak(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p)
        if (*p == '\r' || *p == '\n')
            return p;
    return end;
}

// Characters of BytesToDec for every byte value.
constexpr std::array<std::uint8_t, 256> kDecWidths = [] {
    std::array<std::uint8_t, 256> w{};
    for (int b = 0; b < 256; ++b)
        w[b] = static_cast<std::uint8_t>(DecWidth(static_cast<unsigned char>(b)));
    return w;
}();

std::uint64_t decWidths(const char* data, std::size_t n) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += kDecWidths[static_cast<unsigned char>(data[i])];
    return sum;
}

} // namespace

// ---------------------------------------------------------------------------
// A text log: the bytes of a buffer, broken into lines by CR LF, lone CR, lone
// LF and markers.
class TrafficLogs::TextLog final : public LogContent {
public:
    TextLog(const ChunkedBytes& bytes, const std::vector<std::uint64_t>& markers)
        : bytes_(bytes), markers_(markers) {}

    // Bytes [oldSize, size) were appended to the buffer.
    void appended(std::uint64_t oldSize) {
        const std::uint64_t marker = markers_.size();
        bytes_.forEachPiece(oldSize, bytes_.size(),
                            [&](const char* data, std::size_t n, std::uint64_t offset) {
                                const char* end = data + n;
                                for (const char* p = findLineBreak(data, end); p != end;
                                     p = findLineBreak(p + 1, end)) {
                                    const char c = *p;
                                    const std::uint64_t q = offset + std::uint64_t(p - data);
                                    if (c == '\n' && pendingCR_ && crPos_ + 1 == q) {
                                        // The second half of a CR LF: the line after the CR
                                        // starts after the LF instead.
                                        pendingCR_ = false;
                                        last_.pos = q + 1;
                                        if (checkpoints_.back().line == lines_ - 1)
                                            checkpoints_.back().start.pos = q + 1;
                                        continue;
                                    }
                                    newLine(q, {q + 1, marker});
                                    pendingCR_ = c == '\r';
                                    crPos_ = q;
                                }
                                return true;
                            });
    }

    // A marker was appended at the end of the buffer.
    void markerAdded() {
        pendingCR_ = false;
        newLine(bytes_.size(), {bytes_.size(), markers_.size()});
    }

    void clear() {
        checkpoints_.assign(1, Checkpoint{});
        lines_ = 1;
        last_ = {};
        maxCompleted_ = 0;
        pendingCR_ = false;
    }

    std::uint64_t lineCount() const override { return lines_; }

    std::uint64_t lineLength(std::uint64_t line) const override {
        const Extent e = extent(line);
        return e.contentEnd - e.start.pos;
    }

    std::uint64_t maxLineLength() const override {
        return std::max(maxCompleted_, bytes_.size() - last_.pos);
    }

    void renderLine(std::uint64_t line, std::uint64_t column, std::uint64_t count,
                    std::string& out) const override {
        if (line >= lines_)
            return;
        const Extent e = extent(line);
        const std::uint64_t length = e.contentEnd - e.start.pos;
        if (column >= length)
            return;
        bytes_.copyTo(e.start.pos + column, std::min(count, length - column), out);
    }

    std::string text(LogPosition from, LogPosition to) const override {
        std::string out;
        if (to < from || from.line >= lines_)
            return out;
        to.line = std::min(to.line, lines_ - 1);
        Start s = lineStart(from.line);
        for (std::uint64_t line = from.line;; ++line) {
            const Extent e = line == lines_ - 1 ? Extent{s, bytes_.size(), false, {}} : scan(s);
            const std::uint64_t length = e.contentEnd - e.start.pos;
            const std::uint64_t c0 = std::min(line == from.line ? from.column : 0, length);
            const std::uint64_t c1 = line == to.line ? std::min(to.column, length) : length;
            if (c1 > c0)
                bytes_.copyTo(e.start.pos + c0, c1 - c0, out);
            if (line == to.line)
                break;
            if (e.next.marker > e.start.marker)
                out += "\r\n";
            else
                bytes_.copyTo(e.contentEnd, e.next.pos - e.contentEnd, out);
            s = e.next;
        }
        return out;
    }

    bool holdsDataBytes() const override { return true; }

private:
    // Where a line starts: at byte pos, with the markers before index marker
    // behind it.
    struct Start {
        std::uint64_t pos = 0;
        std::uint64_t marker = 0;
    };
    struct Checkpoint {
        std::uint64_t line = 0;
        Start start;
    };
    struct Extent {
        Start start;
        std::uint64_t contentEnd = 0; // the line's characters are [start.pos, contentEnd)
        bool hasNext = false;
        Start next;
    };

    void newLine(std::uint64_t contentEnd, Start next) {
        maxCompleted_ = std::max(maxCompleted_, contentEnd - last_.pos);
        ++lines_;
        last_ = next;
        const Checkpoint& ck = checkpoints_.back();
        if (lines_ - 1 - ck.line >= kCheckpointLines || next.pos - ck.start.pos >= kCheckpointBytes)
            checkpoints_.push_back({lines_ - 1, next});
    }

    // Finds where the line starting at s ends. Scans the line's bytes.
    Extent scan(Start s) const {
        const std::uint64_t size = bytes_.size();
        const bool markerAhead = s.marker < markers_.size();
        const std::uint64_t limit = markerAhead ? markers_[s.marker] : size;
        std::uint64_t found = limit;
        bytes_.forEachPiece(s.pos, limit, [&](const char* data, std::size_t n, std::uint64_t off) {
            const char* p = findLineBreak(data, data + n);
            if (p == data + n)
                return true;
            found = off + std::uint64_t(p - data);
            return false;
        });
        if (found < limit) {
            const bool crlf =
                bytes_.at(found) == '\r' && found + 1 < limit && bytes_.at(found + 1) == '\n';
            return {s, found, true, {found + (crlf ? 2 : 1), s.marker}};
        }
        if (markerAhead)
            return {s, limit, true, {limit, s.marker + 1}};
        return {s, size, false, {}};
    }

    Start lineStart(std::uint64_t line) const {
        auto it = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), line,
                                   [](std::uint64_t l, const Checkpoint& c) { return l < c.line; });
        const Checkpoint& ck = *std::prev(it);
        Start s = ck.start;
        for (std::uint64_t l = ck.line; l < line; ++l)
            s = scan(s).next; // short lines only: a long one is followed by a checkpoint
        return s;
    }

    // A line's extent without scanning a long line: its end comes from the
    // start of the next line.
    Extent extent(std::uint64_t line) const {
        const Start s = lineStart(line);
        if (line + 1 >= lines_)
            return {s, bytes_.size(), false, {}};
        const Start n = lineStart(line + 1);
        std::uint64_t end;
        if (n.marker > s.marker)
            end = n.pos;
        else if (n.pos >= s.pos + 2 && bytes_.at(n.pos - 2) == '\r' && bytes_.at(n.pos - 1) == '\n')
            end = n.pos - 2;
        else
            end = n.pos - 1;
        return {s, end, true, n};
    }

    const ChunkedBytes& bytes_;
    const std::vector<std::uint64_t>& markers_;
    // A deque, not a vector: a log of short lines has a large index, and a
    // vector's growth would hold the old and the new copy at once.
    std::deque<Checkpoint> checkpoints_{Checkpoint{}};
    std::uint64_t lines_ = 1;
    Start last_;                    // where the last line starts
    std::uint64_t maxCompleted_ = 0; // the longest line before the last
    bool pendingCR_ = false;        // the last byte is a CR that an LF may complete
    std::uint64_t crPos_ = 0;

    friend class TrafficLogs;
    std::uint64_t indexBytes() const {
        // The deque's blocks of 512 bytes, and its map of block pointers.
        constexpr std::uint64_t kPerBlock = 512 / sizeof(Checkpoint);
        const std::uint64_t blocks = checkpoints_.size() / kPerBlock + 1;
        return blocks * (512 + 2 * sizeof(void*));
    }
};

// ---------------------------------------------------------------------------
// A decimal or hexadecimal log: each line renders a range of a buffer.
class TrafficLogs::RenderedLog : public LogContent {
public:
    RenderedLog(bool decimal, const ChunkedBytes& bytes) : decimal_(decimal), bytes_(bytes) {}

    // Bytes [oldSize, size) were appended to the buffer.
    void appended(std::uint64_t oldSize) {
        if (!decimal_)
            return;
        constexpr std::uint64_t kStep = std::uint64_t{1} << kDecIndexBits;
        bytes_.forEachPiece(oldSize, bytes_.size(),
                            [&](const char* data, std::size_t n, std::uint64_t offset) {
                                // Runs up to each 4 KiB boundary, where a checkpoint goes.
                                std::size_t i = 0;
                                while (i < n) {
                                    const std::uint64_t pos = offset + i;
                                    if ((pos & (kStep - 1)) == 0)
                                        decIndex_.push_back(decTotal_);
                                    const std::size_t run = static_cast<std::size_t>(
                                        std::min<std::uint64_t>(n - i, kStep - (pos & (kStep - 1))));
                                    decTotal_ += decWidths(data + i, run);
                                    i += run;
                                }
                                return true;
                            });
    }

    void clearIndex() {
        decIndex_.clear();
        decTotal_ = 0;
    }

    std::uint64_t lineLength(std::uint64_t line) const override {
        const Range r = range(line);
        return charsBefore(r.end) - charsBefore(r.begin);
    }

    void renderLine(std::uint64_t line, std::uint64_t column, std::uint64_t count,
                    std::string& out) const override {
        if (line >= lineCount() || count == 0)
            return;
        const Range r = range(line);
        std::uint64_t pos;
        std::uint64_t skip; // characters of the first byte's rendering before the column
        if (decimal_) {
            const std::uint64_t target = charsBefore(r.begin) + column;
            if (target >= charsBefore(r.end))
                return;
            // The last checkpoint at or before the target, then byte by byte.
            std::uint64_t k = static_cast<std::uint64_t>(
                std::upper_bound(decIndex_.begin(), decIndex_.end(), target) - decIndex_.begin() - 1);
            pos = std::max(k << kDecIndexBits, r.begin);
            std::uint64_t chars = charsBefore(pos);
            while (chars + DecWidth(bytes_.at(pos)) <= target)
                chars += DecWidth(bytes_.at(pos++));
            skip = target - chars;
        } else {
            pos = r.begin + column / kHexWidth;
            skip = column % kHexWidth;
            if (pos >= r.end)
                return;
        }
        std::string piece;
        piece.reserve(count + 4);
        bytes_.forEachPiece(pos, r.end, [&](const char* data, std::size_t n, std::uint64_t) {
            for (std::size_t i = 0; i < n && piece.size() < count + skip; ++i)
                render(piece, static_cast<unsigned char>(data[i]));
            return piece.size() < count + skip;
        });
        out.append(piece, skip, count);
    }

    std::uint64_t maxLineLength() const override {
        return std::max(maxCompleted_, lineLength(lineCount() - 1));
    }

    std::string text(LogPosition from, LogPosition to) const override {
        std::string out;
        if (to < from || from.line >= lineCount())
            return out;
        to.line = std::min(to.line, lineCount() - 1);
        for (std::uint64_t line = from.line;; ++line) {
            const std::uint64_t length = lineLength(line);
            const std::uint64_t c0 = std::min(line == from.line ? from.column : 0, length);
            const std::uint64_t c1 = line == to.line ? std::min(to.column, length) : length;
            if (c1 > c0)
                renderLine(line, c0, c1 - c0, out);
            if (line == to.line)
                break;
            out += "\r\n";
        }
        return out;
    }

    bool holdsDataBytes() const override { return false; }

    std::uint64_t indexBytes() const { return decIndex_.capacity() * sizeof(std::uint64_t); }

protected:
    virtual Range range(std::uint64_t line) const = 0;

    void lineCompleted(std::uint64_t line) {
        maxCompleted_ = std::max(maxCompleted_, lineLength(line));
    }
    void resetMax() { maxCompleted_ = 0; }

private:
    void render(std::string& out, unsigned char b) const {
        if (decimal_)
            AppendDec(out, b);
        else
            AppendHex(out, b);
    }

    // Characters of the rendering of bytes [0, pos).
    std::uint64_t charsBefore(std::uint64_t pos) const {
        if (!decimal_)
            return pos * kHexWidth;
        if (pos >= bytes_.size())
            return decTotal_;
        const std::uint64_t k = pos >> kDecIndexBits;
        std::uint64_t chars = decIndex_[k];
        bytes_.forEachPiece(k << kDecIndexBits, pos, [&](const char* data, std::size_t n, std::uint64_t) {
            chars += decWidths(data, n);
            return true;
        });
        return chars;
    }

    const bool decimal_;
    const ChunkedBytes& bytes_;
    std::vector<std::uint64_t> decIndex_; // characters before every 4 KiB boundary
    std::uint64_t decTotal_ = 0;
    std::uint64_t maxCompleted_ = 0;
};

// The received decimal or hexadecimal log: a line per stretch between sends.
class TrafficLogs::ReceivedRenderedLog final : public RenderedLog {
public:
    ReceivedRenderedLog(bool decimal, const ChunkedBytes& bytes,
                        const std::vector<std::uint64_t>& markers)
        : RenderedLog(decimal, bytes), bytes_(bytes), markers_(markers) {}

    std::uint64_t lineCount() const override { return markers_.size() + 1; }
    void markerAdded() { lineCompleted(markers_.size() - 1); }
    void clear() {
        clearIndex();
        resetMax();
    }

protected:
    Range range(std::uint64_t line) const override {
        return {line == 0 ? 0 : markers_[line - 1],
                line < markers_.size() ? markers_[line] : bytes_.size()};
    }

private:
    const ChunkedBytes& bytes_;
    const std::vector<std::uint64_t>& markers_;
};

// The sent decimal or hexadecimal log: a line per sent data, and the empty
// line after the last line break.
class TrafficLogs::SentRenderedLog final : public RenderedLog {
public:
    SentRenderedLog(bool decimal, const ChunkedBytes& bytes, const std::vector<Range>& data)
        : RenderedLog(decimal, bytes), bytes_(bytes), data_(data) {}

    std::uint64_t lineCount() const override { return data_.size() + 1; }
    void dataAdded() { lineCompleted(data_.size() - 1); }
    void clear() {
        clearIndex();
        resetMax();
    }

protected:
    Range range(std::uint64_t line) const override {
        return line < data_.size() ? data_[line] : Range{bytes_.size(), bytes_.size()};
    }

private:
    const ChunkedBytes& bytes_;
    const std::vector<Range>& data_;
};

// ---------------------------------------------------------------------------

TrafficLogs::TrafficLogs()
    : memoGiden_(std::make_unique<TextLog>(sent_, sentMarkers_)),
      memoGelen_(std::make_unique<TextLog>(received_, receivedTextMarkers_)),
      gidenDec_(std::make_unique<SentRenderedLog>(true, sent_, sentData_)),
      gidenHex_(std::make_unique<SentRenderedLog>(false, sent_, sentData_)),
      gelenDec_(std::make_unique<ReceivedRenderedLog>(true, received_, receivedMarkers_)),
      gelenHex_(std::make_unique<ReceivedRenderedLog>(false, received_, receivedMarkers_)) {}

TrafficLogs::~TrafficLogs() = default;

std::uint64_t TrafficLogs::addSentLine(std::string_view text) {
    // A line of its own: after a line break when the last line holds text.
    const LogContent& giden = *memoGiden_;
    if (giden.lineLength(giden.lineCount() - 1) > 0) {
        sentMarkers_.push_back(sent_.size());
        memoGiden_->markerAdded();
    }
    const std::uint64_t begin = sent_.size();
    sent_.append(text);
    memoGiden_->appended(begin);
    gidenDec_->appended(begin);
    gidenHex_->appended(begin);
    sentMarkers_.push_back(sent_.size());
    memoGiden_->markerAdded();
    return begin;
}

void TrafficLogs::addSentTextLine(std::string_view text) { addSentLine(text); }

void TrafficLogs::appendReceived(std::string_view chunk) {
    if (chunk.empty())
        return;
    const std::uint64_t old = received_.size();
    received_.append(chunk);
    memoGelen_->appended(old);
    gelenDec_->appended(old);
    gelenHex_->appended(old);
}

void TrafficLogs::logSent(std::string_view bytes, bool receivedTextBreak) {
    const std::uint64_t begin = addSentLine(bytes);
    sentData_.push_back({begin, begin + bytes.size()});
    gidenDec_->dataAdded();
    gidenHex_->dataAdded();

    receivedMarkers_.push_back(received_.size());
    gelenDec_->markerAdded();
    gelenHex_->markerAdded();
    if (receivedTextBreak) {
        receivedTextMarkers_.push_back(received_.size());
        memoGelen_->markerAdded();
    }
}

void TrafficLogs::clear() {
    received_.clear();
    receivedMarkers_.clear();
    receivedTextMarkers_.clear();
    sent_.clear();
    sentMarkers_.clear();
    sentData_.clear();
    memoGiden_->clear();
    memoGelen_->clear();
    gidenDec_->clear();
    gidenHex_->clear();
    gelenDec_->clear();
    gelenHex_->clear();
}

void TrafficLogs::copyReceived(std::uint64_t from, std::uint64_t count, std::string& out) const {
    if (from < received_.size())
        received_.copyTo(from, std::min(count, received_.size() - from), out);
}

const LogContent& TrafficLogs::log(Log which) const {
    switch (which) {
    case Log::MemoGiden: return *memoGiden_;
    case Log::MemoGelen: return *memoGelen_;
    case Log::memogidenhex: return *gidenHex_;
    case Log::memogelenhex: return *gelenHex_;
    case Log::memogidendec: return *gidenDec_;
    case Log::memogelendec: return *gelenDec_;
    }
    return *memoGiden_;
}

std::uint64_t TrafficLogs::memoryBytes() const {
    const auto vec = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
    return received_.memoryBytes() + sent_.memoryBytes() + vec(receivedMarkers_) +
           vec(receivedTextMarkers_) + vec(sentMarkers_) + vec(sentData_) +
           memoGiden_->indexBytes() + memoGelen_->indexBytes() + gidenDec_->indexBytes() +
           gelenDec_->indexBytes();
}

} // namespace km40r
