#include "app/catalogue_grid.h"

#include "app/cp1254_qt.h"

#include <QCollator>
#include <QLocale>
#include <map>

namespace km40r {

CatalogueGridModel::CatalogueGridModel(QObject* parent) : QStandardItemModel(0, ColumnCount, parent) {
    setHorizontalHeaderLabels({QStringLiteral("Grup"), QStringLiteral("Ayar"),
                               QStringLiteral("Ayar Açiklama"), QStringLiteral("Tür"),
                               QStringLiteral("Combo"), QStringLiteral("Ayar Grubu")});
}

void CatalogueGridModel::setRecords(const std::vector<CatalogueRecord>& records) {
    removeRows(0, rowCount());
    QCollator collator{QLocale(QLocale::Turkish, QLocale::Turkey)};
    // Groups in ascending order of their text; equal texts (by collation) are
    // one group only when they are the same bytes.
    const auto less = [&](const QString& a, const QString& b) {
        const int c = collator.compare(a, b);
        return c != 0 ? c < 0 : a < b;
    };
    std::map<QString, QStandardItem*, decltype(less)> groups(less);
    for (std::size_t i = 0; i < records.size(); ++i)
        groups.emplace(FromCp1254(records[i].grupaciklama), nullptr);
    for (auto& [name, item] : groups) {
        // A group row shows its description where the settings show theirs;
        // the settings hang under its first cell, as a tree view expects.
        QList<QStandardItem*> row;
        for (int c = 0; c < ColumnCount; ++c) {
            auto* cell = new QStandardItem(c == ColAciklama || c == ColGrupAciklama ? name : QString());
            cell->setEditable(false);
            QFont font = cell->font();
            font.setBold(true);
            cell->setFont(font);
            row << cell;
        }
        item = row[0];
        appendRow(row);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CatalogueRecord& r = records[i];
        QList<QStandardItem*> row;
        for (const std::string* field : {&r.grup, &r.ayar, &r.aciklama, &r.tur, &r.combo, &r.grupaciklama}) {
            auto* cell = new QStandardItem(FromCp1254(*field));
            cell->setEditable(false);
            cell->setData(QVariant::fromValue<qulonglong>(i), RecordRole);
            row << cell;
        }
        groups.at(FromCp1254(r.grupaciklama))->appendRow(row);
    }
}

std::optional<std::size_t> CatalogueGridModel::recordOf(const QModelIndex& index) {
    const QVariant v = index.data(RecordRole);
    if (!v.isValid())
        return std::nullopt;
    return static_cast<std::size_t>(v.toULongLong());
}

} // namespace km40r
