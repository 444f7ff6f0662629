// The catalogue replaced while the program runs. The program reads it once,
// at start-up, and keeps the rows: the running window goes on with them,
// whatever happens to the file; the next start reads what is there now and
// either shows every row of a sound file or says clearly what is wrong, with
// an empty grid and a window that works.
#include "app/catalogue_grid.h"
#include "app/globals.h"
#include "app/log_view.h"
#include "app/window_fixture.h"
#include "fault_support.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <filesystem>
#include <functional>
#include <sys/stat.h>

using namespace km40r;
using namespace km40r::test;

namespace {

class FaultCatalogue : public WindowTest {
protected:
    std::string catalogue() const { return dir.file("km400.kmd"); }
    // The descriptions of every setting in the grid, in its order.
    QStringList settings() {
        QStringList all;
        QAbstractItemModel* m = window->cxtv1->model();
        for (int g = 0; g < m->rowCount(); ++g) {
            const QModelIndex group = m->index(g, 0);
            for (int r = 0; r < m->rowCount(group); ++r)
                all << m->index(r, CatalogueGridModel::ColAciklama, group).data().toString();
        }
        return all;
    }
    void choose(const QString& description) {
        TfMain& w = *window;
        const QModelIndexList found = w.cxtv1->model()->match(
            w.cxtv1->model()->index(0, CatalogueGridModel::ColAciklama), Qt::DisplayRole,
            description, 1, Qt::MatchExactly | Qt::MatchRecursive);
        ASSERT_EQ(found.size(), 1) << description.toStdString();
        w.cxtv1->expand(found[0].parent());
        w.cxtv1->scrollTo(found[0]);
        QTest::mouseClick(w.cxtv1->viewport(), Qt::LeftButton, {},
                          w.cxtv1->visualRect(found[0]).center());
    }
    // A window shown, with sends logged while nothing leaves (as after a
    // serial link was opened and closed), plain sends.
    TfMain& openShown() {
        TfMain& w = open();
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        LinkMode = "com";
        w.EnableButtons();
        for (QCheckBox* box : {w.chcrlf, w.chhex, w.chdec, w.chbaslangic, w.chexit})
            box->setChecked(false);
        return w;
    }
    // Uses the catalogue as a user does: two settings chosen, read and written.
    QString useIt() {
        TfMain& w = *window;
        w.btntemizle->click();
        choose("Hız");
        QTest::mouseClick(w.btnyaz, Qt::LeftButton);
        choose("Adres");
        w.cxayartext->setText("17");
        QTest::mouseClick(w.btnyaz, Qt::LeftButton);
        QTest::mouseClick(w.btnoku, Qt::LeftButton);
        return w.MemoGiden->toPlainText();
    }
};

const char* kHeader = "id,grup,ayar,aciklama,tur,combo,grupaciklama\n";
const char* kRows = "1,01,01,Adres,Text,,Haberleşme\n"
                    "2,01,02,Hız,Combo,\"<0:1200>,<1:9600>\",Haberleşme\n"
                    "3,02,01,Röle,Text,,Çıkışlar\n";
const QString kUsed = "<YAZ,01,02,0>\r\n<YAZ,01,01,17>\r\n<OKU,01,01,>\r\n";

} // namespace

TEST_F(FaultCatalogue, ReplacedWhileRunningThenStartedAgain) {
    installCatalogue(std::string(kHeader) + kRows);
    const std::string original = ReadFile(catalogue());
    ASSERT_EQ(original.size() % 4096, 0u);
    const auto truncated = [&](std::size_t size) {
        return [&, size] { WriteFile(catalogue(), original.substr(0, size)); };
    };
    const QString path = QString::fromStdString(catalogue());
    const QString unrecognized = "Unrecognized database format '" + path + "'.";
    const QString damaged =
        "The database '" + path + "' needs to be repaired or isn't a database file.";
    const QString cannotOpen = "The database engine cannot open the file '" + path +
                               "'. It is already opened exclusively by another user, or you "
                               "need permission to view its data.";
    struct Case {
        const char* name;
        std::function<void()> replace;
        QString error;         // empty: the file is sound
        QStringList rowsAfter; // when sound
    };
    const Case cases[] = {
        {"another sound catalogue",
         [&] { installCatalogue(std::string(kHeader) + "1,05,01,Yeni,Text,,Yeni grup\n"); },
         {},
         {"Yeni"}},
        {"junk", [&] { WriteFile(catalogue(), Junk(7, 20000)); }, unrecognized, {}},
        {"nothing (deleted)",
         [&] { std::filesystem::remove(catalogue()); },
         "Could not find file '" + path + "'.",
         {}},
        {"an empty file", truncated(0), unrecognized, {}},
        {"the first 100 bytes", truncated(100), unrecognized, {}},
        {"the first page", truncated(4096), damaged, {}},
        {"half", truncated(original.size() / 2 / 4096 * 4096), damaged, {}},
        {"all but the last page", truncated(original.size() - 4096), damaged, {}},
        {"all but one byte", truncated(original.size() - 1), damaged, {}},
        {"a named pipe",
         [&] {
             std::filesystem::remove(catalogue());
             ASSERT_EQ(::mkfifo(catalogue().c_str(), 0600), 0);
         },
         cannotOpen,
         {}},
        {"a folder",
         [&] {
             std::filesystem::remove(catalogue());
             std::filesystem::create_directory(catalogue());
         },
         cannotOpen,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        errors.clear();
        std::filesystem::remove_all(catalogue());
        WriteFile(catalogue(), original);
        openShown();
        ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        ASSERT_EQ(settings(), (QStringList{"Röle", "Adres", "Hız"}));
        ASSERT_EQ(useIt(), kUsed);

        c.replace();
        // The running window goes on with the rows it read.
        EXPECT_EQ(useIt(), kUsed);
        EXPECT_EQ(settings(), (QStringList{"Röle", "Adres", "Hız"}));
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();

        // The next start reads what is there now.
        window.reset();
        PipeRescue rescue(catalogue());
        TfMain& w = openShown();
        EXPECT_FALSE(rescue.finish()) << "the start waited on the file";
        if (c.error.isEmpty()) {
            EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
            EXPECT_EQ(settings(), c.rowsAfter);
            continue;
        }
        EXPECT_EQ(errors, QStringList{c.error});
        EXPECT_EQ(w.cxtv1->model()->rowCount(), 0); // never part of the rows
        // The window works without a catalogue.
        w.cxayartext->setText("5");
        QTest::mouseClick(w.btnoku, Qt::LeftButton);
        EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith("<OKU,,,>\r\n"));
        w.cxveri->setText("serbest");
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith("<OKU,,,>\r\nserbest\r\n"));
        QTest::mouseClick(w.btnkaydet, Qt::LeftButton);
        EXPECT_EQ(errors.size(), 1) << errors.join('|').toStdString();
        EXPECT_TRUE(w.close());
    }
}
