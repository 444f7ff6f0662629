// A window test on the traffic links: the lines the links write into the
// sent log, a device server on loopback for the TCP client link, and the
// steps a user takes to connect the client link or activate the server link.
#pragma once

#include "app/window_fixture.h"
#include "core/traffic_log.h"
#include "net/loopback_device.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QTest>
#include <QTimer>

#include <memory>
#include <string>

namespace km40r::test {

inline const QString kComOpen = QStringLiteral("Com Port Bağlandı\r\n");
inline const QString kComClosed = QStringLiteral("Com Port Bağlantı Kesildi\r\n");
inline const QString kConnecting = QStringLiteral("TCP Client Bağlanıyor...\r\n");
inline const QString kConnected = QStringLiteral("TCP Client Bağlandı\r\n");
inline const QString kClosed = QStringLiteral("TCP Client Bağlantı Kesildi\r\n");
inline const QString kClientError = QStringLiteral("TCP Client Hata Oluştu. Hata Kodu:");
inline const QString kArrived = QStringLiteral("TCP Master porta client bağlandı\r\n");
inline const QString kLeft = QStringLiteral("TCP Master porta client bağlantı kesildi\r\n");

class LinkWindowTest : public WindowTest {
protected:
    QString sentText() const { return window->MemoGiden->toPlainText(); }
    QString errorText() const { return errors.join('|'); }
    // Everything received, without the line breaks the sends put in.
    std::string receivedBytes() const {
        std::string bytes;
        window->trafficLogs().copyReceived(0, window->trafficLogs().receivedBytes(), bytes);
        return bytes;
    }
    // Whether the five traffic buttons are all in the given state.
    bool trafficButtons(bool enabled) const {
        const TfMain& w = *window;
        for (QPushButton* b : {w.btngonder, w.btnoku, w.btnyaz, w.btnayarbaslangic, w.btnayarson})
            if (b->isEnabled() != enabled)
                return false;
        return true;
    }
    // Both framing options on, start text "<BASLA>", data "AB" with CR LF.
    void frameExchanges() {
        TfMain& w = *window;
        w.chbaslangic->setChecked(true);
        w.chexit->setChecked(true);
        w.chcrlf->setChecked(true);
        w.chhex->setChecked(false);
        w.chdec->setChecked(false);
        w.cxbaslangic->setText("<BASLA>");
        w.cxveri->setText("AB");
    }

    // The client page pointed at the device server, connected.
    TfMain& openClient() {
        TfMain& w = open();
        w.cxclientip->setText("127.0.0.1");
        w.cxclientport->setText(QString::number(deviceServer.port()));
        connectClient();
        return w;
    }
    // "Bağlan" on the client page; waits until the device server has one
    // more device.
    void connectClient() {
        TfMain& w = *window;
        const std::size_t had = deviceServer.devices.size();
        QTest::mouseClick(w.btnclientbaglan, Qt::LeftButton);
        EXPECT_TRUE(WaitUntil([&] { return sentText().endsWith(kConnected); }))
            << sentText().toStdString() << errorText().toStdString();
        EXPECT_TRUE(deviceServer.WaitForDevices(had + 1));
    }
    // The server page listening on a free port, with Timer2 left to the test.
    TfMain& openServer() {
        TfMain& w = open();
        w.Timer2->stop();
        w.cxmasterport->setText("0");
        QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
        EXPECT_TRUE(w.SS1->Active()) << errorText().toStdString();
        return w;
    }
    // A device that connects to the server page; waits until it is listed.
    std::unique_ptr<Device> arrive() {
        TfMain& w = *window;
        const int before = w.SS1->ActiveConnections();
        auto device = Device::Connect(w.SS1->LocalPort());
        EXPECT_TRUE(device && WaitUntil([&] { return w.SS1->ActiveConnections() > before; }));
        return device;
    }

    DeviceServer deviceServer;
};

} // namespace km40r::test
