#pragma once

#include <QStyledItemDelegate>

namespace brevant {

// The command grid's in-place editor: upper-case letters for the command columns, read-only for
// the replies.
class CellDelegate : public QStyledItemDelegate {
  public:
    explicit CellDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
};

}  // namespace brevant
