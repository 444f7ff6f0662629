// The application object: a QApplication whose event delivery is guarded, so
// that an error escaping any handler is shown in the error box instead of
// ending the program.
#pragma once

#include <QApplication>
#include <QFont>

namespace km40r {

class Application : public QApplication {
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The font of the window as designed (Tahoma 8 pt), or the closest sans font.
QFont DesignFont();

} // namespace km40r
