#include "brevant/ui/cell_delegate.h"

#include <QLineEdit>

#include "brevant/ui/grid_column.h"

namespace brevant {

QWidget* CellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                    const QModelIndex& index) const {
    auto* editor = new QLineEdit(parent);
    editor->setObjectName("cellEditor");
    if (index.column() == TableColumn(kReplyColumn)) {
        editor->setReadOnly(true);
    } else {
        QObject::connect(editor, &QLineEdit::textEdited, editor, [editor](const QString& text) {
            const int position = editor->cursorPosition();
            editor->setText(text.toUpper());
            editor->setCursorPosition(position);
        });
    }
    return editor;
}

}  // namespace brevant
