// The "Cihaz Ayarlari" page: the catalogue grid, the setting editor and the
// device commands.
#include "app/catalogue_grid.h"
#include "app/cp1254_qt.h"
#include "app/error_box.h"
#include "app/globals.h"
#include "app/main_window.h"
#include "core/errors.h"
#include "core/split.h"
#include "core/text.h"

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTreeView>

namespace km40r {

void TfMain::setUpCatalogueGrid() {
    catalogueModel_ = new CatalogueGridModel(cxtv1);
    cxtv1->setModel(catalogueModel_);
    cxtv1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    cxtv1->setSelectionBehavior(QAbstractItemView::SelectRows);
    cxtv1->setSelectionMode(QAbstractItemView::SingleSelection);
    cxtv1->setSortingEnabled(false);
    cxtv1->setUniformRowHeights(true);
    cxtv1->setTreePosition(CatalogueGridModel::ColAciklama); // branches beside the visible column
    cxtv1->setColumnWidth(CatalogueGridModel::ColGrup, 20);
    cxtv1->setColumnWidth(CatalogueGridModel::ColAyar, 20);
    cxtv1->setColumnWidth(CatalogueGridModel::ColAciklama, 300);
    cxtv1->setColumnWidth(CatalogueGridModel::ColTur, 45);
    cxtv1->setColumnWidth(CatalogueGridModel::ColCombo, 150);
    for (int c : {CatalogueGridModel::ColGrup, CatalogueGridModel::ColAyar, CatalogueGridModel::ColTur,
                  CatalogueGridModel::ColCombo, CatalogueGridModel::ColGrupAciklama})
        cxtv1->setColumnHidden(c, true);

    // The header's menu shows and hides columns.
    QHeaderView* header = cxtv1->header();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this, header](const QPoint& at) {
        QMenu menu(this);
        for (int c = 0; c < CatalogueGridModel::ColumnCount; ++c) {
            QAction* a = menu.addAction(catalogueModel_->headerData(c, Qt::Horizontal).toString());
            a->setCheckable(true);
            a->setChecked(!cxtv1->isColumnHidden(c));
            connect(a, &QAction::toggled, this, [this, c](bool on) { cxtv1->setColumnHidden(c, !on); });
        }
        menu.exec(header->mapToGlobal(at));
    });

    // The grid's focused row is the record set's current record.
    connect(cxtv1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (const auto record = CatalogueGridModel::recordOf(current))
                    Guarded([&] { tayar.moveTo(*record); });
            });
    connect(cxtv1, &QTreeView::clicked, this, [this] { Guarded([this] { cxtv1CellClick(); }); });
    cxtv1->installEventFilter(this);
}

void TfMain::showCatalogue() { catalogueModel_->setRecords(tayar.records()); }

void TfMain::cxtv1CellClick() { ayargoster(); }
void TfMain::cxtv1KeyUp() { ayargoster(); }

void TfMain::ayargoster() {
    if (!ComboItems)
        ComboItems = std::make_unique<std::vector<std::string>>();
    std::string label = tayar.fieldByName("aciklama") + "\r\n";
    lblayaraciklama->setText(FromCp1254(label));
    if (tayar.fieldByName("tur") == "Combo") {
        cxayarcombo->setEnabled(true);
        cxayartext->setEnabled(false);
        Split(',', tayar.fieldByName("combo"), *ComboItems);
        const QString shown = cxayarcombo->currentText(); // clearing the items keeps the text
        cxayarcombo->clear();
        cxayarcombo->setEditText(shown);
        for (const std::string& item : *ComboItems)
            cxayarcombo->addItem(FromCp1254(item));
        if (ComboItems->empty())
            throw EListError::outOfBounds(0);
        cxayarcombo->setEditText(FromCp1254(ComboItems->front()));
        for (const std::string& item : *ComboItems)
            label += item + "\r\n";
        lblayaraciklama->setText(FromCp1254(label));
    } else {
        cxayarcombo->setEnabled(false);
        cxayartext->setEnabled(true);
    }
    cxayartext->clear();
}

std::string TfMain::writeCommand() const {
    std::string command = "<YAZ," + tayar.fieldByName("grup") + "," + tayar.fieldByName("ayar") + ",";
    // The editors' enabled states decide, not the setting's kind: before the
    // first setting is shown both are enabled and both values go in.
    if (cxayartext->isEnabled())
        command += TrimControl(ToCp1254(cxayartext->text()));
    if (cxayarcombo->isEnabled())
        command += TrimControl(TextBetween(ToCp1254(cxayarcombo->currentText()), "", ":"));
    return command + ">";
}

std::string TfMain::readCommand() const {
    return "<OKU," + tayar.fieldByName("grup") + "," + tayar.fieldByName("ayar") + ",>";
}

void TfMain::btnyazClick() { Gonder(writeCommand()); }
void TfMain::btnokuClick() { Gonder(readCommand()); }
void TfMain::btnayarbaslangicClick() { Gonder(ToCp1254(cxbaslangic->text())); }
void TfMain::btnayarsonClick() { Gonder("<EXIT>"); }

} // namespace km40r
