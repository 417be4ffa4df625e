#pragma once

// What the host's sessions share: a port as the host serves it, and the rules of who may use it.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>

#include "driver/host/host_serial_port.h"
#include "driver/host/peer_access.h"
#include "driver/host/record_drain.h"
#include "driver/host/record_ring_reader.h"
#include "driver/host/watch_page.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "platform/devicemap/returning_port.h"

#include "driver/host/sievra_host.h"

namespace sievra {

// Data bytes of the records a request makes besides its transfer: a process's number and name
// when the process making the requests changes, and an open's or a close's status.
inline constexpr uint32_t kProcessReportSize = 4 + 16;
inline constexpr uint32_t kStatusRecordSize = 4;
inline constexpr uint32_t kTimeReportSize = 8;
// How long a program's record (one it sent without waiting for an answer) waits for a reader
// whose stash is full before the host drops it and counts it: shorter than the attachment's
// own wait, so that the program's connection keeps flowing and the loss is told by the host,
// in the record stream, where it happened.
inline constexpr std::chrono::milliseconds kRecordWaitLimit{10};
// How long a close's records wait for such a reader: the close is the last record of a session,
// the one a reader most needs, and its wait holds no program (the program has let the port go
// and waits for the answer no longer than for any). A reader that let a wait run out makes
// later waits give up at once until it has caught up (see RecordDrain), so a reader that stopped
// for good costs the host one wait, not one per session.
inline constexpr std::chrono::milliseconds kCloseWaitLimit{1000};

struct SievraHost::Port {
    uint32_t number = 0;
    // The port as the map names it, what is known of it and whether it is there now, for
    // knowing it again when it comes back (Serve's thread only, or before Serve).
    std::string name;
    std::optional<devicemap::PortIdentity> identity;
    bool present = true;
    mutable std::mutex path_mutex;  // guards device_path, which changes when the port returns
    std::string device_path;        // the port's device

    std::string DevicePath() const {
        std::lock_guard lock(path_mutex);
        return device_path;
    }
    void SetDevicePath(std::string path) {
        std::lock_guard lock(path_mutex);
        device_path = std::move(path);
    }
    kernel::DeviceObject* physical = nullptr;
    kernel::DeviceObject* control = nullptr;
    HostSerialPort serial;  // the lower driver's state for this port
    int listen_fd = -1;
    std::atomic<bool> busy{false};
    int app_listen_fd = -1;
    // The sealed page telling the attachment who watches; written by the control session only.
    WatchPage page;
    std::mutex rules_publish_mutex;  // orders the page's rule glances as the rules changed
    std::mutex apps_mutex;           // guards app_connections, app_opens and stopping
    std::condition_variable apps_changed;
    // Application connections accepted and not yet served to their end. Counted as they are
    // accepted, in the order they came, so a connection made after a program's sees the
    // program's counted even before its session has read a byte.
    int app_connections = 0;
    int app_opens = 0;  // the connections with an open of the port
    bool stopping = false;
    // The process whose request the port recorded last (0: none since the last open ended).
    std::atomic<pid_t> last_pid{0};

    // Records a change of the process making the port's requests (a child using an inherited
    // port, or the parent again), before that process's request is recorded. known_name is
    // the process's name as read while it surely lived: a child that wrote and ended at once
    // is gone by the time its records are served.
    void NoteProcess(pid_t pid, const std::string& known_name) {
        const pid_t before = last_pid.exchange(pid);
        if (before == 0 || before == pid)
            return;
        ReportProcess(pid, known_name);
    }
    // Records that the port's requests come from process pid now.
    void ReportProcess(pid_t pid, const std::string& known_name) {
        std::string name = ProcessName(pid);
        if (name.empty())
            name = known_name;
        uint8_t data[kProcessReportSize];
        PutLe32(data, static_cast<uint32_t>(pid));
        const size_t n = std::min<size_t>(name.size(), 16);
        std::memcpy(data + 4, name.data(), n);
        kernel::IoCallDriverAndWait(physical->AttachedDevice, kernel::IRP_MJ_DEVICE_CONTROL, data,
                                    0, IOCTL_SIEVRA_PROCESS_REPORT, static_cast<uint32_t>(4 + n),
                                    0);
    }
    // Records the time the program made the request recorded next (microseconds of the
    // real-time clock), or the time now when it did not say (0). A request is made before the
    // host takes it: a later time said is the program's mistake or lie, and taken for now.
    void ReportTime(uint64_t made_at) {
        const auto now =
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count());
        uint8_t data[kTimeReportSize];
        const uint64_t us = made_at != 0 ? std::min(made_at, now) : now;
        PutLe32(data, static_cast<uint32_t>(us));
        PutLe32(data + 4, static_cast<uint32_t>(us >> 32));
        kernel::IoCallDriverAndWait(physical->AttachedDevice, kernel::IRP_MJ_DEVICE_CONTROL, data,
                                    0, IOCTL_SIEVRA_TIME_REPORT, kTimeReportSize, 0);
    }
    // Publishes on the watch page what the rules will do next, so that the programs' calls
    // they would not act on pass without asking. The rules are read and published under one
    // lock: a session that read them before another's change cannot publish after it and leave
    // the older glance on the page.
    void PublishRules() {
        std::lock_guard lock(rules_publish_mutex);
        RuleOutlook outlook = RuleOutlookOf(physical->AttachedDevice);
        // Each program counts only its own bytes passed against a count rule: while several
        // opens share the port, theirs together could take it past its byte unseen, so each
        // is shown the rule acting on its next byte and asks the host.
        if (OpensSharing()) {
            for (uint32_t& left : outlook.count_left)
                left = std::min(left, 1u);
        }
        page.SetRules(outlook.time_armed, outlook.count_left);
    }
    // The command name of a process ("" when it has gone).
    static std::string ProcessName(pid_t pid) {
        char name[17] = {};
        size_t n = 0;
        if (FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
            n = std::fread(name, 1, 16, comm);
            std::fclose(comm);
        }
        while (n > 0 && (name[n - 1] == '\n' || name[n - 1] == '\0'))
            --n;
        return std::string(name, n);
    }

    // The record queue holds 4096 bytes: an application's record waits until there is room,
    // so that a fast program's records are never dropped for a slow reader. The drain keeps
    // the queue emptied into a stash for the control client; only a full stash makes a record
    // wait. A program never waits for this (its records do not want answers); a reader that
    // stops for good makes the program's socket fill, and what does not fit is counted.
    RecordDrain drain{kRecordStashSize};

    void CountConnection(int change) {
        std::lock_guard lock(apps_mutex);
        app_connections += change;
        apps_changed.notify_all();
    }
    // A connection's open of the port begins (1) or ends (-1): the rules' glance changes when
    // the port comes to be shared or no longer is.
    void CountOpen(int change) {
        {
            std::lock_guard lock(apps_mutex);
            app_opens += change;
        }
        PublishRules();
    }
    bool OpensSharing() {
        std::lock_guard lock(apps_mutex);
        return app_opens > 1;
    }
};

// text with each byte that is not printable ASCII or part of well-formed UTF-8 (C1 controls
// excepted) as '?'.
std::string PrintableText(std::string_view text);

// Who watches, as the page tells the attachment: nobody, or a control client in a link mode.
inline uint32_t WatchStateOf(bool open, uint32_t link_mode) {
    if (!open)
        return link::kUnwatched;
    return link_mode == kLinkModeMonitor ? link::kWatchedMonitor : link::kWatchedFilter;
}

// Root and the host's own user may use every port (they run the host); anyone else only the
// ports whose devices they could open themselves.
inline bool Trusted(const PeerCredentials& peer) {
    return peer.uid == 0 || peer.uid == ::geteuid();
}

inline bool MayUsePort(const std::optional<PeerCredentials>& peer, const std::string& device_path) {
    return peer && (Trusted(*peer) || MayOpenDevice(*peer, device_path));
}

// The status of a failed open as the attachment reports it: an error (severity bits 11), never a
// success, information or pending code, which the I/O manager would take for something else.
inline bool IsErrorStatus(uint32_t status) {
    return (status >> 30) == 3;
}

// True when the application stopped waiting for a request at deadline (CLOCK_MONOTONIC
// milliseconds, low 32 bits; 0 for none) and that time has passed.
inline bool Expired(uint32_t deadline) {
    if (deadline == 0)
        return false;
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<uint32_t>(now.tv_sec * 1000L + now.tv_nsec / 1000000L);
    return static_cast<int32_t>(ms - deadline) > 0;
}

// An application connection that has not opened yet must do so within this time, so that
// connections that say nothing (or dribble) cannot hold sessions.
inline constexpr std::chrono::seconds kCreateDeadline{2};

}  // namespace sievra
