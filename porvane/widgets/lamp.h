#pragma once

#include <QWidget>

namespace porvane::widgets {

// A lamp: red when lit, dark blue when dark, painted at a fixed size.
class Lamp : public QWidget {
    Q_OBJECT
  public:
    enum class Shape { kRectangle, kCircle };
    Lamp(QSize size, Shape shape, QWidget* parent = nullptr);

    void SetLit(bool lit);
    bool lit() const { return lit_; }
    QSize sizeHint() const override { return size_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QSize size_;
    Shape shape_;
    bool lit_ = false;
};

}  // namespace porvane::widgets
