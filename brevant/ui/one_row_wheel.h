#pragma once

#include <QObject>

class QTableWidget;

namespace brevant {

// Installed on the command grid's viewport: the mouse wheel moves the grid by one row.
class OneRowWheel : public QObject {
  public:
    explicit OneRowWheel(QTableWidget* grid);
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QTableWidget* grid_;
};

}  // namespace brevant
