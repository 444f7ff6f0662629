#include "app/error_box.h"

#include "app/cp1254_qt.h"
#include "core/errors.h"

#include <QApplication>
#include <QMessageBox>

namespace km40r {
namespace {

ErrorBox::Recorder& recorder() {
    static ErrorBox::Recorder r;
    return r;
}

} // namespace

void ErrorBox::show(const std::exception& error) {
    showMessage(FromCp1254(ErrorBoxText(error.what())));
}

void ErrorBox::showMessage(const QString& text) {
    if (recorder()) {
        recorder()(text);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(),
                          text);
}

void ErrorBox::setRecorder(Recorder r) { recorder() = std::move(r); }

} // namespace km40r
