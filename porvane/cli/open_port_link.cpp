#include "porvane/cli/open_port_link.h"

#include "porvane/cli/record_printer.h"
#include "porvane/monitor/driver_link.h"

namespace porvane::cli {

int OpenPortLink(const std::string& port, uint32_t mode, const char* failure_text,
                 monitor::DriverLink& link, std::FILE* err) {
    const int index = PortListIndex(port);
    if (index < 0) {
        std::fprintf(err, "porvane-cli: %s is not a serial port of the device map\n", port.c_str());
        return 1;
    }
    if (!link.Open(index)) {
        std::fprintf(err, "%s\n", failure_text);
        switch (link.open_failure()) {
            case monitor::DriverLink::OpenFailure::kAccessDenied:
                if (link.denied_device().empty()) {
                    std::fprintf(err,
                                 "(access denied: this user may not use the filter driver's "
                                 "sockets in %s)\n",
                                 monitor::DriverLink::RuntimeDir().c_str());
                } else {
                    std::fprintf(err,
                                 "(access denied: only users who may open %s for reading and "
                                 "writing may watch or filter it)\n",
                                 link.denied_device().c_str());
                }
                break;
            case monitor::DriverLink::OpenFailure::kUntrustedHost:
                std::fprintf(err,
                             "(the driver host in %s runs as neither root nor this user: not "
                             "used)\n",
                             monitor::DriverLink::RuntimeDir().c_str());
                break;
            case monitor::DriverLink::OpenFailure::kInUse:
                std::fprintf(err, "(another client watches Sievr%d already)\n", index + 1);
                break;
            default:
                std::fprintf(err, "(no filter control device Sievr%d in %s)\n", index + 1,
                             monitor::DriverLink::RuntimeDir().c_str());
                break;
        }
        return 1;
    }
    link.SetMode(mode);
    return 0;
}

}  // namespace porvane::cli
