#include "driver_host.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "driver/host/testing/host_ready.h"

namespace porvane::monitor::testing {

DriverHost::DriverHost() {
    map_ = dir_.path() + "/map";
    const std::string& map = map_;
    std::ofstream(map) << "ttyUSB0=" << usb_port_.slave_path() << "\nttyS1=" << port_b_.slave_path()
                       << "\nttyS0=" << port_a_.slave_path() << "\n";
    runtime_ = dir_.path() + "/run";
    sysroot_ = dir_.path() + "/root";
    ::setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
    ::setenv("SIEVRA_RUNTIME_DIR", runtime_.c_str(), 1);
    ::setenv("SIEVRA_SYSROOT", sysroot_.c_str(), 1);
    SetInstalled(true);
    host_ = std::make_unique<comm::testing::ChildProcess>(
        "sievrad", std::vector<std::string>{"--runtime-dir", runtime_});
    serving_ = sievra::testing::WaitUntilServing(*host_);
}

DriverHost::~DriverHost() {
    std::string errors;
    Shutdown(errors);
}

void DriverHost::WriteMap(const std::string& text) {
    std::ofstream(map_ + ".new", std::ios::trunc) << text;
    std::filesystem::rename(map_ + ".new", map_);
}

bool DriverHost::HostSaid(const std::string& line) {
    return host_ && host_->ReadOutputUntil(line, 30000).find(line) != std::string::npos;
}

void DriverHost::SetInstalled(bool installed) {
    std::filesystem::create_directories(sysroot_ + "/etc");
    std::ofstream(sysroot_ + "/etc/ld.so.preload")
        << (installed ? "/usr/local/lib/sievra/libsievra.so\n" : "");
}

bool DriverHost::Shutdown(std::string& errors) {
    if (!host_)
        return true;
    host_->Signal(SIGTERM);
    const int status = host_->Wait(10000);
    errors = host_->ReadAllError(1000);
    host_.reset();
    return status == 0 && errors.empty();
}

}  // namespace porvane::monitor::testing
