// A Qt generic plugin that plays the technician inside the installed program,
// for the end-to-end test of an installation. Qt loads it when the
// environment names it (QT_QPA_GENERIC_PLUGINS=km40rdriver, with
// QT_PLUGIN_PATH pointing at its folder); the program itself knows nothing of
// it. It finds the main window by its object names and, as a user would:
//   1. connects the TCP client link to 127.0.0.1:<KM40R_DRIVER_PORT>;
//   2. writes the text setting "Cihaz adresi (1-247)" as 42 with Yaz, and reads
//      it back with Oku;
//   3. writes the list setting "Seri port hızı" as its choice 3 with Yaz;
//   4. waits for the device's answers, writes the sent and received text logs
//      and the settings it saw to <KM40R_DRIVER_OUT>, and closes the window.
// Any step that does not come about within its time writes "FAILED: <step>".
#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <functional>

namespace {

QWidget* mainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("fMain") && w->isVisible())
            return w;
    return nullptr;
}

template <class W>
W* child(const char* name) {
    QWidget* w = mainWindow();
    return w ? w->findChild<W*>(QLatin1String(name)) : nullptr;
}

bool waitFor(const std::function<bool()>& done, int ms = 15000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QString plainText(const char* log) {
    QWidget* w = child<QWidget>(log);
    return w ? w->property("plainText").toString() : QString();
}

// Clicks the grid row whose description is text.
bool chooseSetting(const QString& text) {
    auto* grid = child<QTreeView>("cxtv1");
    if (!grid)
        return false;
    QAbstractItemModel* m = grid->model();
    const QModelIndexList found = m->match(m->index(0, 2), Qt::DisplayRole, text, 1,
                                           Qt::MatchExactly | Qt::MatchRecursive);
    if (found.isEmpty())
        return false;
    grid->expand(found[0].parent());
    grid->scrollTo(found[0]);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(found[0]).center());
    return true;
}

class Driver : public QObject {
public:
    Driver() { QTimer::singleShot(0, this, [this] { run(); }); }

private:
    void fail(const QString& step) {
        finish(QStringLiteral("FAILED: ") + step + QLatin1Char('\n'));
    }

    void finish(const QString& report) {
        QFile out(qEnvironmentVariable("KM40R_DRIVER_OUT"));
        if (out.open(QIODevice::WriteOnly))
            out.write(report.toUtf8());
        out.close();
        if (QWidget* w = mainWindow())
            w->close();
        QCoreApplication::quit();
    }

    void run() {
        if (!waitFor([] { return mainWindow() != nullptr; }))
            return fail(QStringLiteral("the main window"));
        child<QTabWidget>("PC1")->setCurrentIndex(1);
        child<QLineEdit>("cxclientip")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>("cxclientport")->setText(qEnvironmentVariable("KM40R_DRIVER_PORT"));
        QTest::mouseClick(child<QPushButton>("btnclientbaglan"), Qt::LeftButton);
        if (!waitFor([] { return child<QPushButton>("btnyaz")->isEnabled(); }))
            return fail(QStringLiteral("connect"));

        if (!chooseSetting(QStringLiteral("Cihaz adresi (1-247)")))
            return fail(QStringLiteral("the text setting"));
        child<QLineEdit>("cxayartext")->setText(QStringLiteral("42"));
        QTest::mouseClick(child<QPushButton>("btnyaz"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>("btnoku"), Qt::LeftButton);
        if (!chooseSetting(QStringLiteral("Seri port hızı")))
            return fail(QStringLiteral("the list setting"));
        auto* combo = child<QComboBox>("cxayarcombo");
        const int choice = combo->findText(QStringLiteral("3:9600"));
        if (choice < 0)
            return fail(QStringLiteral("the choice 3:9600"));
        combo->setCurrentIndex(choice);
        QTest::mouseClick(child<QPushButton>("btnyaz"), Qt::LeftButton);
        // Three answers, one per command.
        if (!waitFor([] { return plainText("MemoGelen").count(QStringLiteral("<OK,")) >= 3; }))
            return fail(QStringLiteral("the answers: ") + plainText("MemoGelen"));
        finish(QStringLiteral("SENT\n") + plainText("MemoGiden") + QStringLiteral("\nRECEIVED\n") +
               plainText("MemoGelen") + QStringLiteral("\n"));
    }
};

class DriverPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "km40rdriver.json")

public:
    QObject* create(const QString& key, const QString&) override {
        return key.compare(QLatin1String("km40rdriver"), Qt::CaseInsensitive) == 0 ? new Driver
                                                                                    : nullptr;
    }
};

} // namespace

#include "driver_plugin.moc"
