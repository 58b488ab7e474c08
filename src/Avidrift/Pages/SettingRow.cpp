#include "Avidrift/Pages/SettingRow.h"

#include <QBoxLayout>
#include <QFormLayout>
#include <QLabel>

namespace Avidrift {

void AddSettingRow(QBoxLayout* rows, QLabel* label, QWidget* field) {
    auto* row = new QFormLayout;
    row->setRowWrapPolicy(QFormLayout::WrapLongRows);
    row->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    row->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    auto* right = new QHBoxLayout;
    right->addStretch(1);
    right->addWidget(field);
    row->addRow(label, right);
    rows->addLayout(row);
}

QVBoxLayout* AddGroupRows(QWidget* group) {
    constexpr int kGroupMargin = 6;
    auto* rows = new QVBoxLayout(group);
    rows->setContentsMargins(kGroupMargin, kGroupMargin, kGroupMargin, kGroupMargin);
    return rows;
}

}  // namespace Avidrift
