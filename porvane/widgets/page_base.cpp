#include "porvane/widgets/page_base.h"

#include <QMessageBox>
#include <QMetaObject>

namespace porvane::widgets {

PageBase::PageBase(QWidget* parent)
    : QWidget(parent), bridge_([this] {
          QMetaObject::invokeMethod(
              this, [this] { bridge_.Pump(); }, Qt::QueuedConnection);
      }) {}

intptr_t PageBase::PageNotify(uint32_t code, void* data) {
    intptr_t result = 0;
    bridge_.Call([&] { result = Route(code, data); });
    return result;
}

void PageBase::ShowMessage(const std::string& text) {
    bridge_.Call([&] { ShowProgramMessage(this, QString::fromStdString(text)); });
}

void ShowProgramMessage(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Porvane"), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("programMessage"));
    box.exec();
}

}  // namespace porvane::widgets
