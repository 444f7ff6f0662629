#include "app/catalogue_grid.h"
#include "app/globals.h"
#include "app/log_view.h"
#include "app/window_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <filesystem>

using namespace km40r;
using namespace km40r::test;

namespace {

class CataloguePageTest : public WindowTest {
protected:
    // A window on a catalogue of these rows (CSV, UTF-8, with its header).
    TfMain& openWith(const std::string& csvRows) {
        installCatalogue("id,grup,ayar,aciklama,tur,combo,grupaciklama\n" + csvRows);
        TfMain& w = open();
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        // As if the serial link had been open and closed again: the traffic
        // buttons work, and sends are logged while nothing leaves.
        LinkMode = "com";
        w.EnableButtons();
        return w;
    }
    // Focuses the setting row with this description and clicks it.
    void choose(TfMain& w, const QString& description) {
        const QModelIndexList found = w.cxtv1->model()->match(
            w.cxtv1->model()->index(0, CatalogueGridModel::ColAciklama), Qt::DisplayRole, description, 1,
            Qt::MatchExactly | Qt::MatchRecursive);
        ASSERT_EQ(found.size(), 1) << description.toStdString();
        const QModelIndex cell = found[0];
        w.cxtv1->expand(cell.parent());
        w.cxtv1->scrollTo(cell);
        QTest::mouseClick(w.cxtv1->viewport(), Qt::LeftButton, {},
                          w.cxtv1->visualRect(cell).center());
    }
    // The data lines the sends logged (the sent-text log without its last empty line).
    QString sent(TfMain& w) { return w.MemoGiden->toPlainText(); }
};

const char* kRows =
    "1,01,01,Adres,Text,,Haberleşme\n"
    "2,01,02,Hız,Combo,\"<0:1200>,<1:9600>\",Haberleşme\n"
    "3,02,01,Röle,combo,\"0:Kapalı,1:Açık\",Çıkışlar\n"
    "4,02,02,Mod,Combo ,\"0:a,1:b\",Çıkışlar\n"
    "5,03,01,Boş liste,Combo,\"< > \",Alarmlar\n"
    "6,03,02,Tek virgül,Combo,\",\",Alarmlar\n"
    "7,00,09,İlk,Combo,\"3:fast, 4 :slow,nocolon\",Zaman\n";

} // namespace

TEST_F(CataloguePageTest, GridGroupsSettingsAndStartUpShowsTheFirst) {
    TfMain& w = openWith(kRows);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    QAbstractItemModel* m = w.cxtv1->model();
    QStringList groups;
    for (int r = 0; r < m->rowCount(); ++r)
        groups << m->index(r, CatalogueGridModel::ColAciklama).data().toString();
    EXPECT_EQ(groups, (QStringList{"Alarmlar", "Çıkışlar", "Haberleşme", "Zaman"})); // Turkish order
    const QModelIndex haberlesme = m->index(2, 0);
    ASSERT_EQ(m->rowCount(haberlesme), 2);
    EXPECT_EQ(m->index(0, CatalogueGridModel::ColAciklama, haberlesme).data().toString(), "Adres");
    EXPECT_EQ(m->index(1, CatalogueGridModel::ColAciklama, haberlesme).data().toString(), "Hız");
    for (int c = 0; c < CatalogueGridModel::ColumnCount; ++c)
        EXPECT_EQ(w.cxtv1->isColumnHidden(c), c != CatalogueGridModel::ColAciklama) << c;
    EXPECT_EQ(m->headerData(CatalogueGridModel::ColAciklama, Qt::Horizontal).toString(),
              QStringLiteral("Ayar Açiklama"));
    // The first record in query order (grup 00) is shown: a list setting.
    EXPECT_EQ(w.lblayaraciklama->text(), "İlk\r\n3:fast\r\n 4 :slow\r\nnocolon\r\n");
    EXPECT_TRUE(w.cxayarcombo->isEnabled());
    EXPECT_FALSE(w.cxayartext->isEnabled());
    EXPECT_EQ(w.cxayarcombo->currentText(), "3:fast");
    EXPECT_EQ(w.cxayarcombo->count(), 3);
    EXPECT_EQ(ComboItems->size(), 3u);
    // And the settings were loaded after the catalogue.
    EXPECT_EQ(w.cxbaslangic->text(), "");
}

TEST_F(CataloguePageTest, CommandsFromListAndTextSettings) {
    TfMain& w = openWith(kRows);
    w.chcrlf->setChecked(false);
    QTest::mouseClick(w.btnyaz, Qt::LeftButton); // the first record: 3:fast
    w.cxayarcombo->setEditText(" 4 :slow");
    QTest::mouseClick(w.btnyaz, Qt::LeftButton);
    w.cxayarcombo->setEditText("nocolon");
    QTest::mouseClick(w.btnyaz, Qt::LeftButton);
    QTest::mouseClick(w.btnoku, Qt::LeftButton);

    choose(w, "Adres");
    EXPECT_FALSE(w.cxayarcombo->isEnabled());
    EXPECT_TRUE(w.cxayartext->isEnabled());
    EXPECT_EQ(w.lblayaraciklama->text(), "Adres\r\n");
    EXPECT_EQ(w.cxayarcombo->count(), 3); // the old items stay, disabled
    w.cxayartext->setText("  17 \t");
    QTest::mouseClick(w.btnyaz, Qt::LeftButton);
    QTest::mouseClick(w.btnoku, Qt::LeftButton);
    EXPECT_EQ(sent(w), "<YAZ,00,09,3>\r\n<YAZ,00,09,4>\r\n<YAZ,00,09,>\r\n<OKU,00,09,>\r\n"
                       "<YAZ,01,01,17>\r\n<OKU,01,01,>\r\n");

    // A list setting after a text setting empties the text field.
    choose(w, "Hız");
    EXPECT_EQ(w.cxayartext->text(), "");
    EXPECT_EQ(w.cxayarcombo->currentText(), "0:1200"); // angle brackets removed
    EXPECT_EQ(w.lblayaraciklama->text(), "Hız\r\n0:1200\r\n1:9600\r\n");
}

TEST_F(CataloguePageTest, OnlyExactlyComboIsAList) {
    TfMain& w = openWith(kRows);
    for (const char* name : {"Röle", "Mod"}) { // "combo" and "Combo "
        choose(w, QString::fromUtf8(name));
        EXPECT_FALSE(w.cxayarcombo->isEnabled()) << name;
        EXPECT_TRUE(w.cxayartext->isEnabled()) << name;
    }
}

TEST_F(CataloguePageTest, EmptyAndSingleCommaChoiceLists) {
    TfMain& w = openWith(kRows);
    w.chcrlf->setChecked(false);
    choose(w, "Adres");
    w.cxayartext->setText("kept");
    choose(w, "Boş liste");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "List index out of bounds (0)");
    EXPECT_EQ(w.lblayaraciklama->text(), "Boş liste\r\n");
    EXPECT_TRUE(w.cxayarcombo->isEnabled());
    EXPECT_EQ(w.cxayarcombo->count(), 0);
    EXPECT_FALSE(w.cxayartext->isEnabled());
    EXPECT_EQ(w.cxayartext->text(), "kept"); // not emptied: the step never ran
    // "Yaz" takes whatever the drop-down still shows.
    w.cxayarcombo->setEditText("5:x");
    QTest::mouseClick(w.btnyaz, Qt::LeftButton);
    EXPECT_TRUE(sent(w).endsWith("<YAZ,03,01,5>\r\n"));

    choose(w, "Tek virgül");
    EXPECT_EQ(w.cxayarcombo->count(), 2);
    EXPECT_EQ(w.cxayarcombo->currentText(), "");
    EXPECT_EQ(w.lblayaraciklama->text(), "Tek virgül\r\n\r\n\r\n");
}

TEST_F(CataloguePageTest, KeyReleaseInTheGridShowsTheFocusedSetting) {
    TfMain& w = openWith(kRows);
    choose(w, "Adres");
    w.cxtv1->setFocus();
    QTest::keyClick(w.cxtv1, Qt::Key_Down); // to "Hız"
    EXPECT_EQ(w.lblayaraciklama->text(), "Hız\r\n0:1200\r\n1:9600\r\n");
}

TEST_F(CataloguePageTest, StartAndEndTextsGoThroughTheSendRoutine) {
    TfMain& w = openWith(kRows);
    w.chcrlf->setChecked(true);
    w.cxbaslangic->setText("  <BASLA> ");
    QTest::mouseClick(w.btnayarbaslangic, Qt::LeftButton);
    QTest::mouseClick(w.btnayarson, Qt::LeftButton);
    EXPECT_EQ(w.memogidenhex->toPlainText(),
              "20-20-3C-42-41-53-4C-41-3E-20-0D-0A-\r\n3C-45-58-49-54-3E-0D-0A-\r\n");
}

TEST_F(CataloguePageTest, MissingCatalogueShowsTheErrorAndTheWindowWorks) {
    std::filesystem::remove(dir.file("km400.kmd"));
    TfMain& w = open();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QString::fromStdString("Could not find file '" + dir.file("km400.kmd") + "'."));
    EXPECT_EQ(w.cxtv1->model()->rowCount(), 0);
    EXPECT_EQ(ComboItems, nullptr);
    EXPECT_EQ(w.cxbaslangic->text(), "<BASLA>"); // the settings were not loaded
    EXPECT_FALSE(FileExists(settingsPath()));
    EXPECT_EQ(ReadFile(dir.file("DB.ini")), "[DB]\r\nsifre=\r\n");
    EXPECT_EQ(w.lblayaraciklama->text(), QStringLiteral("Ayar Açiklama Metni")); // as designed
    // Before any setting was shown both editors are enabled: "Yaz" takes both.
    LinkMode = "com";
    w.EnableButtons();
    for (QCheckBox* box : {w.chcrlf, w.chhex, w.chdec, w.chbaslangic, w.chexit})
        box->setChecked(false); // all ticked as designed
    w.cxayartext->setText(" v ");
    w.cxayarcombo->setEditText("7:x");
    QTest::mouseClick(w.btnyaz, Qt::LeftButton);
    QTest::mouseClick(w.btnoku, Qt::LeftButton);
    EXPECT_EQ(w.MemoGiden->toPlainText(), "<YAZ,,,v7>\r\n<OKU,,,>\r\n");
}

TEST_F(CataloguePageTest, WrongPasswordAndCorruptFilesAreReported) {
    installCatalogue("id,grup,ayar,aciklama,tur,combo,grupaciklama\n1,01,01,A,Text,,G\n", u"gizli");
    open();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "Not a valid password.");
    window.reset();
    errors.clear();
    WriteFile(dir.file("DB.ini"), "[DB]\r\nsifre=gizli\r\n");
    TfMain& w = open();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.lblayaraciklama->text(), "A\r\n");
    window.reset();
    errors.clear();
    std::string junk(9000, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>(i * 131 + 7);
    WriteFile(dir.file("km400.kmd"), junk);
    TfMain& again = open();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(again.cxtv1->model()->rowCount(), 0);
}

TEST_F(CataloguePageTest, EmptyCatalogueShowsTheEmptyRecord) {
    TfMain& w = openWith("");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.lblayaraciklama->text(), "\r\n");
    EXPECT_TRUE(w.cxayartext->isEnabled());
    EXPECT_FALSE(w.cxayarcombo->isEnabled());
    w.chcrlf->setChecked(false);
    QTest::mouseClick(w.btnoku, Qt::LeftButton);
    EXPECT_EQ(w.MemoGiden->toPlainText(), "<OKU,,,>\r\n");
}
