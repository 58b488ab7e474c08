#pragma once

#include <Qt>

class QBoxLayout;
class QLabel;
class QVBoxLayout;
class QWidget;

namespace Avidrift {

// One setting of a page: its label on the left, its field at the right edge. A row too narrow
// for both in the current font puts the field on a line of its own under the label instead of
// cutting either short. Each row is a form of its own so that it decides alone: in one form for
// the group, the widest label would narrow every field and push the wide ones (the flock size)
// onto lines of their own. Called on the Qt thread; rows takes the row over.
void AddSettingRow(QBoxLayout* rows, QLabel* label, QWidget* field);

// The rows of a group box. The pages are laid out from the fonts' sizes, not placed in pixels:
// fixed positions made for one font cut labels and numbers off in another. Margins are small
// because the column is narrow; the style's would leave too little room in nested groups.
QVBoxLayout* AddGroupRows(QWidget* group);

// Numbers sit at the right edge of their fields on every page.
constexpr Qt::Alignment kSpinBoxAlignment = Qt::AlignRight | Qt::AlignVCenter;

}  // namespace Avidrift
