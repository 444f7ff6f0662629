// The catalogue grid's content: the settings grouped by their group
// description.
//
// Principles of operation: one group row per distinct "grupaciklama", in
// ascending order of that text (Turkish collation), and under each, in the
// query's order, a row per setting with the six columns Grup, Ayar,
// Ayar Açiklama, Tür, Combo and Ayar Grubu. Each setting row carries its index
// in the record set (RecordRole), so the grid's focused row can be made the
// record set's current record. A group row shows its description in the
// "Ayar Açiklama" column too, where the grid draws its branches. Nothing is
// editable.
#pragma once

#include "catalogue/catalogue.h"

#include <QStandardItemModel>
#include <optional>

namespace km40r {

class CatalogueGridModel : public QStandardItemModel {
public:
    static constexpr int RecordRole = Qt::UserRole + 1;
    enum Column { ColGrup, ColAyar, ColAciklama, ColTur, ColCombo, ColGrupAciklama, ColumnCount };

    explicit CatalogueGridModel(QObject* parent = nullptr);

    // Replaces the rows with the records, grouped.
    void setRecords(const std::vector<CatalogueRecord>& records);

    // The record index of a setting row; nothing for a group row.
    static std::optional<std::size_t> recordOf(const QModelIndex& index);
};

} // namespace km40r
