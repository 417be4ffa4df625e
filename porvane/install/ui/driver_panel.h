#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <span>

class QLabel;
class QPushButton;

namespace porvane::install {

class Rebooter;

// The bottom of the notes page: installs and removes the filter (the attachment's image, its
// preload line and the driver host's unit file) and offers to restart the machine.
class DriverPanel : public QWidget {
    Q_OBJECT
  public:
    // image: what installing writes (the embedded image unless a test passes another); it must
    // outlive the panel. The restart goes to logind unless SetRebooter names another.
    explicit DriverPanel(QWidget* parent = nullptr);
    DriverPanel(std::span<const uint8_t> image, QWidget* parent);
    ~DriverPanel() override;

    void SetRebooter(std::unique_ptr<Rebooter> rebooter);
    bool installed() const { return installed_; }
    // The install/remove button.
    void Press();

  private:
    std::span<const uint8_t> image_;
    std::unique_ptr<Rebooter> rebooter_;
    QPushButton* button_;
    QLabel* status_;
    bool installed_ = false;
};

}  // namespace porvane::install
