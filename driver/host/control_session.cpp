// A control client's session: the workbench watching and steering a port.
#include "driver/host/host_port.h"
#include "driver/host/request_reader.h"

namespace sievra {

using namespace kernel;

void SievraHost::ServeClient(Port& port, int fd) {
    std::mutex write_mutex;  // guards the socket's sending side
    // A read waits for records, so a thread of this session carries it out. One read waits at a
    // time: another that comes meanwhile completes at once with 0 bytes, as the control device
    // does with a second read while one is pending.
    std::mutex reads_mutex;  // guards reads, read_outstanding and ending
    std::condition_variable reads_changed;
    std::deque<std::pair<uint32_t, uint32_t>> reads;  // id, bytes wanted
    bool read_outstanding = false;  // a read was taken and has not been answered yet
    bool ending = false;
    SendResponse(fd, write_mutex, 0, STATUS_SUCCESS, 0, nullptr, 0);
    IoCallDriverAndWait(port.control, IRP_MJ_CREATE);
    SievraExtension* filter = ExtensionOf(port.control)->partner;
    // Rules a client before this one left act again now that one watches: on the glance
    // before the page says the port is filtered.
    port.PublishRules();
    port.page.Set(WatchStateOf(true, filter->link_mode));
    port.drain.Open(port.control, port.physical->AttachedDevice);
    std::thread reader([&] {
        std::vector<uint8_t> data;
        for (;;) {
            std::pair<uint32_t, uint32_t> read;
            {
                std::unique_lock lock(reads_mutex);
                reads_changed.wait(lock, [&] { return ending || !reads.empty(); });
                if (ending)
                    return;
                read = reads.front();
                reads.pop_front();
            }
            data.resize(read.second);
            // Ends with 0 bytes when the session ends, as the control device's clean-up ends a
            // waiting read.
            const size_t n = port.drain.WaitAndTake(data.data(), read.second);
            const NTSTATUS status = n > 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
            // Cleared before the answer, so that the client's next read, sent on hearing it, may
            // wait; answered under the lock, so that the answer to a read sent ahead never
            // overtakes this one.
            std::lock_guard lock(reads_mutex);
            read_outstanding = false;
            SendResponse(fd, write_mutex, read.first, status, static_cast<uint32_t>(n), data.data(),
                         static_cast<uint32_t>(n));
        }
    });
    uint32_t close_id = 0;
    bool closing = false;
    RequestReader requests(fd, link::kMaxRecordRead);
    for (;;) {
        LinkRequest request;
        const RequestRead read = requests.Next(request);
        if (read == RequestRead::kGone)
            break;  // the client is gone: a close
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;  // the stream cannot be trusted any more
        }
        std::vector<uint8_t>& buffer = request.buffer;
        if (request.op == link::kDeviceControl) {
            const IoStatusBlock s = IoCallDriverAndWait(port.control, IRP_MJ_DEVICE_CONTROL,
                                                        buffer.empty() ? nullptr : buffer.data(), 0,
                                                        request.code, request.in, request.out);
            port.PublishRules();
            if (request.code == IOCTL_FILTER_SET_MODE)
                port.page.Set(WatchStateOf(true, filter->link_mode));
            port.drain.TakeQueued();
            const uint32_t n =
                static_cast<uint32_t>(std::min<uintptr_t>(s.Information, request.out));
            SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                         buffer.data(), n);
        } else if (request.op == link::kRead) {
            // Every read that may carry records is answered by the reading thread, one after
            // the other, so that no answer overtakes the records of an earlier one; records
            // already stashed are handed over there at once.
            bool taken = false;
            {
                std::lock_guard lock(reads_mutex);
                if (!read_outstanding && request.out > 0) {
                    read_outstanding = taken = true;
                    reads.emplace_back(id, request.out);
                    reads_changed.notify_one();
                }
            }
            if (!taken)
                SendResponse(fd, write_mutex, id, STATUS_SUCCESS, 0, nullptr, 0);
        } else if (request.op == link::kClose) {
            close_id = id;
            closing = true;
            break;
        } else {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
        }
    }
    port.page.Set(link::kUnwatched);
    // Ends a waiting read and every wait for room first: the reading thread may be held by a
    // client that takes no answers.
    port.drain.Close();
    {
        std::lock_guard lock(reads_mutex);
        ending = true;
        reads_changed.notify_one();
    }
    reader.join();
    IoCallDriverAndWait(port.control, IRP_MJ_CLEANUP);
    IoCallDriverAndWait(port.control, IRP_MJ_CLOSE);
    port.busy = false;  // free before the client hears of the close, so it may open again at once
    if (closing)
        SendResponse(fd, write_mutex, close_id, STATUS_SUCCESS, 0, nullptr, 0);
}

}  // namespace sievra
