#include "app/main_window.h"

#include "app/application.h"
#include "app/cp1254_qt.h"
#include "app/error_box.h"
#include "app/globals.h"
#include "app/log_view.h"
#include "core/boolean.h"
#include "core/file_version.h"
#include "core/outgoing.h"
#include "core/settings_file.h"
#include "core/text.h"
#include "serial/com_port.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWindow>

namespace km40r {
namespace {

const QColor kBackground(243, 248, 255);
constexpr int kClientWidth = 1008;
constexpr int kClientHeight = 730;
constexpr int kRightAreaWidth = 260;
constexpr int kRightAreaMinWidth = 240;
constexpr int kSentLogHeight = 161;
constexpr int kSplitterWidth = 4;

template <class W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QPushButton* button(const QString& caption, const char* name) {
    return named(new QPushButton(caption), name);
}

// A link button: as wide as the style likes, but narrower when space is short.
QPushButton* linkButton(const QString& caption, const char* name) {
    auto* b = button(caption, name);
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(caption) + 20);
    return b;
}

QComboBox* listCombo(const char* name, const QStringList& items, const QString& text,
                     int minimumCharacters) {
    auto* box = named(new QComboBox, name);
    box->addItems(items);
    box->setMinimumContentsLength(minimumCharacters);
    box->setCurrentText(text);
    return box;
}

QLineEdit* edit(const char* name, const QString& text = {}) {
    return named(new QLineEdit(text), name);
}

QCheckBox* check(const QString& caption, const char* name) {
    auto* box = named(new QCheckBox(caption), name);
    box->setChecked(true); // all six options are ticked as designed
    return box;
}

LogView* log(const char* name, const LogContent& content) {
    auto* view = named(new LogView, name);
    view->setContent(&content);
    return view;
}

// Shows a stored text in a combo box. A list-only combo that lacks the text
// gets it as an extra item, so that a stored setting is never hidden.
void setComboText(QComboBox* box, const QString& text) {
    if (box->isEditable()) {
        box->setEditText(text);
        return;
    }
    int index = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) {
        box->addItem(text);
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

QWidget* labelled(const QString& caption, QWidget* control) {
    auto* box = new QWidget;
    auto* lay = new QVBoxLayout(box);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(1);
    lay->addWidget(new QLabel(caption));
    lay->addWidget(control);
    return box;
}

} // namespace

TfMain::TfMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("fMain"));
    setWindowTitle(QStringLiteral("KM40R Ayar Programı"));
    setFont(DesignFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    setPalette(pal);
    setAutoFillBackground(true);

    auto* left = new QWidget;
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);
    leftLayout->addWidget(buildLinkPages());
    leftLayout->addWidget(buildInputStrip());
    leftLayout->addWidget(buildLogPages(), 1);

    cxSplitter1 = named(new QSplitter(Qt::Horizontal), "cxSplitter1");
    cxSplitter1->setHandleWidth(kSplitterWidth);
    cxSplitter1->setChildrenCollapsible(false);
    cxSplitter1->addWidget(left);
    cxSplitter1->addWidget(buildSettingsPages());
    cxSplitter1->setStretchFactor(0, 1);
    cxSplitter1->setStretchFactor(1, 0);
    cxSplitter1->setSizes({kClientWidth - kRightAreaWidth - kSplitterWidth, kRightAreaWidth});
    setCentralWidget(cxSplitter1);

    StatusText = named(new QLabel(QStringLiteral("www.km40r.example")), "StatusText");
    statusBar()->setObjectName(QStringLiteral("StatusBar"));
    statusBar()->setSizeGripEnabled(false);
    statusBar()->setFixedHeight(20);
    statusBar()->addWidget(StatusText, 1);

    Timer1 = named(new QTimer(this), "Timer1");
    Timer1->setInterval(100);
    Timer2 = named(new QTimer(this), "Timer2");
    Timer2->setInterval(5000);

    // Initial control states, before any link is opened.
    DisableButtons();
    btncomkes->setEnabled(false);
    btnclientkes->setEnabled(false);
    btnmasterkes->setEnabled(false);

    createSerialPort();
    createTcpSockets();
    connectHandlers();

    resize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    applyMinimumSize();

    // Program-wide state starts afresh with the window.
    LinkMode.clear();
    TickCount = 0;
    LastConnectionCount = 0;
    ComboItems.reset();

    FormCreate();

    Timer1->start();
    Timer2->start();
}

TfMain::~TfMain() {
    // The port closes before the window's state goes, and tells nobody.
    CP1->OnPortClose = nullptr;
    CP1->OnPortOpen = nullptr;
    CP1->ReceiveCallBack = nullptr;
    CP1->OnError = nullptr;
    delete CP1;
    releaseTcpSockets();
}

QWidget* TfMain::buildLinkPages() {
    PC1 = named(new QTabWidget, "PC1");
    PC1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    // Serial port.
    tbcom = named(new QWidget, "tbcom");
    cxcomport = named(new QComboBox, "cxcomport");
    cxcomport->setEditable(true);
    cxcomport->setEditText(QStringLiteral("COM1"));
    cxcomport->setMinimumContentsLength(6);
    btnsearch = named(new QToolButton, "btnsearch");
    btnsearch->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    btnsearch->setToolTip(QStringLiteral("Portları ara"));
    cxbaud = listCombo("cxbaud",
                       {"2400", "4800", "9600", "19200", "28800", "38400", "56000", "57600", "115200"},
                       "9600", 6);
    cxdatabit = listCombo("cxdatabit", {"7", "8"}, "8", 1);
    cxparity = listCombo("cxparity", {"Yok", "Even", "Odd"}, "Yok", 4);
    cxstopbit = listCombo("cxstopbit", {"1", "2"}, "1", 1);
    btncombaglan = linkButton(QStringLiteral("Baglan"), "btncombaglan");
    btncomkes = linkButton(QStringLiteral("Kes"), "btncomkes");
    {
        auto* port = new QWidget;
        auto* portRow = new QHBoxLayout(port);
        portRow->setContentsMargins(0, 0, 0, 0);
        portRow->setSpacing(2);
        portRow->addWidget(cxcomport, 1);
        portRow->addWidget(btnsearch);
        auto* lay = new QHBoxLayout(tbcom);
        lay->setContentsMargins(6, 3, 6, 3);
        lay->setSpacing(4);
        lay->addWidget(labelled(QStringLiteral("Comport"), port), 2);
        lay->addWidget(labelled(QStringLiteral("Baudrate"), cxbaud), 2);
        lay->addWidget(labelled(QStringLiteral("Data Bit"), cxdatabit), 1);
        lay->addWidget(labelled(QStringLiteral("Parity"), cxparity), 1);
        lay->addWidget(labelled(QStringLiteral("Stop Bit"), cxstopbit), 1);
        lay->addWidget(btncombaglan, 0, Qt::AlignBottom);
        lay->addWidget(btncomkes, 0, Qt::AlignBottom);
    }
    PC1->addTab(tbcom, QStringLiteral("Seri Port"));

    // TCP client.
    tbclient = named(new QWidget, "tbclient");
    cxclientip = edit("cxclientip", QStringLiteral("127.0.0.1"));
    cxclientport = edit("cxclientport", QStringLiteral("7890"));
    btnclientbaglan = linkButton(QStringLiteral("Baglan"), "btnclientbaglan");
    btnclientkes = linkButton(QStringLiteral("Kes"), "btnclientkes");
    {
        auto* lay = new QHBoxLayout(tbclient);
        lay->setContentsMargins(6, 3, 6, 3);
        lay->addWidget(labelled(QStringLiteral("Hedef IP"), cxclientip), 3);
        lay->addWidget(labelled(QStringLiteral("Port"), cxclientport), 1);
        lay->addWidget(btnclientbaglan, 0, Qt::AlignBottom);
        lay->addWidget(btnclientkes, 0, Qt::AlignBottom);
        lay->addStretch(2);
    }
    PC1->addTab(tbclient, QStringLiteral("TCP Client"));

    // TCP server.
    tbmaster = named(new QWidget, "tbmaster");
    cxmasterport = edit("cxmasterport", QStringLiteral("7890"));
    btnmasterbaglan = linkButton(QStringLiteral("Aktif"), "btnmasterbaglan");
    btnmasterkes = linkButton(QStringLiteral("Pasif"), "btnmasterkes");
    cxsocket = named(new QComboBox, "cxsocket");
    cxsocket->setEditable(true);
    cxsocket->setMinimumContentsLength(12);
    {
        auto* lay = new QHBoxLayout(tbmaster);
        lay->setContentsMargins(6, 3, 6, 3);
        lay->addWidget(labelled(QStringLiteral("Port"), cxmasterport), 1);
        lay->addWidget(btnmasterbaglan, 0, Qt::AlignBottom);
        lay->addWidget(btnmasterkes, 0, Qt::AlignBottom);
        lay->addWidget(labelled(QStringLiteral("Socket"), cxsocket), 3);
        lay->addStretch(1);
    }
    PC1->addTab(tbmaster, QStringLiteral("TCP Master"));
    return PC1;
}

QWidget* TfMain::buildInputStrip() {
    auto* strip = named(new QWidget, "InputStrip");
    strip->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    strip->setMinimumHeight(32);
    cxveri = edit("cxveri");
    btngonder = button(QStringLiteral("Gönder"), "btngonder");
    btntemizle = button(QStringLiteral("Temizle"), "btntemizle");
    auto* lay = new QHBoxLayout(strip);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->addWidget(cxveri, 1);
    lay->addWidget(btngonder);
    lay->addWidget(btntemizle);
    return strip;
}

QWidget* TfMain::buildLogPages() {
    PC3 = named(new QTabWidget, "PC3");
    PC3->setTabPosition(QTabWidget::South);
    using Log = TrafficLogs::Log;
    MemoGiden = log("MemoGiden", logs_.log(Log::MemoGiden));
    MemoGelen = log("MemoGelen", logs_.log(Log::MemoGelen));
    memogidenhex = log("memogidenhex", logs_.log(Log::memogidenhex));
    memogelenhex = log("memogelenhex", logs_.log(Log::memogelenhex));
    memogidendec = log("memogidendec", logs_.log(Log::memogidendec));
    memogelendec = log("memogelendec", logs_.log(Log::memogelendec));

    const auto page = [](const char* name, QWidget* sent, QWidget* received) {
        auto* w = named(new QWidget, name);
        auto* split = new QSplitter(Qt::Vertical);
        split->setObjectName(QLatin1String(name) + QStringLiteral("Splitter"));
        split->setHandleWidth(kSplitterWidth);
        split->setChildrenCollapsible(false);
        split->addWidget(sent);
        split->addWidget(received);
        split->setStretchFactor(0, 0);
        split->setStretchFactor(1, 1);
        split->setSizes({kSentLogHeight, 400});
        auto* lay = new QVBoxLayout(w);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->addWidget(split);
        return w;
    };
    tbascii = page("tbascii", MemoGiden, MemoGelen);
    tbhex = page("tbhex", memogidenhex, memogelenhex);
    tbdec = page("tbdec", memogidendec, memogelendec);
    PC3->addTab(tbascii, QStringLiteral("ASCII"));
    PC3->addTab(tbhex, QStringLiteral("HEX"));
    PC3->addTab(tbdec, QStringLiteral("DEC"));
    return PC3;
}

QWidget* TfMain::buildSettingsPages() {
    PC2 = named(new QTabWidget, "PC2");
    PC2->setMinimumWidth(kRightAreaMinWidth);
    PC2->addTab(buildCatalogPage(), QStringLiteral("Cihaz Ayarlari"));
    PC2->addTab(buildMacroPage(), QStringLiteral("Makrolar"));
    PC2->addTab(buildOptionsPage(), QStringLiteral("Ayarlar"));
    return PC2;
}

QWidget* TfMain::buildCatalogPage() {
    tbcihazayar = named(new QWidget, "tbcihazayar");

    cxGrid1 = named(new QFrame, "cxGrid1");
    cxtv1 = named(new QTreeView(cxGrid1), "cxtv1");
    setUpCatalogueGrid();
    {
        auto* lay = new QVBoxLayout(cxGrid1);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->addWidget(cxtv1);
    }

    cxGroupBox1 = named(new QGroupBox(QStringLiteral("Ayar Degeri")), "cxGroupBox1");
    cxGroupBox1->setFixedHeight(255);
    cxayarcombo = named(new QComboBox, "cxayarcombo");
    cxayarcombo->setEditable(true);
    cxayartext = edit("cxayartext");
    btnoku = button(QStringLiteral("Oku"), "btnoku");
    btnyaz = button(QStringLiteral("Yaz"), "btnyaz");
    for (QPushButton* b : {btnoku, btnyaz})
        b->setFixedSize(75, 25);
    lblayaraciklama = named(new QLabel(QStringLiteral("Ayar Açiklama Metni")), "lblayaraciklama");
    lblayaraciklama->setWordWrap(true);
    lblayaraciklama->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblayaraciklama->setFixedHeight(90);
    btnayarbaslangic = button(QStringLiteral("Baslangiç Metni"), "btnayarbaslangic");
    btnayarson = button(QStringLiteral("Sonlandirma Metni"), "btnayarson");
    {
        auto* lay = new QVBoxLayout(cxGroupBox1);
        lay->setContentsMargins(6, 6, 6, 6);
        lay->addWidget(cxayarcombo);
        lay->addWidget(cxayartext);
        auto* rw = new QHBoxLayout;
        rw->addStretch(1);
        rw->addWidget(btnoku);
        rw->addWidget(btnyaz);
        lay->addLayout(rw);
        lay->addWidget(lblayaraciklama);
        lay->addStretch(1);
        auto* frame = new QHBoxLayout;
        frame->addWidget(btnayarbaslangic);
        frame->addStretch(1);
        frame->addWidget(btnayarson);
        lay->addLayout(frame);
    }

    auto* lay = new QVBoxLayout(tbcihazayar);
    lay->setContentsMargins(2, 2, 2, 2);
    lay->addWidget(cxGrid1, 1);
    lay->addWidget(cxGroupBox1);
    return tbcihazayar;
}

QWidget* TfMain::buildMacroPage() {
    tbmakro = named(new QWidget, "tbmakro");
    ScrollBox1 = named(new QScrollArea, "ScrollBox1");
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    ScrollBox1->setWidgetResizable(true);
    auto* rows = new QWidget;
    rows->setObjectName(QStringLiteral("ScrollBox1Contents"));
    rows->setAutoFillBackground(false);
    auto* lay = new QVBoxLayout(rows);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->setSpacing(3);
    for (int n = 1; n <= kMacroCount; ++n) {
        // Slots 1..18 have buttons btnm1..btnm18; slots 19..33 cxButton1..cxButton15.
        const QString name = n <= 18 ? QStringLiteral("btnm%1").arg(n)
                                     : QStringLiteral("cxButton%1").arg(n - 18);
        auto* b = new QPushButton(QStringLiteral("M%1").arg(n));
        b->setObjectName(name);
        b->setProperty("Tag", n);
        b->setFixedSize(38, 22);
        auto* e = new QLineEdit;
        e->setObjectName(QStringLiteral("cxmakro%1").arg(n));
        macroButtons_[n - 1] = b;
        macroEdits_[n - 1] = e;
        auto* row = new QHBoxLayout;
        row->setSpacing(4);
        row->addWidget(b);
        row->addWidget(e, 1);
        lay->addLayout(row);
    }
    lay->addStretch(1);
    ScrollBox1->setWidget(rows);
    auto* pageLayout = new QVBoxLayout(tbmakro);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->addWidget(ScrollBox1);
    return tbmakro;
}

QWidget* TfMain::buildOptionsPage() {
    tbayar = named(new QWidget, "tbayar");
    chenter = check(QStringLiteral("Enter Tuslandiginda Gönder"), "chenter");
    chcrlf = check(QStringLiteral("Veri sonuna CR+LF Ekle"), "chcrlf");
    chdec = check(QStringLiteral("# sonraki üç karaker Byte deger"), "chdec");
    chhex = check(QStringLiteral("$ sonraki iki karakter HEX deger"), "chhex");
    cxbaslangic = edit("cxbaslangic", QStringLiteral("<BASLA>"));
    chbaslangic = check(QStringLiteral("Her iletisimde baslangiç metni gönder"), "chbaslangic");
    chexit = check(QStringLiteral("Her iletisim sonrasi EXIT metni gönder"), "chexit");
    btnkaydet = button(QStringLiteral("Kaydet"), "btnkaydet");

    auto* lay = new QVBoxLayout(tbayar);
    lay->setContentsMargins(8, 8, 8, 8);
    lay->addWidget(chenter);
    lay->addWidget(chcrlf);
    lay->addWidget(chdec);
    lay->addWidget(chhex);
    lay->addSpacing(6);
    lay->addWidget(new QLabel(QStringLiteral("Ayar Baslangiç Metni :")));
    lay->addWidget(cxbaslangic);
    lay->addSpacing(6);
    lay->addWidget(chbaslangic);
    lay->addWidget(chexit);
    lay->addSpacing(6);
    lay->addWidget(btnkaydet, 0, Qt::AlignRight);
    lay->addStretch(1);
    return tbayar;
}

void TfMain::connectHandlers() {
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { Guarded([this] { Timer2Timer(); }); });
    connect(btnkaydet, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnkaydetClick(); }); });
    connect(btntemizle, &QPushButton::clicked, this,
            [this] { Guarded([this] { btntemizleClick(); }); });
    connect(btngonder, &QPushButton::clicked, this,
            [this] { Guarded([this] { btngonderClick(); }); });
    connect(btncombaglan, &QPushButton::clicked, this,
            [this] { Guarded([this] { btncombaglanClick(); }); });
    connect(btnyaz, &QPushButton::clicked, this, [this] { Guarded([this] { btnyazClick(); }); });
    connect(btnoku, &QPushButton::clicked, this, [this] { Guarded([this] { btnokuClick(); }); });
    connect(btnayarbaslangic, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnayarbaslangicClick(); }); });
    connect(btnayarson, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnayarsonClick(); }); });
    connect(btncomkes, &QPushButton::clicked, this,
            [this] { Guarded([this] { btncomkesClick(); }); });
    connect(btnsearch, &QToolButton::clicked, this,
            [this] { Guarded([this] { btnsearchClick(); }); });
    connect(btnclientbaglan, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnclientbaglanClick(); }); });
    connect(btnclientkes, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnclientkesClick(); }); });
    connect(btnmasterbaglan, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnmasterbaglanClick(); }); });
    connect(btnmasterkes, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnmasterkesClick(); }); });
    for (QPushButton* b : macroButtons_)
        connect(b, &QPushButton::clicked, this, [this, b] { Guarded([this, b] { btnm1Click(b); }); });
    cxveri->installEventFilter(this);
}

void TfMain::FormCreate() {
    Guarded([this] {
        setWindowTitle(windowTitle() + QStringLiteral("    V: ") +
                       FromCp1254(FileVersionText(ExecutablePath())));
        fm.DBBaglan(ExecutableDirectory() + std::string(kCatalogueFileName));
        tayar.open();
        showCatalogue();
        ComboItems = std::make_unique<std::vector<std::string>>();
        loadSettings();
        PC1->setCurrentIndex(0);
        PC2->setCurrentIndex(0);
        PC3->setCurrentIndex(0);
        tayar.first();
        ayargoster();
    });
}

void TfMain::loadSettings() {
    const auto text = [](const char* section, const char* key, const char* def) {
        return FromCp1254(ReadIniValue(section, key, def));
    };
    const auto truth = [](QCheckBox* box, const char* key, bool def) {
        box->setChecked(ParseBoolean(ReadIniValue("ayar", key, BooleanToText(def))));
    };

    setComboText(cxcomport, text("com", "port", "COM1"));
    setComboText(cxbaud, text("com", "baud", "9600"));
    setComboText(cxdatabit, text("com", "databit", "8"));
    setComboText(cxparity, text("com", "parity", "Yok"));
    setComboText(cxstopbit, text("com", "stopbit", "1"));
    cxclientip->setText(text("client", "ip", "127.0.0.1"));
    cxclientport->setText(text("client", "port", "7890"));
    cxmasterport->setText(text("master", "port", "7890"));
    truth(chenter, "chenter", true);
    truth(chcrlf, "chcrlf", true);
    truth(chhex, "chhex", false);
    truth(chdec, "chdec", false);
    truth(chbaslangic, "chbaslangic", false);
    truth(chexit, "chexit", false);
    cxbaslangic->setText(text("ayar", "cxbaslangic", ""));
    for (int n = 1; n <= kMacroCount; ++n) {
        const std::string key = "makro" + std::to_string(n);
        macroEdit(n)->setText(FromCp1254(ReadIniValue("makro", key, "")));
    }
}

void TfMain::btnkaydetClick() {
    const auto flag = [](QCheckBox* box) { return BooleanToNumberText(box->isChecked()); };
    WriteIniValue("ayar", "chenter", flag(chenter));
    WriteIniValue("ayar", "chcrlf", flag(chcrlf));
    WriteIniValue("ayar", "chhex", flag(chhex));
    WriteIniValue("ayar", "chdec", flag(chdec));
    WriteIniValue("ayar", "cxbaslangic", TrimControl(ToCp1254(cxbaslangic->text())));
    WriteIniValue("ayar", "chbaslangic", flag(chbaslangic));
    WriteIniValue("ayar", "chexit", flag(chexit));
}

void TfMain::btntemizleClick() {
    logs_.clear();
    for (LogView* view : {MemoGelen, memogelendec, memogelenhex, MemoGiden, memogidendec, memogidenhex})
        view->contentChanged();
}

void TfMain::Bilgi(std::string_view text) {
    logs_.addSentTextLine(text);
    MemoGiden->contentChanged();
}

void TfMain::AddFramingLine(std::string_view text) {
    logs_.addSentTextLine(text);
    MemoGiden->contentChanged();
}

void TfMain::AppendReceived(std::string_view chunk) {
    if (chunk.empty())
        return;
    logs_.appendReceived(chunk);
    receivedLogsChanged();
}

void TfMain::LogSent(std::string_view bytes) {
    logs_.logSent(bytes, LinkMode == "client" || LinkMode == "master");
    sentLogsChanged();
    receivedLogsChanged();
}

void TfMain::sentLogsChanged() {
    for (LogView* view : {MemoGiden, memogidendec, memogidenhex})
        view->contentChanged();
}

void TfMain::receivedLogsChanged() {
    for (LogView* view : {MemoGelen, memogelendec, memogelenhex})
        view->contentChanged();
}

std::string TfMain::TransformOutgoing(std::string_view text) const {
    return km40r::TransformOutgoing(
        text, {chcrlf->isChecked(), chdec->isChecked(), chhex->isChecked()});
}

void TfMain::EnableButtons() {
    for (QPushButton* b : {btngonder, btnoku, btnyaz, btnayarbaslangic, btnayarson})
        b->setEnabled(true);
}

void TfMain::DisableButtons() {
    for (QPushButton* b : {btngonder, btnoku, btnyaz, btnayarbaslangic, btnayarson})
        b->setEnabled(false);
}

void TfMain::Timer1Timer() { ++TickCount; }

void TfMain::FormClose() {
    CP1->Close();
    ComboItems.reset();
}

void TfMain::closeEvent(QCloseEvent* event) {
    Guarded([this] { FormClose(); });
    QMainWindow::closeEvent(event);
}

bool TfMain::FormCanResize(int newOuterWidth, int newOuterHeight) {
    return newOuterWidth >= kMinOuterWidth && newOuterHeight >= kMinOuterHeight;
}

void TfMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    applyMinimumSize(); // the frame's size is known once the window is shown
}

void TfMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    applyMinimumSize(); // window managers may report the frame late
}

void TfMain::applyMinimumSize() {
    // The limits apply to the outer window; Qt's minimum size is the inner one.
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    setMinimumSize(kMinOuterWidth - frame.left() - frame.right(),
                   kMinOuterHeight - frame.top() - frame.bottom());
}

} // namespace km40r
