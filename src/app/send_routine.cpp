// The send routine and its callers: the input line, the Enter key and the
// macro buttons.
#include "app/cp1254_qt.h"
#include "app/error_box.h"
#include "app/globals.h"
#include "app/main_window.h"
#include "core/settings_file.h"
#include "serial/com_port.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

namespace km40r {

void TfMain::WaitTwoTicks() {
    TickCount = 0;
    while (TickCount < 2)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

TfMain::SendTarget TfMain::chooseTarget() {
    if (LinkMode == "com")
        return [this](std::string_view bytes) { CP1->Write(bytes); };
    if (LinkMode == "client")
        return clientTarget();
    if (LinkMode == "master")
        return masterTarget();
    return {};
}

void TfMain::Gonder(std::string_view text) {
    const std::string bytes = TransformOutgoing(text);
    const SendTarget send = chooseTarget();
    if (!send)
        return; // no link chosen yet: nothing is sent or logged
    if (chbaslangic->isChecked()) {
        // The start text goes out exactly as it stands.
        const std::string start = ToCp1254(cxbaslangic->text());
        send(start);
        AddFramingLine(start);
        WaitTwoTicks();
    }
    send(bytes);
    LogSent(bytes);
    if (chexit->isChecked()) {
        WaitTwoTicks();
        send("<EXIT>");
        AddFramingLine("<EXIT>");
    }
}

void TfMain::btngonderClick() { Gonder(ToCp1254(cxveri->text())); }

void TfMain::cxveriKeyDown(const QKeyEvent& key) {
    if (chenter->isChecked() && (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter))
        btngonderClick();
}

void TfMain::btnm1Click(QObject* sender) {
    const int n = sender->property("Tag").toInt();
    auto* edit = findChild<QLineEdit*>(QStringLiteral("cxmakro%1").arg(n));
    if (edit == nullptr)
        return;
    const std::string text = ToCp1254(edit->text());
    WriteIniValue("makro", "makro" + std::to_string(n), text);
    Gonder(text);
}

bool TfMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == cxveri && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        Guarded([&] { cxveriKeyDown(*key); });
    } else if (watched == cxtv1 && event->type() == QEvent::KeyRelease) {
        Guarded([this] { cxtv1KeyUp(); });
    }
    return QMainWindow::eventFilter(watched, event); // the key is not consumed
}

} // namespace km40r
