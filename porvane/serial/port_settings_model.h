#pragma once

#include <string>
#include <vector>

#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"

namespace porvane::serial {

// What the port settings panel knows and does, without its widgets: the port list, the four
// selections, the record it keeps for its page and the open-port report. The panel's widgets
// show this state and forward the user's choices here.
class PortSettingsModel {
  public:
    // ports: the names that port discovery found, in its order; the first is selected.
    PortSettingsModel(PageWindow& page, std::vector<std::string> ports);

    const std::vector<std::string>& ports() const { return ports_; }
    int port_index() const { return port_index_; }
    int baud_index() const { return baud_index_; }
    int data_bits_index() const { return data_bits_index_; }
    int parity_index() const { return parity_index_; }
    int stop_bits_index() const { return stop_bits_index_; }
    const LineSettings& record() const { return record_; }
    bool port_open() const { return port_open_; }
    bool port_list_enabled() const { return !port_open_; }

    // The port list changed (ports came or went): ports is the list now, selected the index of
    // the entry the list shows selected (-1 for none).
    void SetPorts(std::vector<std::string> ports, int selected);

    // The user's choices. Each line-parameter choice stores its value and then reports.
    void SelectPort(int index);
    void SelectBaud(int index);
    // A rate typed beside the list's (230400, 921600, ...): kept as the record's baud, with no
    // list entry selected, and reported as a list choice is.
    void TypeBaud(uint32_t baud);
    void SelectDataBits(int index);
    void SelectParity(int index);
    void SelectStopBits(int index);

    // The advanced dialog edits these; call AdvancedOptionsClosed after it closes (either button).
    comm::Dcb& dcb() { return record_.dcb; }
    comm::CommTimeouts& timeouts() { return record_.timeouts; }
    void AdvancedOptionsClosed() { ReportIfOpen(); }

    // PN_FILL_SETTINGS: takes the selected name and the four list values into the record, then
    // copies name, Dcb and time-outs into `out` when it is not null.
    void FillSettings(LineSettings* out);

    // PN_PORT_STATE: remembers whether the page's port is open.
    void SetPortState(uint32_t open_flag) { port_open_ = open_flag != 0; }

  private:
    // While the port is open: sends the record's line parameters (no name) as PN_SETTINGS_CHANGED.
    void ReportIfOpen();

    PageWindow& page_;
    std::vector<std::string> ports_;
    int port_index_;
    int baud_index_;
    int data_bits_index_;
    int parity_index_;
    int stop_bits_index_;
    LineSettings record_;
    bool port_open_ = false;
};

}  // namespace porvane::serial
