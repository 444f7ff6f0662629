// The serial link: the "Seri Port" page and the handlers of CP1.
#include "app/cp1254_qt.h"
#include "app/globals.h"
#include "app/main_window.h"
#include "app/port_search.h"
#include "core/errors.h"
#include "core/integer.h"
#include "core/settings_file.h"
#include "serial/com_port.h"

#include <QComboBox>
#include <QPushButton>

namespace km40r {

void TfMain::createSerialPort() {
    CP1 = new TComPort(this);
    CP1->setObjectName(QStringLiteral("CP1"));
    CP1->Port = "COM1";
    CP1->Baud = 9600;
    CP1->DataBits = 8;
    CP1->Parity = ptNONE;
    CP1->StopBits = sbONE;
    CP1->WinQSizeIn = 8192;
    CP1->WinQSizeOut = 8192;
    CP1->ReceiveMode = rmRAW;
    CP1->SetTerminator("#13#10");
    CP1->OnPortOpen = [this](TComPort*) { CP1PortOpen(); };
    CP1->OnPortClose = [this](TComPort*) { CP1PortClose(); };
    CP1->ReceiveCallBack = [this](const std::string& data) { CP1ReceiveCallBack(data); };
    CP1->OnError = [this](TComPort*) { CP1Error(); };
}

void TfMain::btncombaglanClick() {
    LinkMode = "com";
    const std::string port = ToCp1254(cxcomport->currentText());
    const std::string baud = ToCp1254(cxbaud->currentText());
    const std::string databit = ToCp1254(cxdatabit->currentText());
    const std::string parity = ToCp1254(cxparity->currentText());
    const std::string stopbit = ToCp1254(cxstopbit->currentText());

    CP1->Port = port;
    CP1->Baud = static_cast<std::uint32_t>(ParseInteger(baud));
    CP1->DataBits = static_cast<std::uint8_t>(ParseInteger(databit) & 0xFF);
    CP1->Parity = ptNONE;
    if (parity == "Even")
        CP1->Parity = ptEVEN;
    else if (parity == "Odd")
        CP1->Parity = ptODD;
    CP1->StopBits = sbONE;
    if (stopbit == "1.5")
        CP1->StopBits = sbONE5;
    else if (stopbit == "2")
        CP1->StopBits = snTWO;
    CP1->Open();

    WriteIniValue("com", "port", port);
    WriteIniValue("com", "baud", baud);
    WriteIniValue("com", "databit", databit);
    WriteIniValue("com", "parity", parity);
    WriteIniValue("com", "stopbit", stopbit);
}

void TfMain::btncomkesClick() { CP1->Close(); }

void TfMain::btnsearchClick() {
    const QString shown = cxcomport->currentText();
    cxcomport->clear(); // the list only: the text stays until a port is found
    cxcomport->setEditText(shown);
    const std::vector<std::string> ports = ListSerialPorts(sysRoot_);
    if (ports.empty())
        throw EListError::outOfBounds(0);
    for (const std::string& port : ports)
        cxcomport->addItem(FromCp1254(port));
    cxcomport->setEditText(FromCp1254(ports.front()));
}

void TfMain::CP1PortOpen() {
    btncomkes->setEnabled(true);
    btncombaglan->setEnabled(false);
    EnableButtons();
    Bilgi("Com Port Ba\xF0land\xFD");
}

void TfMain::CP1PortClose() {
    Bilgi("Com Port Ba\xF0lant\xFD Kesildi");
    btncomkes->setEnabled(false);
    btncombaglan->setEnabled(true);
    DisableButtons();
}

void TfMain::CP1Error() { Bilgi("Com Port Hata"); }

void TfMain::CP1ReceiveCallBack(const std::string& data) { AppendReceived(data); }

} // namespace km40r
