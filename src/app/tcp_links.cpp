// The TCP links: the "TCP Client" page with CS1, and the "TCP Master" page
// with SS1, its connection list in cxsocket and the check of Timer2.
#include "app/cp1254_qt.h"
#include "app/globals.h"
#include "app/main_window.h"
#include "core/integer.h"
#include "core/settings_file.h"
#include "core/text.h"
#include "net/client_socket.h"
#include "net/server_socket.h"
#include "net/socket_errors.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace km40r {

void TfMain::createTcpSockets() {
    CS1 = new TClientSocket(this);
    CS1->setObjectName(QStringLiteral("CS1"));
    CS1->OnConnecting = [this](QObject*, TSocketConnection*) { CS1Connecting(); };
    CS1->OnConnect = [this](QObject*, TSocketConnection*) { CS1Connect(); };
    CS1->OnDisconnect = [this](QObject*, TSocketConnection*) { CS1Disconnect(); };
    CS1->OnRead = [this](QObject*, TSocketConnection* Socket) { CS1Read(Socket); };
    CS1->OnError = [this](QObject*, TSocketConnection*, TErrorEvent ErrorEvent, int& ErrorCode) {
        CS1Error(ErrorEvent, ErrorCode);
    };

    SS1 = new TServerSocket(this);
    SS1->setObjectName(QStringLiteral("SS1"));
    SS1->OnClientConnect = [this](QObject*, TSocketConnection*) { SS1ClientConnect(); };
    SS1->OnClientDisconnect = [this](QObject*, TSocketConnection*) { SS1ClientDisconnect(); };
    SS1->OnClientRead = [this](QObject*, TSocketConnection* Socket) { SS1ClientRead(Socket); };

    // A text typed into the combo chooses a connection; it never becomes an
    // entry of the list, which lists only connections.
    cxsocket->setInsertPolicy(QComboBox::NoInsert);
}

void TfMain::releaseTcpSockets() {
    // Releasing the components raises no event; with their handlers
    // detached, none could reach a window that is going.
    CS1->OnConnecting = CS1->OnConnect = CS1->OnDisconnect = CS1->OnRead = nullptr;
    CS1->OnError = nullptr;
    SS1->OnClientConnect = SS1->OnClientDisconnect = SS1->OnClientRead = nullptr;
    delete CS1;
    delete SS1;
    CS1 = nullptr;
    SS1 = nullptr;
}

// --- TCP client ---

void TfMain::btnclientbaglanClick() {
    LinkMode = "client";
    const std::string ip = ToCp1254(cxclientip->text());
    const std::string port = ToCp1254(cxclientport->text());
    CS1->Host = ip;
    CS1->Port = ParseInteger(port);
    CS1->Open();
    WriteIniValue("client", "ip", ip);
    WriteIniValue("client", "port", port);
}

void TfMain::btnclientkesClick() {
    CS1->Close();
}

void TfMain::CS1Connecting() {
    Bilgi("TCP Client Ba\xF0lan\xFDyor...");
}

void TfMain::CS1Connect() {
    btnclientkes->setEnabled(true);
    btnclientbaglan->setEnabled(false);
    EnableButtons();
    Bilgi("TCP Client Ba\xF0land\xFD");
}

void TfMain::CS1Disconnect() {
    Bilgi("TCP Client Ba\xF0lant\xFD Kesildi");
    btnclientkes->setEnabled(false);
    btnclientbaglan->setEnabled(true);
    DisableButtons();
}

void TfMain::CS1Read(TSocketConnection* Socket) {
    AppendReceived(Socket->ReceiveText());
}

void TfMain::CS1Error(TErrorEvent, int& ErrorCode) {
    const int reported = ErrorCode;
    if (reported == kSocketConnectionAborted)
        CS1->Close();
    ErrorCode = 0;
    Bilgi("TCP Client Hata Olu\xFEtu. Hata Kodu:" + std::to_string(reported));
}

TfMain::SendTarget TfMain::clientTarget() {
    return [this](std::string_view bytes) {
        if (TSocketConnection* socket = CS1->Socket())
            socket->SendText(bytes);
    };
}

// --- TCP server ---

void TfMain::btnmasterbaglanClick() {
    LinkMode = "master";
    const std::string port = ToCp1254(cxmasterport->text());
    SS1->Port = ParseInteger(port);
    SS1->Open();
    WriteIniValue("master", "port", port);
    btnmasterbaglan->setEnabled(false);
    btnmasterkes->setEnabled(true);
}

void TfMain::btnmasterkesClick() {
    SS1->Close();
    btnmasterbaglan->setEnabled(true);
    btnmasterkes->setEnabled(false);
}

void TfMain::SS1ClientConnect() {
    Bilgi("TCP Master porta client ba\xF0land\xFD");
    masterlisteguncelle();
    EnableButtons();
}

void TfMain::SS1ClientDisconnect() {
    Bilgi("TCP Master porta client ba\xF0lant\xFD kesildi");
    masterlisteguncelle();
}

void TfMain::SS1ClientRead(TSocketConnection* Socket) {
    AppendReceived(Socket->ReceiveText());
}

void TfMain::masterlisteguncelle() {
    QStringList labels;
    for (int i = 0; i < SS1->ActiveConnections(); ++i) {
        const TSocketConnection* connection = SS1->Connections(i);
        labels << FromCp1254(connection->RemoteAddress() + " (" +
                             std::to_string(connection->SocketHandle()) + ")");
    }
    // Only the entries that changed are replaced; the ones before and after
    // them stay, and the list ends up the same. With many devices, rebuilding
    // every entry at each arrival and departure cost more than all else the
    // server does for them.
    const int had = cxsocket->count();
    const int now = static_cast<int>(labels.size());
    int front = 0;
    while (front < had && front < now && cxsocket->itemText(front) == labels[front])
        ++front;
    int back = 0;
    while (back < had - front && back < now - front &&
           cxsocket->itemText(had - 1 - back) == labels[now - 1 - back])
        ++back;
    if (had - back > front)
        cxsocket->model()->removeRows(front, had - back - front);
    cxsocket->insertItems(front, labels.mid(front, now - back - front));
    cxsocket->setCurrentIndex(0);
    cxsocket->setEditText(labels.value(0)); // also over a text typed meanwhile
}

void TfMain::Timer2Timer() {
    const int count = SS1->ActiveConnections();
    if (count == LastConnectionCount)
        return;
    LastConnectionCount = count;
    masterlisteguncelle();
    if (LastConnectionCount == 0)
        DisableButtons();
}

TfMain::SendTarget TfMain::masterTarget() {
    int chosen = 0;
    for (int i = 0; i < SS1->ActiveConnections(); ++i) {
        const std::string text = ToCp1254(cxsocket->currentText());
        if (ParseInteger(TextBetween(text, "(", ")")) == SS1->Connections(i)->SocketHandle()) {
            chosen = i;
            break;
        }
    }
    // The exchange stays with this connection. When it closes during a
    // pause, the remaining sends of the exchange go nowhere.
    const QPointer<TSocketConnection> target = SS1->Connections(chosen);
    return [target](std::string_view bytes) {
        if (target)
            target->SendText(bytes);
    };
}

} // namespace km40r
