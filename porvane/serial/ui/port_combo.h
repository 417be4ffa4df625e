#pragma once

class QComboBox;
class QWidget;

namespace porvane::serial {

class PortListFollower;

// Fills a port list from the device map, as the settings panel does; when the map holds no port
// at all, the message is shown with owner and the program asked to end with exit code 1. From
// then on the list follows the map as ports come and go, with the follower returned (a child of
// combo) telling of each change.
PortListFollower* FillPortCombo(QComboBox* combo, QWidget* owner);

}  // namespace porvane::serial
