// An application's session: a program's requests on its open of a port.
#include "driver/host/host_port.h"
#include "driver/host/request_reader.h"

namespace sievra {

using namespace kernel;

void SievraHost::ServeApplication(Port& port, int fd) {
    std::mutex write_mutex;                             // guards the socket's sending side
    DeviceObject* top = port.physical->AttachedDevice;  // the port's filter device
    const uint64_t owner = next_owner_++;
    bool created = false;  // an open succeeded and has not been closed yet
    pid_t speaker = 0;     // the process a tracer speaks for (0: the peer itself)
    bool let_go = false;   // the tracer stopped following a program that keeps the open:
                           // its close and its end are not the program's
    // Root and the host's own user (watch's end marker) may speak without an open; anyone else
    // only about the open their descriptor proves.
    const std::optional<PeerCredentials> peer = PeerOf(fd);
    const bool trusted = peer && Trusted(*peer);
    // The peer waits for the answer to its open: it lives now.
    std::string speaker_name = peer ? Port::ProcessName(peer->pid) : std::string();
    RequestReader requests(fd);
    if (!trusted)
        requests.SetDeadline(std::chrono::steady_clock::now() + kCreateDeadline);
    // Records dropped while the reader lagged: told as soon as there is room for the report
    // (false while there is none within limit).
    uint32_t dropped_requests = 0, dropped_bytes = 0;
    const auto report_dropped = [&](std::chrono::milliseconds limit) {
        if (dropped_requests == 0)
            return true;
        if (!port.drain.MakeRoomWithin(kBypassReportSize, limit))
            return false;
        uint8_t report[kBypassReportSize];
        PutLe32(report, kNotRecorded);
        PutLe32(report + 4, dropped_requests);
        PutLe32(report + 8, dropped_bytes);
        IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, report, 0, IOCTL_SIEVRA_BYPASS_REPORT,
                            kBypassReportSize, 0);
        port.drain.TakeQueued();
        dropped_requests = dropped_bytes = 0;
        return true;
    };
    // Whether the request being served may still make its records: each waits for room up to
    // limit, and once one found none, none of the request's are made; the request is carried
    // out unrecorded and counted with the dropped ones.
    bool unrecorded = false;
    const auto room = [&](uint32_t length, std::chrono::milliseconds limit) {
        unrecorded = unrecorded || !port.drain.MakeRoomWithin(length, limit);
        return !unrecorded;
    };
    // The connection's record ring, made with its open: the program's records come through it.
    RecordRingReader ring;
    bool ring_made = false;
    const auto offer_ring = [&] {
        if (!ring_made && ring.Create()) {
            ring_made = true;
            requests.AttachRing(&ring, options_.time_records);
        }
        return ring_made ? ring.fd() : -1;
    };
    uint64_t made_at = 0;  // when the program made the next request, as it said (0: unsaid)
    for (;;) {
        LinkRequest request;
        const RequestRead read = requests.Next(request);
        if (read == RequestRead::kGone)
            break;
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;
        }
        const bool reply = (request.op & link::kNoReply) == 0;
        const bool continues = (request.op & link::kContinues) != 0;
        const uint8_t op = request.op & ~(link::kNoReply | link::kContinues);
        const uint32_t in = request.in;
        const uint32_t out = request.out;
        std::vector<uint8_t>& buffer = request.buffer;
        void* data = buffer.empty() ? nullptr : buffer.data();
        IoStatusBlock s;
        uint32_t reply_length = 0;
        int page = -1;
        int ring_fd = -1;
        if (op != link::kAppCreate && !created && !trusted) {
            SendResponse(fd, write_mutex, id, link::kStatusAccessDenied, 0, nullptr, 0);
            break;
        }
        // What the ring says about the request after it, and a wake (the ring's records, taken
        // before it, were what it woke the host for): nothing to record, nothing to wait for.
        if (op == link::kAppWake && in == 0)
            continue;
        if (op == link::kAppPassed) {
            if (in != 5 || !created || buffer[0] > 1)
                break;
            const bool send = buffer[0] == 0;
            const uint32_t bytes = GetLe32(buffer.data() + 1);
            const PassedBytes passed = CountPassedBytes(top, send, bytes);
            if (passed == PassedBytes::kUnrecorded) {
                // Told with the host's own count of what went unrecorded, before the next record.
                ++dropped_requests;
                dropped_bytes += bytes;
            } else if (passed == PassedBytes::kUnfiltered) {
                // A rule would have acted on bytes that went as they were: told as such.
                uint8_t report[kBypassReportSize];
                PutLe32(report, send ? kSentUnfiltered : kReceivedUnfiltered);
                PutLe32(report + 4, 1);
                PutLe32(report + 8, bytes);
                IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, report, 0,
                                    IOCTL_SIEVRA_BYPASS_REPORT, kBypassReportSize, 0);
                port.drain.TakeQueued();
            }
            port.PublishRules();
            ring.CountPassed(send, bytes);
            made_at = 0;  // the note's own stamp: a request behind it on the socket has none
            continue;
        }
        if (op == link::kAppTime) {
            if (in != 8)
                break;
            made_at = GetLe32(buffer.data()) | static_cast<uint64_t>(GetLe32(buffer.data() + 4))
                                                   << 32;
            continue;
        }
        // A record the program does not wait for waits a little for a lagging reader, and not
        // at all once records are being dropped, until the reader has room again.
        const bool droppable =
            !reply && created && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl);
        if (droppable &&
            ((dropped_requests > 0 && !port.drain.CaughtUp()) ||
             !port.drain.MakeRoomWithin(
                 kProcessReportSize + kTimeReportSize + 2 * kRecordHeaderSize + kBypassReportSize +
                     std::max(in, kStatusRecordSize),
                 dropped_requests > 0 ? std::chrono::milliseconds(0) : kRecordWaitLimit))) {
            ++dropped_requests;
            dropped_bytes += op == link::kDeviceControl ? 0 : in;
            made_at = 0;
            continue;
        }
        // Each record waits for room in the queue, the report of what was dropped and of a
        // change of process first: one that overflowed it would drop the records waiting there
        // for a lagging reader.
        const std::chrono::milliseconds limit =
            op == link::kClose ? kCloseWaitLimit : kRecordWaitLimit;
        unrecorded = !report_dropped(limit);
        if (created && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl ||
             op == link::kClose) &&
            room(kProcessReportSize, limit)) {
            port.NoteProcess(speaker != 0 ? speaker : peer->pid, speaker_name);
        }
        if (options_.time_records && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl ||
             op == link::kAppCreate || (op == link::kClose && created)) &&
            room(kTimeReportSize, limit)) {
            port.ReportTime(made_at);
        }
        made_at = 0;
        const bool recorded_op = op == link::kAppWrite || op == link::kAppRead ||
                                 op == link::kDeviceControl || op == link::kRead ||
                                 op == link::kAppBypassed || op == link::kAppCreate ||
                                 op == link::kClose;
        if (recorded_op)
            room(std::max({in, out, kStatusRecordSize}), limit);
        bool missed = false;  // the request went without the record it makes
        const auto record_minor = [&] {
            missed = unrecorded;
            return unrecorded ? kMinorUnrecorded : uint8_t{0};
        };
        switch (op) {
            case link::kAppCreate: {
                if (created || in != 4) {
                    s.Status = link::kStatusInvalidRequest;  // one open per connection
                    break;
                }
                // A successful open comes with the program's descriptor of this very port; a
                // failed one (reported only by someone who may use the port) carries an error
                // status and no more: it is recorded, and the connection ends with it.
                const uint32_t status = GetLe32(buffer.data());
                if (status != 0) {
                    if (!IsErrorStatus(status)) {
                        s.Status = link::kStatusInvalidRequest;
                        break;
                    }
                    IoCallDriverAndWait(top, IRP_MJ_CREATE, data, 4, 0, 0, 0, record_minor());
                    s.Status = link::kStatusAccessDenied;  // nothing else on this connection
                    break;
                }
                if (!IsDescriptorOfDevice(request.passed.get(), port.DevicePath())) {
                    s.Status = link::kStatusAccessDenied;
                    break;
                }
                // An open file another connection holds already (a child's, inherited) is the
                // same open: not on record again, and its rules stay.
                if (!port.serial.Attach(std::move(request.passed), owner)) {
                    // A tracer follows a whole tree of processes, and a watch names every
                    // opener: which process opened the port is said before its open.
                    const pid_t opener = speaker != 0 ? speaker : peer ? peer->pid : 0;
                    if (opener != 0 && (speaker != 0 || options_.name_openers) &&
                        room(kProcessReportSize + kStatusRecordSize, limit)) {
                        port.last_pid = 0;
                        port.ReportProcess(opener, speaker_name);
                    }
                    s = IoCallDriverAndWait(top, IRP_MJ_CREATE, data, 4, 0, 0, 0, record_minor());
                    if (s.Status != STATUS_SUCCESS) {
                        port.serial.Detach(owner);
                        break;
                    }
                    // The opener is the process of record: another one's first request (a
                    // child's, on the inherited open) is noted.
                    port.last_pid = speaker != 0 ? speaker : peer ? peer->pid : 0;
                }
                created = true;
                port.CountOpen(1);
                page = port.page.fd();
                ring_fd = offer_ring();
                requests.SetDeadline(std::nullopt);
                break;
            }
            case link::kClose:
                if (created) {
                    // The port is let go before the close is recorded: whoever reads "Close Com"
                    // finds the port no longer this program's. The open ends (is recorded and
                    // clears the rules) only with the last connection of its open file.
                    if (port.serial.Detach(owner) && !let_go) {
                        s = IoCallDriverAndWait(top, IRP_MJ_CLEANUP);
                        s = IoCallDriverAndWait(top, IRP_MJ_CLOSE, nullptr, 0, 0, 0, 0,
                                                record_minor());
                        port.last_pid = 0;
                    }
                    created = false;
                    port.CountOpen(-1);
                }
                break;
            case link::kAppAwaitClosed: {
                const uint32_t limit_ms =
                    in >= 4 ? std::min<uint32_t>(GetLe32(buffer.data()), 60000) : 0;
                std::unique_lock lock(port.apps_mutex);
                port.apps_changed.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] {
                    return port.app_connections <= 1 || port.stopping;  // 1: this one
                });
                s.Information = static_cast<uintptr_t>(port.app_connections - 1);
                break;
            }
            case link::kAppWrite:
            case link::kAppRead:
                if (Expired(request.code)) {
                    s.Status = link::kStatusExpired;
                    break;
                }
                if (unrecorded) {  // the bytes as the lower driver gives them back, unrecorded
                    missed = true;
                    s.Information = in;
                    reply_length = std::min(in, out);
                    break;
                }
                s = IoCallDriverAndWait(top, op == link::kAppRead ? IRP_MJ_READ : IRP_MJ_WRITE,
                                        data, in, 0, 0, 0, continues ? kMinorContinues : 0);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            case link::kRead:
                if (unrecorded) {
                    missed = true;
                    s.Information = reply_length = out;
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_READ, data, out);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            case link::kAppAdopt:
                // The program's new image speaks for the same open: no new open on record.
                if (IsDescriptorOfDevice(request.passed.get(), port.DevicePath()) &&
                    port.serial.SameOpenFile(owner, request.passed.get())) {
                    page = port.page.fd();
                    ring_fd = offer_ring();
                } else {
                    s.Status = link::kStatusAccessDenied;
                }
                break;
            case link::kAppOnBehalf:
                // Only a client trusted with every port may name another process; once per
                // connection, before its open.
                if (!trusted || created || speaker != 0 || in != 4 ||
                    static_cast<int32_t>(GetLe32(buffer.data())) <= 0) {
                    s.Status = link::kStatusInvalidRequest;
                    break;
                }
                speaker = static_cast<pid_t>(GetLe32(buffer.data()));
                speaker_name = Port::ProcessName(speaker);  // stopped by its tracer now
                break;
            case link::kAppLetGo:
                if (!trusted || !created) {
                    s.Status = link::kStatusInvalidRequest;
                    break;
                }
                let_go = true;
                break;
            case link::kAppBypassed:
                if (unrecorded && in == kBypassReportSize) {  // told with the host's own count
                    dropped_requests += GetLe32(buffer.data() + 4);
                    dropped_bytes += GetLe32(buffer.data() + 8);
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, data, 0,
                                        IOCTL_SIEVRA_BYPASS_REPORT, in, 0);
                break;
            case link::kDeviceControl:
                if (request.code == IOCTL_SIEVRA_BYPASS_REPORT) {
                    s.Status = link::kStatusInvalidRequest;  // the host's own report only
                    break;
                }
                if (unrecorded) {  // as the lower driver answers a request carried out already
                    missed = true;
                    s.Information = reply_length = out;
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, data, 0, request.code, in, out,
                                        kMinorAlreadyCarriedOut);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            default:
                s.Status = link::kStatusInvalidRequest;
                break;
        }
        if (missed) {
            ++dropped_requests;
            dropped_bytes += op == link::kAppWrite || op == link::kAppRead ? in : 0;
        }
        port.drain.TakeQueued();  // what the request recorded, for the control client
        if (op == link::kAppWrite || op == link::kAppRead || op == link::kClose)
            port.PublishRules();  // before the answer: the program's next call looks
        if (reply &&
            !SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                          buffer.data(), reply_length, page, ring_fd)) {
            break;
        }
        if (s.Status == link::kStatusAccessDenied || s.Status == link::kStatusInvalidRequest)
            break;  // a refused open ends the connection; the port's other sessions go on
    }
    unrecorded = !report_dropped(kCloseWaitLimit);
    if (created)
        port.CountOpen(-1);
    const bool last = port.serial.Detach(owner);
    if (created && last && !let_go) {
        // The application went without closing (it exited or was killed): as at a process's
        // end, its open is cleaned up and closed, which ends its rules and is recorded.
        room(kStatusRecordSize, kCloseWaitLimit);
        IoCallDriverAndWait(top, IRP_MJ_CLEANUP);
        IoCallDriverAndWait(top, IRP_MJ_CLOSE, nullptr, 0, 0, 0, 0,
                            unrecorded ? kMinorUnrecorded : 0);
        dropped_requests += unrecorded ? 1 : 0;
        port.last_pid = 0;
        port.drain.TakeQueued();
    }
    // What this session could not report, the drain reports when the reader has room again.
    if (dropped_requests > 0)
        port.drain.CountUnreported(dropped_requests, dropped_bytes);
    port.CountConnection(-1);  // after the last record it makes
}

}  // namespace sievra
