#include "porvane/serial/port_tool_tip.h"

namespace porvane::serial {
namespace {

void AddLine(std::string& text, const char* label, const std::string& value) {
    if (value.empty())
        return;
    if (!text.empty())
        text += '\n';
    text += label;
    text += value;
}

// "0403:6001 FTDI FT232R USB UART": the ids, then the names that are known.
std::string UsbLine(const devicemap::PortIdentity& identity) {
    std::string line;
    if (!identity.vendor_id.empty() || !identity.product_id.empty())
        line = identity.vendor_id + ":" + identity.product_id;
    for (const std::string* name : {&identity.vendor, &identity.product}) {
        if (!name->empty())
            line += (line.empty() ? "" : " ") + *name;
    }
    return line;
}

}  // namespace

std::string PortToolTip(const devicemap::PortIdentity& identity) {
    std::string text;
    AddLine(text, "设备: ", identity.path.empty() ? identity.device : identity.path);
    for (const std::string& link : identity.by_id)
        AddLine(text, "by-id: ", link);
    for (const std::string& link : identity.by_path)
        AddLine(text, "by-path: ", link);
    AddLine(text, "USB: ", UsbLine(identity));
    AddLine(text, "序列号: ", identity.serial);
    AddLine(text, "驱动: ", identity.driver);
    AddLine(text, "占用: ", identity.holder);
    return text;
}

}  // namespace porvane::serial
