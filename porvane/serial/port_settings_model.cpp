#include "porvane/serial/port_settings_model.h"

#include <cstring>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/port_settings_lists.h"

namespace porvane::serial {

PortSettingsModel::PortSettingsModel(PageWindow& page, std::vector<std::string> ports)
    : page_(page),
      ports_(std::move(ports)),
      port_index_(ports_.empty() ? -1 : 0),
      baud_index_(kDefaultBaudIndex),
      data_bits_index_(kDefaultDataBitsIndex),
      parity_index_(kDefaultParityIndex),
      stop_bits_index_(kDefaultStopBitsIndex),
      record_(PanelDefaultLineSettings()) {}

void PortSettingsModel::SelectPort(int index) {
    if (index >= -1 && index < static_cast<int>(ports_.size())) {
        port_index_ = index;
    }
}

void PortSettingsModel::SetPorts(std::vector<std::string> ports, int selected) {
    ports_ = std::move(ports);
    port_index_ = selected >= 0 && selected < static_cast<int>(ports_.size()) ? selected : -1;
}

void PortSettingsModel::SelectBaud(int index) {
    if (StoreBaudSelection(index, record_.dcb)) {
        baud_index_ = index;
    }
    ReportIfOpen();
}

void PortSettingsModel::TypeBaud(uint32_t baud) {
    baud_index_ = -1;  // FillSettings then keeps the record's baud
    record_.dcb.BaudRate = baud;
    ReportIfOpen();
}

void PortSettingsModel::SelectDataBits(int index) {
    if (StoreDataBitsSelection(index, record_.dcb)) {
        data_bits_index_ = index;
    }
    ReportIfOpen();
}

void PortSettingsModel::SelectParity(int index) {
    if (StoreParitySelection(index, record_.dcb)) {
        parity_index_ = index;
    }
    ReportIfOpen();
}

void PortSettingsModel::SelectStopBits(int index) {
    if (StoreStopBitsSelection(index, record_.dcb)) {
        stop_bits_index_ = index;
    }
    ReportIfOpen();
}

void PortSettingsModel::FillSettings(LineSettings* out) {
    std::memset(record_.PortName, 0, kPortNameSize);
    if (port_index_ >= 0) {
        SetPortName(record_, ports_[static_cast<size_t>(port_index_)]);
    }
    StoreBaudSelection(baud_index_, record_.dcb);
    StoreDataBitsSelection(data_bits_index_, record_.dcb);
    StoreParitySelection(parity_index_, record_.dcb);
    StoreStopBitsSelection(stop_bits_index_, record_.dcb);
    if (out != nullptr) {
        SetPortName(*out, PortNameOf(record_));
        out->dcb = record_.dcb;
        out->timeouts = record_.timeouts;
    }
}

void PortSettingsModel::ReportIfOpen() {
    if (!port_open_) {
        return;
    }
    LineSettings report = BlankLineSettings();
    report.dcb = record_.dcb;
    report.timeouts = record_.timeouts;
    page_.PageNotify(PN_SETTINGS_CHANGED, &report);
}

}  // namespace porvane::serial
