#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "tools/vport/virtual_port.h"

namespace tools {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using comm::testing::WaitForPath;

std::unique_ptr<comm::SerialDevice> OpenPort(const std::string& path) {
    comm::OpenResult opened = comm::OpenSerialDevice(path);
    EXPECT_TRUE(opened.status) << opened.status.Describe();
    if (opened.device) {
        comm::CommTimeouts t;
        t.ReadIntervalTimeout = 200;
        t.ReadTotalTimeoutConstant = 5000;
        opened.device->SetTimeouts(t);
    }
    return std::move(opened.device);
}

std::string ReadSome(comm::SerialDevice& device, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    size_t total = 0;
    while (total < n) {
        if (!device.Read(reinterpret_cast<uint8_t*>(out.data()) + total, n - total, got) ||
            got == 0) {
            break;
        }
        total += got;
    }
    out.resize(total);
    return out;
}

void Send(comm::SerialDevice& device, const std::string& bytes) {
    size_t written = 0;
    ASSERT_TRUE(
        device.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), written));
    ASSERT_EQ(written, bytes.size());
}

TEST(Vport, LoopBackPlugEchoesAMegabyteAndRemovesItsLink) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    std::mt19937 gen(5);
    std::string data(1 << 20, '\0');
    for (char& c : data)
        c = static_cast<char>(gen());
    std::string echoed;
    std::thread reader([&] { echoed = ReadSome(*port, data.size()); });
    Send(*port, data);
    reader.join();
    EXPECT_TRUE(echoed == data);
    port.reset();
    vport.Signal(SIGTERM);
    EXPECT_EQ(vport.Wait(), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

TEST(Vport, PairActsAsANullModemCable) {
    TempDir dir;
    const std::string a = dir.path() + "/a";
    const std::string b = dir.path() + "/b";
    ChildProcess vport("vport", {"pair", a, b});
    ASSERT_TRUE(WaitForPath(a));
    ASSERT_TRUE(WaitForPath(b));
    auto port_a = OpenPort(a);
    auto port_b = OpenPort(b);
    ASSERT_TRUE(port_a && port_b);
    Send(*port_a, "ping");
    EXPECT_EQ(ReadSome(*port_b, 4), "ping");
    Send(*port_b, "pong");
    EXPECT_EQ(ReadSome(*port_a, 4), "pong");
}

TEST(Vport, DropsAndCorruptsOneByteOnDemand) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    vport.Signal(SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(*port, "abc");
    EXPECT_EQ(ReadSome(*port, 2), "bc");
    vport.Signal(SIGUSR2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(*port, "abc");
    EXPECT_EQ(ReadSome(*port, 3), "`bc");  // 'a' (0x61) with its lowest bit flipped
}

TEST(Vport, RefusesToReplaceAFile) {
    TempDir dir;
    const std::string file = dir.path() + "/file";
    std::ofstream(file) << "keep me";
    ChildProcess vport("vport", {"loop", file});
    EXPECT_EQ(vport.Wait(), 2);
    EXPECT_NE(vport.ReadAllError().find("not a symbolic link"), std::string::npos);
}

TEST(FaultRequests, ApplyToOneByteEach) {
    FaultRequests faults{1, 1};
    uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(faults.Apply(bytes, 3), 2u);
    EXPECT_EQ(bytes[0], 3);  // 1 dropped, 2 corrupted to 3
    EXPECT_EQ(bytes[1], 3);
    EXPECT_EQ(faults.drops, 0);
    EXPECT_EQ(faults.corruptions, 0);
}

}  // namespace
}  // namespace tools
