#include "app/globals.h"
#include "app/log_view.h"
#include "app/window_fixture.h"
#include "core/byte_render.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

using namespace km40r;
using namespace km40r::test;

namespace {

using LogsTest = WindowTest;

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

TEST(LogViewCharacters, UnprintableBytesAreShownVisiblyAndCopiedAsThemselves) {
    struct Case {
        unsigned char byte;
        char16_t shown;
        bool highlighted;
        char16_t copied;
    };
    const Case cases[] = {
        {0x00, u'@', true, 0x0000}, {0x1B, u'[', true, 0x001B}, {0x09, u'I', true, 0x0009},
        {0x7F, u'?', true, 0x007F}, {0x81, u'?', true, 0x0081}, {0x9D, u'?', true, 0x009D},
        {'A', u'A', false, u'A'},   {0xFD, u'ı', false, u'ı'},  {0xDE, u'Ş', false, u'Ş'},
        {0x80, u'€', false, u'€'},  {0xAD, u'-', false, 0x00AD}, {0xA0, 0xA0, false, 0xA0},
    };
    for (const Case& c : cases) {
        const DisplayCell cell = DisplayCharacter(c.byte);
        EXPECT_EQ(cell.character, QChar(c.shown)) << int(c.byte);
        EXPECT_EQ(cell.highlighted, c.highlighted) << int(c.byte);
        EXPECT_EQ(CopyCharacter(c.byte), QChar(c.copied)) << int(c.byte);
    }
}

TEST_F(LogsTest, AnExchangeInClientModeShowsInAllSixLogs) {
    TfMain& w = open();
    LinkMode = "client";
    w.AppendReceived("ready\r\n");
    w.LogSent("AB\r\n");
    w.AppendReceived("OK");
    w.Bilgi("TCP Client Ba\xF0land\xFD");
    EXPECT_EQ(w.MemoGiden->toPlainText(), QStringLiteral("AB\r\n\r\nTCP Client Bağlandı\r\n"));
    EXPECT_EQ(w.memogidendec->toPlainText(), "65-66-13-10-\r\n");
    EXPECT_EQ(w.memogidenhex->toPlainText(), "41-42-0D-0A-\r\n");
    EXPECT_EQ(w.MemoGelen->toPlainText(), "ready\r\n\r\nOK");
    EXPECT_EQ(w.memogelendec->toPlainText(), "114-101-97-100-121-13-10-\r\n79-75-");
    EXPECT_EQ(w.memogelenhex->property("plainText").toString(), "72-65-61-64-79-0D-0A-\r\n4F-4B-");

    // In "com" mode the received text gets no line break from a send.
    LinkMode = "com";
    w.LogSent("x");
    w.AppendReceived("!");
    EXPECT_EQ(w.MemoGelen->toPlainText(), "ready\r\n\r\nOK!");
    EXPECT_EQ(w.memogelenhex->toPlainText(), "72-65-61-64-79-0D-0A-\r\n4F-4B-\r\n21-");
    LinkMode.clear();
}

TEST_F(LogsTest, TemizleEmptiesTheSixLogsAndTheNextChunkStartsAtTheTop) {
    TfMain& w = open();
    LinkMode = "master";
    for (int i = 0; i < 500; ++i)
        w.AppendReceived("line\r\n");
    w.LogSent("abc");
    w.MemoGelen->flushPendingChange();
    EXPECT_GT(w.MemoGelen->firstVisibleLine(), 0u);
    QTest::mouseClick(w.btntemizle, Qt::LeftButton);
    for (LogView* v : {w.MemoGiden, w.MemoGelen, w.memogidenhex, w.memogelenhex, w.memogidendec,
                       w.memogelendec})
        EXPECT_EQ(v->toPlainText(), "") << v->objectName().toStdString();
    w.AppendReceived("new");
    w.MemoGelen->flushPendingChange();
    EXPECT_EQ(w.MemoGelen->firstVisibleLine(), 0u);
    EXPECT_EQ(w.MemoGelen->toPlainText(), "new");
    LinkMode.clear();
}

TEST_F(LogsTest, RepaintsAreBatchedNotPerChunk) {
    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(50);
    PaintCounter counter(w.MemoGelen->viewport());
    for (int i = 0; i < 2000; ++i)
        w.AppendReceived("some data\r\n");
    EXPECT_EQ(counter.paints, 0); // appending paints nothing by itself
    QTest::qWait(4 * LogView::kRepaintIntervalMs);
    EXPECT_GE(counter.paints, 1);
    EXPECT_LE(counter.paints, 3);
    EXPECT_EQ(w.MemoGelen->content()->lineCount(), 2001u);
}

TEST_F(LogsTest, FollowsTheEndUntilTheUserScrollsAway) {
    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    LogView* v = w.MemoGelen;
    const auto lastLineOnScreen = [v] {
        return v->firstVisibleLine() + v->visibleLines() >= v->content()->lineCount();
    };
    for (int i = 0; i < 300; ++i)
        w.AppendReceived("line\n");
    v->flushPendingChange();
    EXPECT_TRUE(lastLineOnScreen());
    EXPECT_TRUE(v->followsEnd());

    v->verticalScrollBar()->setValue(10); // the user looks back
    EXPECT_FALSE(v->followsEnd());
    for (int i = 0; i < 300; ++i)
        w.AppendReceived("more\n");
    v->flushPendingChange();
    EXPECT_EQ(v->firstVisibleLine(), 10u); // stays put

    v->setFocus();
    QTest::keyClick(v, Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(v->followsEnd());
    w.AppendReceived("last\n");
    v->flushPendingChange();
    EXPECT_TRUE(lastLineOnScreen());

    QTest::keyClick(v, Qt::Key_PageUp);
    EXPECT_FALSE(v->followsEnd());
    EXPECT_FALSE(lastLineOnScreen());
}

TEST_F(LogsTest, AnEndlessLineScrollsWithoutRenderingItWhole) {
    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    std::string chunk(64 * 1024, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 7 + 3);
    for (int i = 0; i < 64; ++i) // 4 MiB, no line break anywhere in the renderings
        w.AppendReceived(chunk);
    LogView* hex = w.memogelenhex;
    hex->flushPendingChange();
    EXPECT_EQ(hex->content()->lineCount(), 1u);
    EXPECT_EQ(hex->content()->maxLineLength(), 3u * 4 * 1024 * 1024);
    // Following the end, the line's tail is on screen.
    EXPECT_GE(hex->firstVisibleColumn() + hex->visibleColumns(), 3u * 4 * 1024 * 1024);
    // The middle of the line, on screen at once.
    hex->horizontalScrollBar()->setValue(hex->horizontalScrollBar()->maximum() / 2);
    const std::uint64_t column = hex->firstVisibleColumn();
    std::string shown;
    hex->content()->renderLine(0, column, 30, shown);
    std::string expected;
    for (std::uint64_t c = column; c < column + 30; ++c)
        expected += BytesToHex(std::string(1, chunk[(c / 3) % chunk.size()]))[c % 3];
    EXPECT_EQ(shown, expected);
    EXPECT_FALSE(hex->grab().isNull());
}

TEST_F(LogsTest, MouseSelectionCopiesTheLogsOwnText) {
    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.AppendReceived(std::string("ab\x01" "cd\r\nxyz\r\n", 10));
    LogView* v = w.MemoGelen;
    v->flushPendingChange();
    const int cw = v->fontMetrics().horizontalAdvance(QLatin1Char('M'));
    const int lh = v->fontMetrics().height();
    // From the start of line 0 to column 2 of line 1.
    QTest::mousePress(v->viewport(), Qt::LeftButton, {}, QPoint(1, lh / 2));
    QTest::mouseMove(v->viewport(), QPoint(2 * cw + 1, lh + lh / 2));
    QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, QPoint(2 * cw + 1, lh + lh / 2));
    EXPECT_EQ(v->selectedText(), QString::fromUtf16(u"ab\u0001cd\r\nxy"));
    v->setFocus();
    QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf16(u"ab\u0001cd\r\nxy"));
    QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(v->selectedText(), v->toPlainText());
}
