// Measures the start-up of the window with a large catalogue.
//
// Writes a catalogue of N settings (default 2000; long Turkish descriptions,
// list settings with several choices, 40 groups) beside a stand-in
// executable path, then times the creation of the main window (catalogue
// opened and read, grid filled, settings file written on this first run, first
// setting shown) until it is shown and drawn, and a second start with the
// settings file in place. Prints the median of several starts.
//
// Usage: startup [ROWS]
// Last line: startup_ms=X rows=N
#include "app/application.h"
#include "app/error_box.h"
#include "app/main_window.h"
#include "catalogue/jet_writer.h"
#include "core/settings_file.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace km40r;

namespace {

jet::Table catalogue(int rows) {
    jet::Table t;
    t.name = "ayar";
    t.columns = {{"id", jet::ColumnType::Long, 0, true},   {"grup", jet::ColumnType::Text, 2},
                 {"ayar", jet::ColumnType::Text, 2},        {"aciklama", jet::ColumnType::Text, 255},
                 {"tur", jet::ColumnType::Text, 10},        {"combo", jet::ColumnType::Text, 255},
                 {"grupaciklama", jet::ColumnType::Text, 20}};
    for (int i = 0; i < rows; ++i) {
        const int group = i % 40;
        const bool list = i % 3 == 0;
        char grup[8], ayar[8];
        std::snprintf(grup, sizeof grup, "%02d", group);
        std::snprintf(ayar, sizeof ayar, "%02d", (i / 40) % 100);
        std::string description = "Ayar " + std::to_string(i) + ": çıkış rölesi gecikme süresi ";
        description += std::string(120, 'x');
        t.rows.push_back({std::monostate{}, std::string(grup), std::string(ayar), description,
                          std::string(list ? "Combo" : "Text"),
                          std::string(list ? "<0:Kapalı>,<1:Açık>,<2:Otomatik>,<3:Bakım modu>" : ""),
                          "Grup " + std::to_string(group) + " ayarları"});
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    ErrorBox::setRecorder([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });

    std::vector<double> first, again;
    for (int round = 0; round < 5; ++round) {
        QTemporaryDir dir;
        const std::string base = dir.path().toStdString();
        SetExecutablePath(base + "/km40r");
        jet::WriteFileAtomically(base + "/km400.kmd", jet::BuildDatabase({catalogue(rows)}, {}));
        for (std::vector<double>* times : {&first, &again}) {
            QElapsedTimer t;
            t.start();
            TfMain w;
            w.show();
            QApplication::processEvents(); // drawn
            times->push_back(double(t.nsecsElapsed()) / 1e6);
        }
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("start-up with %d settings, first run (settings file written): %.1f ms\n", rows,
                median(first));
    std::printf("start-up with %d settings, settings file in place: %.1f ms\n", rows, median(again));
    std::printf("startup_ms=%.1f rows=%d\n", std::max(median(first), median(again)), rows);
    return 0;
}
