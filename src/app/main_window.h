// TfMain: the program's one window.
//
// Principles of operation: the window owns every control (each a member named
// as designed, with that name as its objectName) and runs every handler on the
// user-interface thread. Each handler is connected through Guarded(), so an
// error ends the handler and shows in the error box. The constructor builds
// the layout in its designed state and then runs FormCreate: caption with the
// file version, the catalogue, ComboItems, the 48 settings keys in table
// order, the first page of each page control. A failing step shows its error
// and skips the rest; the window opens anyway.
#pragma once

#include "catalogue/catalogue.h"
#include "core/traffic_log.h"
#include "net/socket_connection.h"

#include <QMainWindow>
#include <array>
#include <functional>
#include <string>
#include <string_view>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTabWidget;
class QKeyEvent;
class QTimer;
class QToolButton;
class QTreeView;
class QWidget;

namespace km40r {

class CatalogueGridModel;
class LogView;
class TComPort;
class TClientSocket;
class TServerSocket;

class TfMain : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kMacroCount = 33;
    static constexpr int kMinOuterWidth = 768;
    static constexpr int kMinOuterHeight = 570;

    explicit TfMain(QWidget* parent = nullptr);
    ~TfMain() override;

    // Whether a proposed outer window size is accepted.
    static bool FormCanResize(int newOuterWidth, int newOuterHeight);

    void EnableButtons();
    void DisableButtons();

    // Handlers.
    void FormCreate();
    void FormClose();
    void Timer1Timer();
    void Timer2Timer();
    void btnkaydetClick();
    void btntemizleClick();

    // The traffic logs. Texts and bytes are code page 1254.
    void Bilgi(std::string_view text);          // a status line in MemoGiden
    void AppendReceived(std::string_view chunk); // one received chunk, all three received logs
    void LogSent(std::string_view bytes);        // sent data, by the link in LinkMode
    void AddFramingLine(std::string_view text);  // start text or "<EXIT>", MemoGiden alone
    const TrafficLogs& trafficLogs() const { return logs_; }

    // The bytes a text becomes with the options ticked right now.
    std::string TransformOutgoing(std::string_view text) const;

    // The send routine: one exchange over the link LinkMode names (start
    // text, pause, data, pause, "<EXIT>" as the options say). Text is code
    // page 1254; it is transformed, sent and logged.
    void Gonder(std::string_view text);
    // Processes events until Timer1 has ticked twice (100 to 200 ms).
    void WaitTwoTicks();
    void btngonderClick();
    void cxveriKeyDown(const QKeyEvent& key);
    // The one handler of the 33 macro buttons; the slot is the sender's Tag.
    void btnm1Click(QObject* sender);

    // The serial link.
    void btncombaglanClick();
    void btncomkesClick();
    void btnsearchClick();
    void CP1PortOpen();
    void CP1PortClose();
    void CP1Error();
    void CP1ReceiveCallBack(const std::string& data);
    // The TCP client link (CS1) and the TCP server link (SS1).
    void btnclientbaglanClick();
    void btnclientkesClick();
    void CS1Connecting();
    void CS1Connect();
    void CS1Disconnect();
    void CS1Read(TSocketConnection* Socket);
    void CS1Error(TErrorEvent ErrorEvent, int& ErrorCode);
    void btnmasterbaglanClick();
    void btnmasterkesClick();
    void SS1ClientConnect();
    void SS1ClientDisconnect();
    void SS1ClientRead(TSocketConnection* Socket);
    // Lists SS1's connections in cxsocket, as "<address> (<socket number>)",
    // and selects the first.
    void masterlisteguncelle();
    // The catalogue page: the grid's events, the setting editor, the commands.
    void cxtv1CellClick();
    void cxtv1KeyUp();
    void ayargoster();
    void btnyazClick();
    void btnokuClick();
    void btnayarbaslangicClick();
    void btnayarsonClick();
    std::string writeCommand() const;
    std::string readCommand() const;

    // The data module with the catalogue connection, and the record set.
    Tfm fm;
    CatalogueRecordSet tayar{fm.DB};

    // Where the port search looks for the system's devices ("/sys").
    void setSystemRoot(std::string root) { sysRoot_ = std::move(root); }

    // The macro button and edit of slot n (1..33).
    QPushButton* macroButton(int n) const { return macroButtons_[n - 1]; }
    QLineEdit* macroEdit(int n) const { return macroEdits_[n - 1]; }

    // Link page control and its pages.
    QTabWidget* PC1;
    QWidget* tbcom;
    QComboBox* cxcomport;
    QToolButton* btnsearch;
    QComboBox* cxbaud;
    QComboBox* cxdatabit;
    QComboBox* cxparity;
    QComboBox* cxstopbit;
    QPushButton* btncombaglan;
    QPushButton* btncomkes;
    QWidget* tbclient;
    QLineEdit* cxclientip;
    QLineEdit* cxclientport;
    QPushButton* btnclientbaglan;
    QPushButton* btnclientkes;
    QWidget* tbmaster;
    QLineEdit* cxmasterport;
    QPushButton* btnmasterbaglan;
    QPushButton* btnmasterkes;
    QComboBox* cxsocket;

    // Input strip.
    QLineEdit* cxveri;
    QPushButton* btngonder;
    QPushButton* btntemizle;

    // Log page control and the six logs.
    QTabWidget* PC3;
    QWidget* tbascii;
    QWidget* tbhex;
    QWidget* tbdec;
    LogView* MemoGiden;
    LogView* MemoGelen;
    LogView* memogidenhex;
    LogView* memogelenhex;
    LogView* memogidendec;
    LogView* memogelendec;

    QSplitter* cxSplitter1;

    // Settings page control.
    QTabWidget* PC2;
    QWidget* tbcihazayar;
    QFrame* cxGrid1;
    QTreeView* cxtv1;
    QGroupBox* cxGroupBox1;
    QComboBox* cxayarcombo;
    QLineEdit* cxayartext;
    QPushButton* btnoku;
    QPushButton* btnyaz;
    QLabel* lblayaraciklama;
    QPushButton* btnayarbaslangic;
    QPushButton* btnayarson;
    QWidget* tbmakro;
    QScrollArea* ScrollBox1;
    QWidget* tbayar;
    QCheckBox* chenter;
    QCheckBox* chcrlf;
    QCheckBox* chdec;
    QCheckBox* chhex;
    QLineEdit* cxbaslangic;
    QCheckBox* chbaslangic;
    QCheckBox* chexit;
    QPushButton* btnkaydet;

    QLabel* StatusText;

    QTimer* Timer1;
    QTimer* Timer2;

    TComPort* CP1;
    TClientSocket* CS1;
    TServerSocket* SS1;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildLinkPages();
    QWidget* buildInputStrip();
    QWidget* buildLogPages();
    QWidget* buildSettingsPages();
    QWidget* buildCatalogPage();
    QWidget* buildMacroPage();
    QWidget* buildOptionsPage();
    void connectHandlers();
    void loadSettings();
    void applyMinimumSize();

    using SendTarget = std::function<void(std::string_view bytes)>;
    // The transmission of the link LinkMode names; empty when there is none.
    SendTarget chooseTarget();
    SendTarget clientTarget();
    SendTarget masterTarget();
    void createSerialPort();
    void createTcpSockets();
    // Releases CS1 and SS1 quietly, before the window's state goes.
    void releaseTcpSockets();
    void setUpCatalogueGrid();
    void showCatalogue();
    void sentLogsChanged();
    void receivedLogsChanged();

    TrafficLogs logs_;
    CatalogueGridModel* catalogueModel_ = nullptr;
    std::string sysRoot_ = "/sys";
    std::array<QPushButton*, kMacroCount> macroButtons_{};
    std::array<QLineEdit*, kMacroCount> macroEdits_{};
};

} // namespace km40r
