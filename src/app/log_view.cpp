#include "app/log_view.h"

#include "core/cp1254.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

namespace km40r {

DisplayCell DisplayCharacter(unsigned char byte) {
    if (byte < 0x20)
        return {QChar(static_cast<char16_t>('@' + byte)), true};
    if (byte == 0x7F)
        return {QChar(u'?'), true};
    if (byte == 0xAD) // the soft hyphen draws as nothing
        return {QChar(u'-'), false};
    const char16_t u = Cp1254ToUnicode(byte);
    if (u == 0xFFFD)
        return {QChar(u'?'), true};
    return {QChar(u), false};
}

QChar CopyCharacter(unsigned char byte) {
    const char16_t u = Cp1254ToUnicode(byte);
    return QChar(u == 0xFFFD ? static_cast<char16_t>(byte) : u);
}

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(9);
    setFont(font);
    charWidth_ = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
    lineHeight_ = std::max(1, fontMetrics().height());
    rawFont_ = QRawFont::fromFont(font);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);

    repaintTimer_.setSingleShot(true);
    repaintTimer_.setInterval(kRepaintIntervalMs);
    connect(&repaintTimer_, &QTimer::timeout, this, &LogView::applyChange);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &LogView::userScrolled);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, &LogView::userScrolled);
}

void LogView::setContent(const LogContent* content) {
    content_ = content;
    anchor_ = cursor_ = {};
    applyChange();
}

void LogView::contentChanged() {
    if (!repaintTimer_.isActive())
        repaintTimer_.start();
}

void LogView::flushPendingChange() {
    if (repaintTimer_.isActive()) {
        repaintTimer_.stop();
        applyChange();
    }
}

void LogView::applyChange() {
    if (content_) {
        // A log that was emptied keeps no selection beyond its end.
        const LogPosition end = content_->end();
        anchor_ = std::min(anchor_, end);
        cursor_ = std::min(cursor_, end);
    }
    updateScrollBars();
    if (following_)
        scrollToEnd();
    viewport()->update();
}

int LogView::visibleLines() const { return std::max(1, viewport()->height() / lineHeight_); }
int LogView::visibleColumns() const { return std::max(1, viewport()->width() / charWidth_); }

void LogView::updateScrollBars() {
    const bool wasAdjusting = adjusting_;
    adjusting_ = true;
    const std::uint64_t lines = content_ ? content_->lineCount() : 1;
    const std::uint64_t vmax = lines > std::uint64_t(visibleLines()) ? lines - visibleLines() : 0;
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<std::uint64_t>(vmax, INT_MAX)));
    verticalScrollBar()->setPageStep(visibleLines());
    verticalScrollBar()->setSingleStep(1);

    const std::uint64_t width = (content_ ? content_->maxLineLength() : 0) + 1;
    const std::uint64_t hmaxChars =
        width > std::uint64_t(visibleColumns()) ? width - visibleColumns() : 0;
    const std::uint64_t firstColumn = firstVisibleColumn();
    // Scroll bars count in int: very long lines scroll in steps of several characters.
    columnScale_ = std::max<std::uint64_t>(1, hmaxChars / (INT_MAX / 2) + 1);
    horizontalScrollBar()->setRange(0, static_cast<int>(hmaxChars / columnScale_ +
                                                        (hmaxChars % columnScale_ ? 1 : 0)));
    horizontalScrollBar()->setPageStep(std::max(1, visibleColumns() / int(columnScale_)));
    horizontalScrollBar()->setSingleStep(1);
    setColumn(firstColumn);
    adjusting_ = wasAdjusting;
}

std::uint64_t LogView::firstVisibleLine() const {
    return static_cast<std::uint64_t>(verticalScrollBar()->value());
}

std::uint64_t LogView::firstVisibleColumn() const {
    return static_cast<std::uint64_t>(horizontalScrollBar()->value()) * columnScale_;
}

void LogView::setColumn(std::uint64_t column) {
    horizontalScrollBar()->setValue(static_cast<int>(
        std::min<std::uint64_t>(column / columnScale_, std::uint64_t(horizontalScrollBar()->maximum()))));
}

bool LogView::atEnd() const {
    if (verticalScrollBar()->value() != verticalScrollBar()->maximum())
        return false;
    if (!content_)
        return true;
    // The end of the last line is in view.
    const std::uint64_t lastLength = content_->lineLength(content_->lineCount() - 1);
    const std::uint64_t first = firstVisibleColumn();
    return lastLength >= first && lastLength < first + visibleColumns() + columnScale_;
}

void LogView::scrollToEnd() {
    const bool wasAdjusting = adjusting_;
    adjusting_ = true;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    const std::uint64_t lastLength =
        content_ ? content_->lineLength(content_->lineCount() - 1) : 0;
    const std::uint64_t cols = visibleColumns();
    setColumn(lastLength + 1 > cols ? lastLength + 1 - cols : 0);
    adjusting_ = wasAdjusting;
    following_ = true;
    viewport()->update();
}

void LogView::userScrolled() {
    if (!adjusting_)
        following_ = atEnd();
}

void LogView::scrollContentsBy(int, int) { viewport()->update(); }

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (following_)
        scrollToEnd();
}

void LogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    if (!content_)
        return;
    const QPalette& pal = palette();
    painter.setPen(pal.color(QPalette::Text));
    const int ascent = fontMetrics().ascent();
    const std::uint64_t firstLine = firstVisibleLine();
    const std::uint64_t firstColumn = firstVisibleColumn();
    const int columns = visibleColumns() + 1;
    const LogPosition selFrom = std::min(anchor_, cursor_);
    const LogPosition selTo = std::max(anchor_, cursor_);
    const bool dataBytes = content_->holdsDataBytes();

    std::string bytes;
    QString text;
    QString marks; // the highlighted cells' characters, blanks elsewhere
    for (int row = 0; row <= visibleLines(); ++row) {
        const std::uint64_t line = firstLine + row;
        if (line >= content_->lineCount())
            break;
        bytes.clear();
        content_->renderLine(line, firstColumn, columns, bytes);
        const int y = row * lineHeight_;

        // Selection: the part of this line between the two ends, and the line
        // break after it when the selection goes on.
        if (selFrom < selTo && line >= selFrom.line && line <= selTo.line) {
            const std::uint64_t from = line == selFrom.line ? selFrom.column : 0;
            const std::uint64_t to = line == selTo.line ? selTo.column : bytes.size() + firstColumn + 1;
            const std::int64_t x0 = std::int64_t(from) - std::int64_t(firstColumn);
            const std::int64_t x1 = std::int64_t(to) - std::int64_t(firstColumn);
            const std::int64_t a = std::clamp<std::int64_t>(x0, 0, columns);
            const std::int64_t b = std::clamp<std::int64_t>(x1, 0, columns);
            if (b > a)
                painter.fillRect(int(a) * charWidth_, y, int(b - a) * charWidth_, lineHeight_,
                                 pal.color(QPalette::Highlight));
        }

        text.resize(static_cast<qsizetype>(bytes.size()));
        marks.fill(QChar(u' '), static_cast<qsizetype>(bytes.size()));
        bool anyMarked = false;
        int runStart = -1; // a run of highlighted cells, drawn as one rectangle
        for (std::size_t i = 0; i <= bytes.size(); ++i) {
            bool highlighted = false;
            if (i < bytes.size()) {
                const auto b = static_cast<unsigned char>(bytes[i]);
                if (!dataBytes) {
                    text[qsizetype(i)] = QChar(char16_t(b));
                } else {
                    const DisplayCell cell = DisplayCharacter(b);
                    highlighted = cell.highlighted;
                    text[qsizetype(i)] = highlighted ? QChar(u' ') : cell.character;
                    if (highlighted)
                        marks[qsizetype(i)] = cell.character;
                }
            }
            if (highlighted && runStart < 0) {
                runStart = int(i);
            } else if (!highlighted && runStart >= 0) {
                painter.fillRect(runStart * charWidth_, y, (int(i) - runStart) * charWidth_,
                                 lineHeight_, pal.color(QPalette::Mid));
                runStart = -1;
                anyMarked = true;
            }
        }
        if (anyMarked) {
            painter.setPen(pal.color(QPalette::BrightText));
            drawCells(painter, marks, y + ascent);
            painter.setPen(pal.color(QPalette::Text));
        }
        drawCells(painter, text, y + ascent);
    }
}

// Draws one character per cell. Monospaced glyphs go straight to their cells
// (no text shaping, so a screen draws fast and columns never drift); a
// character the font lacks falls back to ordinary text drawing.
void LogView::drawCells(QPainter& painter, const QString& cells, int baseline) const {
    if (cells.isEmpty())
        return;
    const QList<quint32> glyphs = rawFont_.isValid() ? rawFont_.glyphIndexesForString(cells)
                                                     : QList<quint32>();
    if (glyphs.size() != cells.size() || glyphs.contains(0u)) {
        for (qsizetype i = 0; i < cells.size(); ++i)
            painter.drawText(int(i) * charWidth_, baseline, QString(cells[i]));
        return;
    }
    QList<QPointF> positions(glyphs.size());
    for (qsizetype i = 0; i < positions.size(); ++i)
        positions[i] = QPointF(double(i * charWidth_), 0);
    QGlyphRun run;
    run.setRawFont(rawFont_);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    painter.drawGlyphRun(QPointF(0, baseline), run);
}

LogPosition LogView::positionAt(const QPoint& point) const {
    if (!content_)
        return {};
    const std::int64_t row = point.y() < 0 ? -1 : point.y() / lineHeight_;
    std::int64_t line = std::int64_t(firstVisibleLine()) + row;
    line = std::clamp<std::int64_t>(line, 0, std::int64_t(content_->lineCount()) - 1);
    const std::int64_t col = std::int64_t(firstVisibleColumn()) +
                             std::max(0, (point.x() + charWidth_ / 2)) / charWidth_;
    const std::uint64_t length = content_->lineLength(std::uint64_t(line));
    return {std::uint64_t(line), std::min<std::uint64_t>(std::uint64_t(std::max<std::int64_t>(col, 0)), length)};
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    cursor_ = positionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier))
        anchor_ = cursor_;
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint p = event->position().toPoint();
    // Dragging past an edge scrolls that way.
    if (p.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (p.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    if (p.x() < 0)
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (p.x() > viewport()->width())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    cursor_ = positionAt(p);
    viewport()->update();
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double click selects the whole line.
    const LogPosition p = positionAt(event->position().toPoint());
    anchor_ = {p.line, 0};
    cursor_ = {p.line, content_ ? content_->lineLength(p.line) : 0};
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        scrollToEnd();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        verticalScrollBar()->setValue(0);
        horizontalScrollBar()->setValue(0);
    } else if (event->key() == Qt::Key_Home) {
        horizontalScrollBar()->setValue(0);
    } else if (event->key() == Qt::Key_End) {
        horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event); // arrows and page keys
    }
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction(tr("Kopyala"), this, &LogView::copy);
    copyAction->setEnabled(hasSelection());
    menu.addAction(tr("Tümünü Seç"), this, &LogView::selectAll);
    menu.exec(event->globalPos());
}

void LogView::selectAll() {
    if (!content_)
        return;
    anchor_ = {};
    cursor_ = content_->end();
    viewport()->update();
}

QString LogView::toDisplayCopy(const std::string& text) const {
    QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
    const bool dataBytes = content_ && content_->holdsDataBytes();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        out[qsizetype(i)] = dataBytes ? CopyCharacter(b) : QChar(char16_t(b));
    }
    return out;
}

QString LogView::toPlainText() const {
    return content_ ? toDisplayCopy(content_->text()) : QString();
}

QString LogView::selectedText() const {
    if (!content_ || !hasSelection())
        return {};
    return toDisplayCopy(content_->text(std::min(anchor_, cursor_), std::max(anchor_, cursor_)));
}

void LogView::copy() const {
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

} // namespace km40r
