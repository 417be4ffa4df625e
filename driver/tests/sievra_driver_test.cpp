#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "driver/sievra_driver.h"
#include "driver/tests/scripted_serial_driver.h"
#include "platform/comm/serial_ioctl.h"

namespace sievra {
namespace {

using namespace kernel;
using Bytes = std::vector<uint8_t>;
using comm::IOCTL_SERIAL_GET_BAUD_RATE;
using comm::IOCTL_SERIAL_SET_BAUD_RATE;
using comm::IOCTL_SERIAL_SET_DTR;
using comm::IOCTL_SERIAL_SET_LINE_CONTROL;
using testing::AsyncRequest;
using testing::ScriptedSerialDriver;
using testing::SendRequest;

Bytes RuleBytes(uint32_t action, uint32_t count, bool periodic, uint8_t byte) {
    FilterRule rule{action, count, count, static_cast<uint8_t>(periodic ? 1 : 0), byte, 0};
    Bytes bytes(sizeof rule);
    std::memcpy(bytes.data(), &rule, sizeof rule);
    return bytes;
}

class SievraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(DriverEntry(&driver_), STATUS_SUCCESS);
        AddPort();
    }
    void TearDown() override {
        for (DeviceObject* physical : ports_)
            RemovePort(physical);
    }
    DeviceObject* AddPort(uint32_t type = FILE_DEVICE_SERIAL_PORT) {
        DeviceObject* physical = serial_.AddPort(type);
        EXPECT_EQ(AddDevice(&driver_, physical), STATUS_SUCCESS);
        if (physical->AttachedDevice != nullptr)
            ports_.push_back(physical);
        return physical;
    }
    void RemovePort(DeviceObject* physical) {
        if (physical->AttachedDevice != nullptr) {
            SendRequest(physical->AttachedDevice, IRP_MJ_PNP, {}, 0, 0, 0, 0, IRP_MN_REMOVE_DEVICE);
        }
    }
    DeviceObject* Filter(size_t port = 0) { return ports_[port]->AttachedDevice; }
    DeviceObject* Control(uint32_t n = 1) {
        return IoLookupDevice("\\??\\Sievr" + std::to_string(n));
    }

    void OpenControl(uint32_t mode) {
        ASSERT_EQ(SendRequest(Control(), IRP_MJ_CREATE).status, STATUS_SUCCESS);
        Bytes m(4);
        PutLe32(m.data(), mode);
        ASSERT_EQ(
            SendRequest(Control(), IRP_MJ_DEVICE_CONTROL, m, 0, IOCTL_FILTER_SET_MODE, 4).status,
            STATUS_SUCCESS);
    }
    void LoadRule(uint32_t code, const Bytes& rule) {
        ASSERT_EQ(SendRequest(Control(), IRP_MJ_DEVICE_CONTROL, rule, 0, code, 16).status,
                  STATUS_SUCCESS);
    }
    Bytes ReadRecords(uint32_t length = 4096) {
        auto r = SendRequest(Control(), IRP_MJ_READ, Bytes(length), length);
        return r.buffer;
    }
    void AppWrite(const Bytes& bytes) {
        ASSERT_EQ(
            SendRequest(Filter(), IRP_MJ_WRITE, bytes, static_cast<uint32_t>(bytes.size())).status,
            STATUS_SUCCESS);
    }
    Bytes AppRead(uint32_t length) {
        return SendRequest(Filter(), IRP_MJ_READ, Bytes(length), length).buffer;
    }

    DriverObject driver_;
    ScriptedSerialDriver serial_;
    std::vector<DeviceObject*> ports_;
};

TEST_F(SievraTest, SetBaudRecordIsSeventeenBytes) {
    OpenControl(kLinkModeMonitor);
    Bytes baud(4);
    PutLe32(baud.data(), 9600);
    SendRequest(Filter(), IRP_MJ_DEVICE_CONTROL, baud, 0, IOCTL_SERIAL_SET_BAUD_RATE, 4);
    EXPECT_EQ(ReadRecords(), (Bytes{0x01, 0x0E, 0, 0, 0, 0x04, 0x00, 0x1B, 0x00, 0x04, 0, 0, 0,
                                    0x80, 0x25, 0, 0}));
}

TEST_F(SievraTest, MonitorRecordsOfTheApplicationsRequests) {
    OpenControl(kLinkModeMonitor);
    SendRequest(Filter(), IRP_MJ_CREATE);
    AppWrite({'h', 'i'});
    serial_.QueueReadData({'o', 'k', '!'});
    EXPECT_EQ(AppRead(2), (Bytes{'o', 'k'}));
    SendRequest(Filter(), IRP_MJ_DEVICE_CONTROL, {}, 0, IOCTL_SERIAL_SET_DTR);  // no buffers
    SendRequest(Filter(), IRP_MJ_READ, {}, 0);  // a read with no data: a 13-byte record
    const Bytes records = ReadRecords();
    const Bytes expected = {1, 0,  0, 0, 0, 0,    0, 0,    0, 4, 0, 0, 0, 0,   0,
                            0, 0,  // create, status 0
                            1, 4,  0, 0, 0, 0,    0, 0,    0, 2, 0, 0, 0, 'h', 'i',  // write
                            1, 3,  0, 0, 0, 0,    0, 0,    0, 2, 0, 0, 0, 'o', 'k',  // read
                            1, 14, 0, 0, 0, 0x24, 0, 0x1B, 0, 0, 0, 0, 0,            // set DTR
                            1, 3,  0, 0, 0, 0,    0, 0,    0, 0, 0, 0, 0};           // empty read
    EXPECT_EQ(records, expected);
}

TEST_F(SievraTest, SendCountReplaceOneShot) {
    OpenControl(kLinkModeFilter);
    LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, RuleBytes(kReplace, 3, false, 0x55));
    AppWrite({0x41, 0x42, 0x43, 0x44, 0x45});
    EXPECT_EQ(serial_.Written(), (Bytes{0x41, 0x42, 0x55, 0x44, 0x45}));
    EXPECT_EQ(ReadRecords(),
              (Bytes{0x01, 0x0E, 0, 0, 0, 0x04, 0x20, 0x1B, 0x00, 0x02, 0, 0, 0, 0x43, 0x55}));
    AppWrite({0x46, 0x47, 0x48, 0x49});  // the rule is off now
    EXPECT_EQ(serial_.Written().back(), 0x49);
    EXPECT_EQ(serial_.Written()[7], 0x48);
}

TEST_F(SievraTest, PeriodicCountCarriesAcrossWrites) {
    OpenControl(kLinkModeFilter);
    LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, RuleBytes(kReplace, 3, true, 0x55));
    AppWrite({1, 2});
    AppWrite({3, 4});
    AppWrite({5, 6});
    EXPECT_EQ(serial_.Written(), (Bytes{1, 2, 0x55, 4, 5, 0x55}));
}

TEST_F(SievraTest, ReceiveDeleteShortensTheRead) {
    OpenControl(kLinkModeFilter);
    LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, RuleBytes(kDelete, 2, true, 0));
    serial_.QueueReadData({0x57, 0x58, 0x59, 0x5A});
    EXPECT_EQ(AppRead(4), (Bytes{0x57, 0x59}));
    const Bytes records = ReadRecords();
    ASSERT_EQ(records.size(), 30u);
    EXPECT_EQ(records[0], kDelete);
    EXPECT_EQ(GetLe32(&records[5]), IOCTL_FILTER_RECV_COUNT_RULE);
    EXPECT_EQ(Bytes(records.begin() + 13, records.begin() + 15), (Bytes{0x58, 0x59}));
    EXPECT_EQ(Bytes(records.begin() + 28, records.begin() + 30), (Bytes{0x5A, 0x5A}));
}

TEST_F(SievraTest, TimeRulesActOnceOnTheFirstByteOfATransferWithData) {
    OpenControl(kLinkModeFilter);
    LoadRule(IOCTL_FILTER_SEND_TIME_RULE, RuleBytes(kFlip, 1, false, 0x01));
    AppWrite({0x30, 0x30});
    AppWrite({0x30});
    EXPECT_EQ(serial_.Written(), (Bytes{0x31, 0x30, 0x30}));
    const Bytes event = ReadRecords();
    EXPECT_EQ(Bytes(event.begin() + 13, event.end()), (Bytes{0x30, 0x31}));
    EXPECT_EQ(GetLe32(&event[5]), IOCTL_FILTER_SEND_TIME_RULE);
    LoadRule(IOCTL_FILTER_RECV_TIME_RULE, RuleBytes(kReplace, 1, false, 0x7E));
    EXPECT_TRUE(AppRead(4).empty());  // no data: the rule stays armed
    serial_.QueueReadData({'a', 'b'});
    EXPECT_EQ(AppRead(4), (Bytes{0x7E, 'b'}));
}

TEST_F(SievraTest, OverflowDropsTheQueueAndCutsLongRecords) {
    OpenControl(kLinkModeMonitor);
    AppWrite(Bytes(4000, 1));
    AppWrite(Bytes(100, 2));  // 4013 + 113 >= 4096: the first record goes
    Bytes records = ReadRecords();
    ASSERT_EQ(records.size(), 113u);
    EXPECT_EQ(GetLe32(&records[9]), 100u);
    AppWrite(Bytes(5000, 3));
    records = ReadRecords();
    ASSERT_EQ(records.size(), 13u + 4082u);
    EXPECT_EQ(GetLe32(&records[9]), 4082u);
}

TEST_F(SievraTest, ReadsTakeWhatIsQueuedAndOpeningEmptiesIt) {
    OpenControl(kLinkModeMonitor);
    AppWrite(Bytes(87, 9));  // one record of 100 bytes
    EXPECT_EQ(ReadRecords(10).size(), 10u);
    EXPECT_EQ(ReadRecords(4096).size(), 90u);
    AppWrite(Bytes(87, 9));
    OpenControl(kLinkModeMonitor);  // a new open empties the queue
    AsyncRequest read(Control(), IRP_MJ_READ, 4096);
    EXPECT_EQ(read.start_status(), STATUS_PENDING);
    AsyncRequest second(Control(), IRP_MJ_READ, 4096);  // a second read gets nothing at once
    EXPECT_TRUE(second.Wait(1000));
    EXPECT_TRUE(second.Data().empty());
    AppWrite({7});
    ASSERT_TRUE(read.Wait(1000));
    EXPECT_EQ(read.Data().size(), 14u);
}

TEST_F(SievraTest, CleanupCancelsAWaitingRead) {
    OpenControl(kLinkModeMonitor);
    AsyncRequest read(Control(), IRP_MJ_READ, 4096);
    EXPECT_EQ(read.start_status(), STATUS_PENDING);
    SendRequest(Control(), IRP_MJ_CLEANUP);
    ASSERT_TRUE(read.Wait(1000));
    EXPECT_EQ(read.status().Status, STATUS_CANCELLED);
    EXPECT_EQ(read.status().Information, 0u);
    SendRequest(Control(), IRP_MJ_CLOSE);
    AppWrite({1});  // closed: nothing is recorded
    OpenControl(kLinkModeMonitor);
    AsyncRequest again(Control(), IRP_MJ_READ, 4096);
    EXPECT_EQ(again.start_status(), STATUS_PENDING);
    SendRequest(Control(), IRP_MJ_CLEANUP);
}

TEST_F(SievraTest, ApplicationClosingThePortClearsTheRules) {
    OpenControl(kLinkModeMonitor);
    LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, RuleBytes(kReplace, 1, true, 0x55));
    SendRequest(Filter(), IRP_MJ_CLOSE);
    OpenControl(kLinkModeFilter);
    AppWrite({1, 2});
    EXPECT_EQ(serial_.Written(), (Bytes{1, 2}));
}

TEST_F(SievraTest, ForwardedRequestsReachTheSerialDriver) {
    OpenControl(kLinkModeFilter);
    serial_.SetControlAnswer(IOCTL_SERIAL_GET_BAUD_RATE, {0x80, 0x25, 0, 0});
    auto baud = SendRequest(Control(), IRP_MJ_DEVICE_CONTROL, Bytes(4), 0,
                            IOCTL_SERIAL_GET_BAUD_RATE, 0, 4);
    EXPECT_EQ(baud.status, STATUS_SUCCESS);
    EXPECT_EQ(baud.information, 4u);
    EXPECT_EQ(GetLe32(baud.buffer.data()), 9600u);
    SendRequest(Control(), IRP_MJ_DEVICE_CONTROL, {0, 2, 7}, 0, IOCTL_SERIAL_SET_LINE_CONTROL, 3);
    EXPECT_EQ(serial_.ControlInput(IOCTL_SERIAL_SET_LINE_CONTROL), (Bytes{0, 2, 7}));
}

TEST_F(SievraTest, PortsAreNumberedInOrderAndPrinterPortsSkipped) {
    EXPECT_NE(Control(1), nullptr);
    EXPECT_NE(IoLookupDevice("\\Device\\FilterDev1"), nullptr);
    DeviceObject* printer = AddPort(FILE_DEVICE_PARALLEL_PORT);
    EXPECT_EQ(printer->AttachedDevice, nullptr);
    EXPECT_EQ(PortsAdded(), 1u);
    AddPort();
    EXPECT_NE(Control(2), nullptr);
    RemovePort(ports_[1]);
    ports_.pop_back();
    EXPECT_EQ(Control(2), nullptr);
    AddPort();
    EXPECT_EQ(Control(2), nullptr);
    EXPECT_NE(Control(3), nullptr);  // numbers are not reused
}

TEST_F(SievraTest, FailuresInAddDeviceUndoWhatWasDone) {
    const size_t devices_before = driver_.devices.size();
    SetPoolFailures(1);  // the port's lock
    DeviceObject* first = serial_.AddPort();
    EXPECT_EQ(AddDevice(&driver_, first), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(first->AttachedDevice, nullptr);
    EXPECT_EQ(driver_.devices.size(), devices_before);
    SetPoolFailures(1, 1);  // the record queue
    DeviceObject* queue_less = serial_.AddPort();
    EXPECT_EQ(AddDevice(&driver_, queue_less), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(queue_less->AttachedDevice, nullptr);
    EXPECT_EQ(driver_.devices.size(), devices_before);
    EXPECT_EQ(IoLookupDevice("\\Device\\FilterDev2"), nullptr);  // number 2 was used and is gone
    SetPoolFailures(0);
    ASSERT_EQ(IoCreateSymbolicLink("\\??\\Sievr3", "\\Device\\Elsewhere"), STATUS_SUCCESS);
    DeviceObject* second = serial_.AddPort();
    EXPECT_EQ(AddDevice(&driver_, second), STATUS_OBJECT_NAME_COLLISION);  // the link name is taken
    EXPECT_EQ(second->AttachedDevice, nullptr);
    EXPECT_EQ(driver_.devices.size(), devices_before);
    EXPECT_EQ(IoLookupDevice("\\Device\\FilterDev3"), nullptr);
    IoDeleteSymbolicLink("\\??\\Sievr3");
}

TEST(KernelRules, CompletingARequestTwiceStopsTheProcess) {
    EXPECT_DEATH(
        {
            Irp irp(1);
            irp.CurrentLocation = 0;
            IoCompleteRequest(&irp);
            IoCompleteRequest(&irp);
        },
        "completed twice");
}

}  // namespace
}  // namespace sievra
