#pragma once

#include <QColor>
#include <QWidget>

namespace porvane::terminal {

// A progress bar that paints its own percentage (or a custom text) over the bar, in the bar's
// colours inverted where the bar has filled.
class TextProgressBar : public QWidget {
    Q_OBJECT
  public:
    explicit TextProgressBar(QWidget* parent = nullptr);

    void SetRange(int lower, int upper);
    // Returns the previous position; repaints only when the filled width changes.
    int SetPos(int position);
    int Step() { return SetPos(position_ + step_); }
    int Offset(int amount) { return SetPos(position_ + amount); }
    void SetShowText(bool show);
    void SetCustomText(const QString& text);

    int position() const { return position_; }
    int lower() const { return lower_; }
    int upper() const { return upper_; }
    QString DisplayedText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    int FilledWidth() const;

    int position_ = 0;
    int step_ = 1;
    int lower_ = 0;
    int upper_ = 100;
    QString custom_text_;
    bool show_text_ = true;
    int last_width_ = -1;
};

}  // namespace porvane::terminal
