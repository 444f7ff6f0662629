#include "app/application.h"

#include "app/error_box.h"

namespace km40r {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("km40r"));
    setApplicationDisplayName(QStringLiteral("KM40R Ayar Programı"));
    setFont(DesignFont());
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ErrorBox::show(e);
    }
    return false;
}

QFont DesignFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

} // namespace km40r
