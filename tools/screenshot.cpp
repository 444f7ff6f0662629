// Draws the main window as it comes up on a first run, with the sample
// catalogue beside it, into a PNG file.
// Usage: km40r_screenshot OUTPUT.png
#include "app/application.h"
#include "app/error_box.h"
#include "app/main_window.h"
#include "core/settings_file.h"

#include <QDir>
#include <QFile>
#include <QTreeView>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    km40r::Application app(argc, argv);
    QTemporaryDir dir; // a first run: no settings file yet
    km40r::SetExecutablePath(QDir(dir.path()).filePath(QStringLiteral("km40r")).toStdString());
    QFile::copy(QStringLiteral(SAMPLE_CATALOGUE), QDir(dir.path()).filePath(QStringLiteral("km400.kmd")));
    km40r::ErrorBox::setRecorder([](const QString& text) {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    });
    km40r::TfMain window;
    // The caption carries the version of the real program, not of the stand-in path.
    window.setWindowTitle(QStringLiteral("KM40R Ayar Programı    V: %1.%2.%3")
                              .arg(KM40R_VERSION_MAJOR)
                              .arg(KM40R_VERSION_MINOR)
                              .arg(KM40R_VERSION_PATCH));
    window.show();
    window.cxtv1->expandAll(); // a user would open a group or two
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
