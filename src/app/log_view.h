// LogView: a scrolling view over one traffic log.
//
// Principles of operation: the view owns no text. It asks its LogContent for
// the characters of the lines on screen, and only those, at each paint, so
// drawing costs the same at any log size, and a line of any length scrolls
// horizontally without being rendered whole. Changes to the log are batched:
// contentChanged() only marks the view, and one timer at the screen's rate
// updates the scroll bars and repaints, however many chunks arrived meanwhile.
//
// While the user is at the end (the last line's end in view) the view follows
// the end as the log grows; once the user scrolls away it stays put, and
// scrolling back to the end (or Ctrl+End) makes it follow again.
//
// Text logs show their bytes through code page 1254 in a monospaced font.
// Bytes that are not printable (control bytes, DEL, the code page's undefined
// bytes) are drawn visibly in a highlighted cell: a control byte as its caret
// letter (NUL as '@', ESC as '['), DEL as '?', an undefined byte as '?'.
// Copying gives the bytes themselves, each as the character of its code.
#pragma once

#include "core/traffic_log.h"

#include <QAbstractScrollArea>
#include <QRawFont>
#include <QTimer>

class QPainter;

namespace km40r {

// How a text log draws one byte: the character, and whether it is shown in a
// highlighted cell because the byte is not printable text.
struct DisplayCell {
    QChar character;
    bool highlighted = false;
};
DisplayCell DisplayCharacter(unsigned char byte);

// The character a byte of a text log becomes when copied: its code page 1254
// character, or for the undefined bytes the character with the byte's code.
QChar CopyCharacter(unsigned char byte);

class LogView : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(QString plainText READ toPlainText)

public:
    static constexpr int kRepaintIntervalMs = 16;

    explicit LogView(QWidget* parent = nullptr);

    void setContent(const LogContent* content);
    const LogContent* content() const { return content_; }

    // The log grew or was emptied: repaint at the next frame.
    void contentChanged();

    // The whole text, and the selected text, as the log holds it.
    QString toPlainText() const;
    QString selectedText() const;
    bool hasSelection() const { return anchor_ != cursor_; }

    void selectAll();
    void copy() const;
    void scrollToEnd();
    bool followsEnd() const { return following_; }

    // Applies a pending change now instead of at the next frame.
    void flushPendingChange();

    // The first line and column on screen.
    std::uint64_t firstVisibleLine() const;
    std::uint64_t firstVisibleColumn() const;
    int visibleLines() const;
    int visibleColumns() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void applyChange();
    void updateScrollBars();
    void userScrolled();
    bool atEnd() const;
    void setColumn(std::uint64_t column);
    LogPosition positionAt(const QPoint& point) const;
    QString toDisplayCopy(const std::string& text) const;
    void drawCells(QPainter& painter, const QString& cells, int y) const;

    const LogContent* content_ = nullptr;
    QTimer repaintTimer_;
    bool following_ = true;
    bool adjusting_ = false; // scroll bars moved by the view itself
    std::uint64_t columnScale_ = 1; // characters per horizontal scroll-bar step
    LogPosition anchor_;
    LogPosition cursor_;
    QRawFont rawFont_;       // glyphs placed cell by cell, without text shaping
    int charWidth_ = 1;
    int lineHeight_ = 1;
};

} // namespace km40r
