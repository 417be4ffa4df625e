#pragma once

class QComboBox;
class QWidget;

namespace porvane::serial {

// Fills a port list from the device map, as the settings panel does; when the map holds no port
// at all, the message is shown with owner and the program asked to end with exit code 1.
void FillPortCombo(QComboBox* combo, QWidget* owner);

}  // namespace porvane::serial
